// quorvin-rnr-bag-record: `quorvin-rnr-bag record`, the recorder of
// `quorvin-rnr record` (the same pairs, patterns, exclusions and QoS) with
// what a long run needs: output names, split bags, retention, a snapshot
// window written on SIGUSR1, a status line on a terminal, and the commands
// a remote control sends (pause, resume, split, snapshot, stop).
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "bagtool/command_line.h"
#include "bagtool/supplied_types.h"
#include "control/control.h"
#include "log/logger.h"
#include "recorder/long_run.h"
#include "recorder/recorder.h"
#include "types/name_field.h"

namespace {

constexpr const char* kUsage =
    "usage: quorvin-rnr-bag record [-d DOMAIN] [options] TYPE TOPIC [TYPE TOPIC ...]\n"
    "\n"
    "Records the pairs as `quorvin-rnr record` does (patterns and exclusions too),\n"
    "into one bag or a sequence of bags.\n"
    "\n"
    "Options:\n"
    "  -d, --domain DOMAIN     DDS domain id (default 0)\n"
    "  -o, --output PATH       the bag's name, or a directory for generated names\n"
    "                          (default: generated names in the working directory);\n"
    "                          never an existing file; names end in .sqlite3\n"
    "  --split-size SIZE       start a new bag when the current one reaches SIZE\n"
    "  --split-duration T      start a new bag when the current one spans T\n"
    "  --max-files N           keep at most N bags of this recording (oldest deleted)\n"
    "  --max-size SIZE         keep the bags of this recording within SIZE in all\n"
    "  --min-free SIZE         keep SIZE free on the disk: delete the oldest bags, and\n"
    "                          pause while none is left to delete\n"
    "  --snapshot T            write nothing, hold the last T of samples in memory, and\n"
    "                          write them as a bag on each SIGUSR1\n"
    "  --control               obey commands and publish status over DDS\n"
    "  --name NAME             the recorder's name for --control (default HOST:PID)\n"
    "  --idl FILE              IDL of types whose writers announce none, stored as\n"
    "                          their description (repeatable; by type name or as\n"
    "                          ROS 2 names them: pkg::msg::dds_::Name_ is\n"
    "                          pkg::msg::Name); an announced type wins\n"
    "  -l, --log-level LEVEL   verbose | debug | info | warn | error | fatal (default info)\n"
    "  -h, --help              show this help and exit\n"
    "\n"
    "T is seconds with an optional unit: 90, 90s, 10m, 2h. SIZE is bytes with an\n"
    "optional K, M or G (powers of 1024). Split bags are NAME_0000.sqlite3,\n"
    "NAME_0001.sqlite3, ...; each starts with the latched state as of its start.\n"
    "SIGINT or SIGTERM ends the recording; on a terminal one status line shows on\n"
    "standard error.";

struct RecordArgs {
  int32_t domain = 0;
  int32_t log_level = RNR_LOG_INFO;
  std::string output;
  uint64_t split_size = 0;
  uint64_t split_ns = 0;
  uint64_t max_files = 0;
  uint64_t max_size = 0;
  uint64_t min_free = 0;
  uint64_t snapshot_ns = 0;
  bool control = false;
  std::string name;
  std::vector<std::string> idl;
  std::vector<std::pair<std::string, std::string>> pairs;  // type, topic
};

int bad(const std::string& text) {
  std::fprintf(stderr, "quorvin-rnr-bag: record: %s\n", text.c_str());
  return 2;
}

bool parse_number(const std::string& text, double* value) {
  errno = 0;
  char* end = nullptr;
  *value = std::strtod(text.c_str(), &end);
  return !text.empty() && end == text.c_str() + text.size() && errno == 0 &&
         std::isfinite(*value) && *value >= 0;
}

// "90", "90s", "10m", "2h" (fractions allowed) in nanoseconds; nothing when
// the text is none of these or not above 0.
std::optional<uint64_t> parse_duration(std::string text) {
  double unit = 1e9;
  if (!text.empty() && (text.back() == 's' || text.back() == 'm' || text.back() == 'h')) {
    unit = text.back() == 's' ? 1e9 : text.back() == 'm' ? 60e9 : 3600e9;
    text.pop_back();
  }
  double value = 0;
  if (!parse_number(text, &value) || value * unit < 1e6 || value * unit > 1e18) {
    return std::nullopt;
  }
  return static_cast<uint64_t>(value * unit);
}

// Bytes with an optional K, M or G (powers of 1024); above 0.
std::optional<uint64_t> parse_size(std::string text) {
  double unit = 1;
  if (!text.empty()) {
    const char last = text.back();
    if (last == 'K' || last == 'M' || last == 'G') {
      unit = last == 'K' ? 1024.0 : last == 'M' ? 1048576.0 : 1073741824.0;
      text.pop_back();
    }
  }
  double value = 0;
  if (!parse_number(text, &value) || value * unit < 1 || value * unit > 9e18) {
    return std::nullopt;
  }
  return static_cast<uint64_t>(value * unit);
}

// Reads the command line (after "record"). 0 when it is good, else the exit
// status (0 too for --help, with `help` set).
int parse_args(int argc, char** argv, RecordArgs* args, bool* help) {
  std::vector<std::string> words(argv + 1, argv + argc);
  std::vector<std::string> positional;
  for (size_t i = 0; i < words.size(); ++i) {
    std::string option = words[i];
    if (option == "-h" || option == "--help") {
      *help = true;
      return 0;
    }
    if (option.size() < 2 || option[0] != '-' || positional.size() % 2 == 1) {
      // A pattern such as "!name" is a topic or type, not an option.
      positional.push_back(option);
      continue;
    }
    if (option == "--control") {
      args->control = true;
      continue;
    }
    std::string value;
    const size_t equals = option.find('=');
    if (option.rfind("--", 0) == 0 && equals != std::string::npos) {
      value = option.substr(equals + 1);
      option.resize(equals);
    } else if (i + 1 < words.size()) {
      value = words[++i];
    } else {
      return bad(option + " needs a value");
    }
    std::optional<uint64_t> number;
    if (option == "-d" || option == "--domain") {
      double domain = 0;
      if (!parse_number(value, &domain) || domain != std::floor(domain) || domain > 232) {
        return bad("-d " + value + ": the domain id is a whole number from 0 to 232");
      }
      args->domain = static_cast<int32_t>(domain);
    } else if (option == "-l" || option == "--log-level") {
      if (!rnr::bagtool::parse_log_level(value, &args->log_level)) {
        return bad("-l " + value + ": unknown log level");
      }
    } else if (option == "-o" || option == "--output") {
      if (value.empty() || value.size() + 16 >= RNR_NAME_FIELD_SIZE) {
        return bad("-o " + value + ": give a name of at most " +
                   std::to_string(RNR_NAME_FIELD_SIZE - 17) + " characters");
      }
      args->output = value;
    } else if (option == "--split-duration" || option == "--snapshot") {
      if (!(number = parse_duration(value))) {
        return bad(option + " " + value + ": not a duration (90, 90s, 10m, 2h)");
      }
      (option == "--snapshot" ? args->snapshot_ns : args->split_ns) = *number;
    } else if (option == "--split-size" || option == "--max-size" || option == "--min-free") {
      if (!(number = parse_size(value))) {
        return bad(option + " " + value + ": not a size (bytes, or with K, M or G)");
      }
      (option == "--split-size" ? args->split_size
       : option == "--max-size" ? args->max_size
                                : args->min_free) = *number;
    } else if (option == "--max-files") {
      double n = 0;
      if (!parse_number(value, &n) || n != std::floor(n) || n < 1 || n > 1e9) {
        return bad("--max-files " + value + ": a whole number from 1");
      }
      args->max_files = static_cast<uint64_t>(n);
    } else if (option == "--name") {
      if (value.empty() || !rnr_name_fits(value.c_str())) {
        return bad("--name " + value + ": give a name below 256 bytes");
      }
      if (value == "all") {
        return bad("--name all: that name addresses every recorder; give another");
      }
      args->name = value;
    } else if (option == "--idl") {
      if (value.empty()) {
        return bad("--idl needs a file");
      }
      args->idl.push_back(value);
    } else {
      return bad("unknown option " + option);
    }
  }
  if (positional.empty()) {
    return bad("no topic to record\n" + std::string(kUsage));
  }
  if (positional.size() % 2 != 0) {
    return bad("give TYPE TOPIC pairs\n" + std::string(kUsage));
  }
  for (size_t k = 0; k < positional.size(); k += 2) {
    if (!rnr_name_fits(positional[k].c_str()) || !rnr_name_fits(positional[k + 1].c_str())) {
      return bad("a type or topic name is too long: at most " +
                 std::to_string(RNR_NAME_MAX_LENGTH) + " characters are allowed");
    }
    args->pairs.emplace_back(positional[k], positional[k + 1]);
  }
  if (args->snapshot_ns > 0 && (args->split_ns > 0 || args->split_size > 0)) {
    return bad("--snapshot writes no bag to split: give it without --split-size/--split-duration");
  }
  return 0;
}

// --- Names and retention --------------------------------------------------------

bool exists(const std::string& path) {
  struct stat st {};
  return lstat(path.c_str(), &st) == 0;
}

uint64_t file_size(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 ? static_cast<uint64_t>(st.st_size) : 0;
}

// The names of this recording's bags: STEM.sqlite3 alone, or numbered
// STEM_0000.sqlite3, STEM_0001.sqlite3, ... Names taken meanwhile are skipped,
// never written to.
class BagNames {
 public:
  // False with `error` set when the output is an existing file.
  bool init(const std::string& output, bool numbered, std::string* error) {
    numbered_ = numbered;
    std::string dir = ".";
    if (output.empty() || is_directory(output)) {
      dir = output.empty() ? "." : output;
      char generated[64] = {0};
      const time_t now = time(nullptr);
      struct tm local {};
      localtime_r(&now, &local);
      strftime(generated, sizeof generated, "dovuve_%Y_%m_%d-%H_%M_%S", &local);
      stem_ = dir + "/" + generated;
      generated_ = true;
    } else {
      if (exists(output)) {
        *error = output + " exists: the bag is always a new file";
        return false;
      }
      stem_ = output;
      const std::string suffix = ".sqlite3";
      if (stem_.size() > suffix.size() &&
          stem_.compare(stem_.size() - suffix.size(), suffix.size(), suffix) == 0) {
        stem_.resize(stem_.size() - suffix.size());
      }
      const size_t slash = stem_.rfind('/');
      dir = slash == std::string::npos ? "." : stem_.substr(0, slash);
    }
    dir_ = dir.empty() ? "/" : dir;
    return true;
  }

  // The next free name.
  std::string next() {
    for (;;) {
      std::string name;
      if (numbered_) {
        char number[16];
        std::snprintf(number, sizeof number, "_%04u", next_++);
        name = stem_ + number + ".sqlite3";
      } else {
        // A generated name taken by another recorder in the same second gets
        // "_2", "_3", ...; a given name is checked by init.
        name = stem_;
        if (next_ != 0) {
          name.append("_").append(std::to_string(next_ + 1));
        }
        name.append(".sqlite3");
        ++next_;
        if (!generated_) {
          return name;
        }
      }
      if (!exists(name) && !exists(name + ".partial")) {
        return name;
      }
    }
  }

  const std::string& directory() const { return dir_; }

 private:
  static bool is_directory(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
  }
  std::string stem_, dir_;
  bool numbered_ = false;
  bool generated_ = false;
  unsigned next_ = 0;
};

uint64_t free_bytes(const std::string& dir) {
  struct statvfs vfs {};
  if (statvfs(dir.c_str(), &vfs) != 0) {
    return UINT64_MAX;
  }
  return static_cast<uint64_t>(vfs.f_bavail) * vfs.f_frsize;
}

// --- Signals --------------------------------------------------------------------

std::atomic<bool> stop_requested{false};
std::atomic<int> snapshot_requests{0};

void on_signal(int signal_number) {
  if (signal_number == SIGUSR1) {
    snapshot_requests.fetch_add(1);
    return;
  }
  if (stop_requested.exchange(true)) {
    // A second stop ends the process at once.
    std::signal(signal_number, SIG_DFL);
    std::raise(signal_number);
  }
}

// --- The run --------------------------------------------------------------------

// What a remote control asks of a recorder, and what the recorder tells
// about itself (control.h).
using rnr::control::Command;
using rnr::control::RecorderStatus;

// The running recorder with its names, splits and retention. Its commands
// may come from another thread (a remote control) as well as from the main
// loop; they are taken one at a time.
class Session {
 public:
  Session(const RecordArgs& args, rnr_recorder* recorder, BagNames names, std::string first)
      : args_(args), recorder_(recorder), names_(std::move(names)) {
    if (!first.empty()) {
      files_.push_back(first);
    }
    started_ = bag_started_ = std::chrono::steady_clock::now();
    char host[256] = {0};
    gethostname(host, sizeof host - 1);
    host_ = host;
    name_ = args.name.empty() ? rnr::control::default_name() : args.name;
  }

  // Carries out one command; false with `detail` set when it cannot.
  bool handle(Command command, std::string* detail) {
    std::lock_guard<std::mutex> lock(mutex_);
    switch (command) {
      case Command::pause:
        paused_by_command_ = true;
        return rnr_recorder_pause(recorder_) || refuse(detail, "not recording into a bag");
      case Command::resume:
        paused_by_command_ = false;
        if (paused_by_disk_) {
          return refuse(detail, "paused until the disk has room");
        }
        return rnr_recorder_resume(recorder_) || refuse(detail, "not paused");
      case Command::split:
        return split(detail);
      case Command::snapshot:
        return snapshot(detail);
      case Command::stop:
        stop_requested.store(true);
        return true;
    }
    return false;
  }

  RecorderStatus status() {
    const rnr_recorder_status s = rnr_recorder_get_status(recorder_);
    RecorderStatus out;
    out.name = name_;
    out.host = host_;
    out.pid = getpid();
    out.state = s.mode == RNR_RECORDER_MODE_PAUSED     ? "paused"
                : s.mode == RNR_RECORDER_MODE_SNAPSHOT ? "snapshot"
                                                       : "recording";
    out.current_file = s.current_file;
    out.samples = s.samples;
    out.bytes = s.bytes;
    out.lost = s.lost;
    out.topics = s.topics;
    out.free_disk = free_bytes(names_.directory());
    return out;
  }

  // One step of the main loop: splits, retention, the disk's room, and
  // the snapshots asked for by signal.
  void tick() {
    while (snapshot_requests.load() > 0) {
      snapshot_requests.fetch_sub(1);
      std::string detail;
      if (!handle(Command::snapshot, &detail)) {
        std::fprintf(stderr, "quorvin-rnr-bag: record: snapshot: %s\n", detail.c_str());
      }
    }
    std::lock_guard<std::mutex> lock(mutex_);
    if (args_.snapshot_ns == 0 && split_due()) {
      std::string detail;
      if (!split(&detail)) {
        std::fprintf(stderr, "quorvin-rnr-bag: record: split: %s\n", detail.c_str());
      }
    }
    keep_retention();
  }

  bool ok() const { return ok_; }
  const std::string& name() const { return name_; }

  // "\r  12.3 s  12345 samples  1000/s  1.2 MiB  3 topics  0 lost  NAME".
  void show_status(double elapsed, double rate) {
    const rnr_recorder_status s = rnr_recorder_get_status(recorder_);
    const char* state = s.mode == RNR_RECORDER_MODE_PAUSED ? "  paused" : "";
    std::string file = s.current_file;
    if (s.mode == RNR_RECORDER_MODE_SNAPSHOT) {
      char window[64];
      std::snprintf(window, sizeof window, "window %.1f s", static_cast<double>(s.window_ns) / 1e9);
      file = window;
    }
    std::fprintf(
        stderr, "\r%9.1f s  %llu samples  %.0f/s  %.1f MiB  %llu topics  %llu lost  %s%s\x1b[K",
        elapsed, static_cast<unsigned long long>(s.samples), rate,
        static_cast<double>(s.bytes) / 1048576.0, static_cast<unsigned long long>(s.topics),
        static_cast<unsigned long long>(s.lost), file.c_str(), state);
    std::fflush(stderr);
  }

 private:
  static bool refuse(std::string* detail, const char* why) {
    if (detail != nullptr) {
      *detail = why;
    }
    return false;
  }

  // The current bag's size on disk once what it holds in memory is written.
  // The file grows by pages in leaps, so the sample bytes handed to the bag
  // are counted at the file bytes per sample byte of the last finished bag
  // (as the recorder found it once that bag was written to its end), from
  // the bag's size before its first sample; until a bag is finished, by the
  // file so far and the held bytes.
  uint64_t estimated_size() {
    const rnr_recorder_status s = rnr_recorder_get_status(recorder_);
    const uint64_t on_disk = file_size(s.current_file);
    // The recorder measures each bag's size before its first sample.
    if (s.bag_base > 0) {
      base_ = s.bag_base;
    } else if (base_ == 0) {
      base_ = on_disk;
    }
    if (s.finished_ratio > 0) {
      return base_ + static_cast<uint64_t>(static_cast<double>(s.bag_bytes) * s.finished_ratio);
    }
    const uint64_t written = s.bag_bytes > s.bag_held ? s.bag_bytes - s.bag_held : 0;
    if (written >= 32768 && on_disk > base_) {
      // Averaged over the ticks: a leap of the file counts for little.
      const double seen = static_cast<double>(on_disk - base_) / static_cast<double>(written);
      ratio_ = ratio_seen_ == 0 ? seen : (ratio_ * ratio_seen_ + seen) / (ratio_seen_ + 1);
      ++ratio_seen_;
    }
    return on_disk + static_cast<uint64_t>(static_cast<double>(s.bag_held) * ratio_);
  }

  bool split_due() {
    if (args_.split_ns > 0 && std::chrono::steady_clock::now() - bag_started_ >=
                                  std::chrono::nanoseconds(args_.split_ns)) {
      return true;
    }
    if (args_.split_size == 0) {
      return false;
    }
    const uint64_t size = estimated_size();
    if (size < args_.split_size) {
      return false;
    }
    rnr_log(RNR_LOG_DEBUG, "Recorder Split at an estimated %llu bytes",
            static_cast<unsigned long long>(size));
    return true;
  }

  // Called with mutex_ held.
  bool split(std::string* detail) {
    if (args_.snapshot_ns > 0) {
      return refuse(detail, "a snapshot window writes no bag to split");
    }
    const std::string next = next_name_.empty() ? names_.next() : next_name_;
    next_name_.clear();
    bag_started_ = std::chrono::steady_clock::now();
    base_ = 0;
    std::string error;
    const bool done = rnr_recorder_split_now(recorder_, next.c_str(), &error);
    if (rnr_recorder_get_status(recorder_).current_file == next) {
      files_.push_back(next);
    }
    prepare_next();
    if (!done) {
      ok_ = false;
      return refuse(detail, error.c_str()) && false;
    }
    keep_retention();
    return true;
  }

 public:
  // Creates the next split bag ahead of its split. Called with mutex_ held,
  // or before the run.
  void prepare_next() {
    if (args_.split_ns == 0 && args_.split_size == 0) {
      return;
    }
    next_name_ = names_.next();
    std::string error;
    if (!rnr_recorder_prepare_split(recorder_, next_name_.c_str(), &error)) {
      next_name_.clear();  // made at the split, where a failure counts
    }
  }

 private:
  // Called with mutex_ held.
  bool snapshot(std::string* detail) {
    if (args_.snapshot_ns == 0) {
      return refuse(detail, "no --snapshot window is kept");
    }
    const std::string path = names_.next();
    std::string error;
    if (!rnr_recorder_snapshot_now(recorder_, path.c_str(), &error)) {
      if (detail != nullptr) {
        *detail = error;
      }
      return false;
    }
    files_.push_back(path);
    std::fprintf(stderr, "%squorvin-rnr-bag: record: snapshot written into %s\n",
                 isatty(STDERR_FILENO) != 0 ? "\r\x1b[K" : "", path.c_str());
    keep_retention();
    return true;
  }

  // Deletes the oldest bag that is not being written; false when none is
  // left. Called with mutex_ held.
  bool delete_oldest(const char* why) {
    const bool writing = args_.snapshot_ns == 0;
    if (files_.size() <= (writing ? 1u : 0u)) {
      return false;
    }
    const std::string oldest = files_.front();
    files_.pop_front();
    if (unlink(oldest.c_str()) == 0) {
      rnr_log(RNR_LOG_INFO, "Recorder Deleted %s (%s)", oldest.c_str(), why);
    }
    return true;
  }

  // Called with mutex_ held.
  void keep_retention() {
    while (args_.max_files > 0 && files_.size() > args_.max_files && delete_oldest("--max-files")) {
    }
    if (args_.max_size > 0) {
      for (;;) {
        uint64_t total = 0;
        for (const auto& f : files_) {
          total += file_size(f);
        }
        if (total <= args_.max_size || !delete_oldest("--max-size")) {
          break;
        }
      }
    }
    if (args_.min_free == 0) {
      return;
    }
    uint64_t free = free_bytes(names_.directory());
    while (free < args_.min_free && delete_oldest("--min-free")) {
      free = free_bytes(names_.directory());
    }
    if (free < args_.min_free && !paused_by_disk_ && args_.snapshot_ns == 0) {
      paused_by_disk_ = true;
      rnr_recorder_pause(recorder_);
      rnr_log(RNR_LOG_WARN,
              "Recorder Paused: %llu bytes free on %s, below --min-free %llu, and no bag left "
              "to delete",
              static_cast<unsigned long long>(free), names_.directory().c_str(),
              static_cast<unsigned long long>(args_.min_free));
    } else if (free >= args_.min_free && paused_by_disk_) {
      paused_by_disk_ = false;
      if (!paused_by_command_) {
        rnr_recorder_resume(recorder_);
      }
      rnr_log(RNR_LOG_WARN, "Recorder Resumed: %llu bytes free on %s",
              static_cast<unsigned long long>(free), names_.directory().c_str());
    }
  }

  const RecordArgs& args_;
  rnr_recorder* recorder_;
  BagNames names_;
  std::mutex mutex_;
  std::deque<std::string> files_;  // this recording's bags, oldest first
  std::string next_name_;          // the bag prepared for the next split
  std::chrono::steady_clock::time_point started_, bag_started_;
  std::string host_, name_;
  uint64_t base_ = 0;        // the current bag's size before its first batch
  double ratio_ = 1.5;       // file bytes per sample byte, as last seen
  uint64_t ratio_seen_ = 0;  // observations averaged into ratio_
  bool paused_by_disk_ = false;
  bool paused_by_command_ = false;
  bool ok_ = true;
};

int record(const RecordArgs& args) {
  BagNames names;
  std::string error;
  const bool numbered = args.snapshot_ns > 0 || args.split_ns > 0 || args.split_size > 0;
  if (!names.init(args.output, numbered, &error)) {
    return bad(error);
  }
  rnr::bagtool::SuppliedTypes supplied;
  if (!supplied.load(args.idl, &error)) {
    std::fprintf(stderr, "quorvin-rnr-bag: record: %s\n", error.c_str());
    return 1;
  }
  if (!rnr_logger_init(args.log_level)) {
    std::fprintf(stderr, "quorvin-rnr-bag: record: cannot initialize the logger\n");
    return 1;
  }
  rnr_long_run_options options;
  if (!supplied.empty()) {
    options.supplied_type = [&supplied](const char* type_name, std::string* description) {
      std::string why;
      auto text = supplied.description(type_name, &why);
      if (!text) {
        rnr_log(RNR_LOG_WARN, "Main %s: no type announced and --idl describes none (%s)", type_name,
                why.c_str());
        return false;
      }
      *description = std::move(*text);
      return true;
    };
  }
  options.snapshot_ns = args.snapshot_ns;
  // Only a bag that has others before it, or a snapshot, starts with the
  // latched state.
  options.keep_latched = numbered;
  const std::string first = args.snapshot_ns > 0 ? std::string() : names.next();
  rnr_recorder* recorder =
      rnr_recorder_create_long_run(args.domain, first.empty() ? nullptr : first.c_str(), &options);
  if (recorder == nullptr) {
    rnr_log(RNR_LOG_ERROR, "Main Cannot create recorder");
    return 1;
  }
  for (const auto& [type, topic] : args.pairs) {
    rnr_recorder_add_topic(recorder, topic.c_str(), type.c_str());
  }
  const bool terminal = isatty(STDERR_FILENO) != 0;
  bool ok = true;
  {
    Session session(args, recorder, names, first);
    // A disk without the room asked for pauses before the first sample.
    session.tick();
    session.prepare_next();
    // Commands come on the agent's thread; the status goes out each second
    // and after every command.
    std::unique_ptr<rnr::control::Agent> agent;
    std::atomic<bool> changed{false};
    if (args.control) {
      std::string why;
      agent = rnr::control::Agent::create(
          args.domain, session.name(),
          [&](Command command, std::string* detail) {
            const bool done = session.handle(command, detail);
            changed.store(true);
            return done;
          },
          &why);
      if (agent == nullptr) {
        std::fprintf(stderr, "quorvin-rnr-bag: record: --control: %s\n", why.c_str());
        rnr_recorder_destroy(recorder);
        return 1;
      }
    }
    rnr_recorder_start_record(recorder);
    const auto started = std::chrono::steady_clock::now();
    auto published = started - std::chrono::seconds(1);
    auto shown = started;
    uint64_t shown_samples = 0;
    while (!stop_requested.load()) {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
      session.tick();
      const auto now = std::chrono::steady_clock::now();
      if (agent != nullptr &&
          (changed.exchange(false) || now - published >= std::chrono::seconds(1))) {
        agent->publish_status(session.status());
        published = now;
      }
      if (terminal && now - shown >= std::chrono::seconds(1)) {
        const uint64_t samples = rnr_recorder_get_status(recorder).samples;
        const double span = std::chrono::duration<double>(now - shown).count();
        session.show_status(std::chrono::duration<double>(now - started).count(),
                            static_cast<double>(samples - shown_samples) / span);
        shown = now;
        shown_samples = samples;
      }
    }
    if (terminal) {
      std::fputc('\n', stderr);
    }
    if (agent != nullptr) {
      RecorderStatus last = session.status();
      last.state = "stopping";
      agent->publish_status(last);
      agent.reset();
    }
    ok = session.ok();
  }
  rnr_recorder_stop_record(recorder);
  ok = rnr_recorder_finish_long_run(recorder) && ok;
  rnr_recorder_destroy(recorder);
  return ok ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  struct sigaction action {};
  action.sa_handler = on_signal;
  sigemptyset(&action.sa_mask);
  for (int signal_number : {SIGINT, SIGTERM, SIGHUP, SIGUSR1}) {
    sigaction(signal_number, &action, nullptr);
  }
  std::signal(SIGPIPE, SIG_IGN);
  RecordArgs args;
  bool help = false;
  // quorvin-rnr-bag execs this program with the words after "record".
  if (int status = parse_args(argc, argv, &args, &help); status != 0 || help) {
    if (help) {
      std::puts(kUsage);
    }
    return status;
  }
  return record(args);
}
