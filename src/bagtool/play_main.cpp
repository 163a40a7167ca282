// quorvin-rnr-bag-play: `quorvin-rnr-bag play`, a bag played onto a DDS
// domain through the replayer (its pacing, writers and QoS), with a choice
// of interval, topics, names, rate and repetition, and keys on a terminal.
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include <sqlite3.h>

#include "bag/bag_reader.h"
#include "bag/database_open.h"
#include "bagtool/latched_state.h"
#include "bagtool/supplied_types.h"
#include "bagtool/command_line.h"
#include "bagtool/recording_set.h"
#include "bagtool/signals.h"
#include "bagtool/terminal.h"
#include "bagtool/time_arg.h"
#include "bagtool/topic_select.h"
#include "log/logger.h"
#include "replayer/replayer.h"
#include "types/name_field.h"
#include "types/name_glob.h"

using rnr::bagtool::matches_any;

namespace {

using rnr::bagtool::TimeArg;

constexpr const char* kUsage =
    "usage: quorvin-rnr-bag play BAG|DIR|BAG... [-d DOMAIN] [--rate R] [--start T]\n"
    "                            [--end T] [--topic NAME]... [--exclude NAME]...\n"
    "                            [--remap FROM=TO]... [--loop] [--paused] [--idl FILE]...\n"
    "                            [--timing reception|source]\n"
    "                            [-l LEVEL]\n"
    "\n"
    "Plays the bag onto a DDS domain with the recorded timing; the bag is only read.\n"
    "A directory or several bags are the bags of a split recording, played one after\n"
    "another as one recording (each repeated row once; the options apply to the\n"
    "whole of it).\n"
    "\n"
    "Options:\n"
    "  -d, --domain DOMAIN   DDS domain id (default 0)\n"
    "  --rate R              play R times as fast, 0.01 to 100 (default 1)\n"
    "  --start T, --end T    play only the samples from T and up to T: seconds from\n"
    "                        the bag's first sample (12.5), @ and seconds since the\n"
    "                        Unix epoch, or a date and time as info prints it\n"
    "                        (2024-05-01 12:00:00.250 [+0200]); a range without\n"
    "                        samples is an error\n"
    "  --topic NAME          play this topic (repeatable; * ? [...] match as in\n"
    "                        record); default: every topic\n"
    "  --exclude NAME        do not play this topic (repeatable; patterns too)\n"
    "  --remap FROM=TO       publish the samples of topic FROM on topic TO\n"
    "  --loop                start again at the end, until interrupted\n"
    "  --paused              start paused (needs a terminal on standard input,\n"
    "                        whose keys resume)\n"
    "  --idl FILE            IDL of the types the bag does not describe, for the keys\n"
    "                        of the latched state (repeatable; as in json)\n"
    "  --timing reception|source\n"
    "                        pace the samples by their reception times (default)\n"
    "                        or by the source timestamps their writers gave them\n"
    "                        (a history delivered in a burst keeps its spacing); a\n"
    "                        sample without one goes by its reception time\n"
    "  -l, --log-level LEVEL verbose | debug | info | warn | error | fatal (default warn)\n"
    "  -h, --help            show this help and exit\n"
    "\n"
    "Keys, when standard input is a terminal: space pauses and resumes, s writes\n"
    "the next sample while paused, + and - double and halve the rate. One status\n"
    "line on standard error shows the bag time, progress, rate and samples written.\n"
    "\n"
    "Exit status: 0 when every sample was written; 1 failed (one line says why);\n"
    "2 wrong arguments; 128 + the signal when stopped by one (130 SIGINT, 143\n"
    "SIGTERM, 129 SIGHUP), with one line.";

struct PlayArgs {
  std::string bag;
  std::vector<std::string> bags;  // every bag argument: several, the bags of a recording
  int32_t domain = 0;
  double rate = 1.0;
  std::optional<TimeArg> start, end;
  std::vector<std::string> topics, excludes;
  std::vector<std::pair<std::string, std::string>> remap;
  std::vector<std::string> idl;
  bool loop = false;
  bool paused = false;
  bool source_timing = false;
  int32_t log_level = RNR_LOG_WARN;
};

int bad(const std::string& text) {
  std::fprintf(stderr, "quorvin-rnr-bag: play: %s\n", text.c_str());
  return 2;
}

bool parse_number(const std::string& text, double* value) {
  errno = 0;
  char* end = nullptr;
  *value = std::strtod(text.c_str(), &end);
  return !text.empty() && end == text.c_str() + text.size() && errno == 0 && std::isfinite(*value);
}

// Reads the command line (after "play"). 0 when it is good, else the exit
// status (0 too for --help, with `help` set).
int parse_args(int argc, char** argv, PlayArgs* args, bool* help) {
  std::vector<std::string> words(argv + 1, argv + argc);
  for (size_t i = 0; i < words.size(); ++i) {
    std::string option = words[i];
    if (option == "-h" || option == "--help") {
      *help = true;
      return 0;
    }
    if (option.empty() || option[0] != '-') {
      if (args->bag.empty()) {
        args->bag = option;
      }
      args->bags.push_back(option);
      continue;
    }
    if (option == "--loop" || option == "--paused") {
      (option == "--loop" ? args->loop : args->paused) = true;
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
    if (option == "-d" || option == "--domain") {
      double domain = 0;
      if (!parse_number(value, &domain) || domain != std::floor(domain) || domain < 0 ||
          domain > 232) {
        return bad("-d " + value + ": the domain id is a whole number from 0 to 232");
      }
      args->domain = static_cast<int32_t>(domain);
    } else if (option == "--rate") {
      if (!parse_number(value, &args->rate) || args->rate < 0.01 || args->rate > 100) {
        return bad("--rate " + value + ": the rate is a number from 0.01 to 100");
      }
    } else if (option == "--start" || option == "--end") {
      auto time = rnr::bagtool::parse_time_arg(value);
      if (!time) {
        return bad(option + " " + value +
                   ": not a time (seconds from the start, @unix seconds, or YYYY-MM-DD "
                   "HH:MM:SS[.fff] [+HHMM])");
      }
      (option == "--start" ? args->start : args->end) = time;
    } else if (option == "--topic" || option == "--exclude") {
      if (value.empty()) {
        return bad(option + " needs a topic name");
      }
      (option == "--topic" ? args->topics : args->excludes).push_back(value);
    } else if (option == "--remap") {
      const size_t at = value.find('=');
      if (at == std::string::npos || at == 0 || at + 1 == value.size() ||
          value.size() - at - 1 >= RNR_NAME_FIELD_SIZE) {
        return bad("--remap " + value + ": give FROM=TO, two topic names (TO below 256 bytes)");
      }
      args->remap.emplace_back(value.substr(0, at), value.substr(at + 1));
    } else if (option == "--timing") {
      if (value != "reception" && value != "source") {
        return bad("--timing " + value + ": give reception or source");
      }
      args->source_timing = value == "source";
    } else if (option == "-l" || option == "--log-level") {
      if (!rnr::bagtool::parse_log_level(value, &args->log_level)) {
        return bad("-l " + value + ": unknown log level");
      }
    } else if (option == "--idl") {
      if (value.empty()) {
        return bad("--idl needs a file");
      }
      args->idl.push_back(value);
    } else {
      return bad("unknown option " + option);
    }
  }
  if (args->bag.empty()) {
    return bad("the bag file is required\n" + std::string(kUsage));
  }
  // Nothing else could resume a replay that starts paused.
  if (args->paused && isatty(STDIN_FILENO) == 0) {
    return bad("--paused needs a terminal on standard input, whose keys resume the replay");
  }
  return 0;
}

struct ConnectionCloser {
  void operator()(sqlite3* db) const { sqlite3_close(db); }
};

// The ids of the topics that have samples within the range (DISTINCT sorts
// the ids alone, never the samples' bytes).
bool topics_with_samples(sqlite3* db, const rnr::bag::SampleFilter& range, std::set<int64_t>* ids,
                         std::string* error) {
  sqlite3_stmt* stmt = nullptr;
  const bool prepared =
      sqlite3_prepare_v2(db,
                         "SELECT DISTINCT topic_id FROM data WHERE timestamp >= ?1 AND "
                         "timestamp <= ?2",
                         -1, &stmt, nullptr) == SQLITE_OK &&
      sqlite3_bind_int64(stmt, 1, range.start.value_or(INT64_MIN)) == SQLITE_OK &&
      sqlite3_bind_int64(stmt, 2, range.end.value_or(INT64_MAX)) == SQLITE_OK;
  int step = SQLITE_ERROR;
  while (prepared && (step = sqlite3_step(stmt)) == SQLITE_ROW) {
    ids->insert(sqlite3_column_int64(stmt, 0));
  }
  sqlite3_finalize(stmt);
  if (step != SQLITE_DONE) {
    *error = std::string("cannot read the samples: ") + sqlite3_errmsg(db);
    return false;
  }
  return true;
}

// --- The bags of a split recording -------------------------------------------

// The topics of every bag of the recording by id (the bags of one recording
// share their ids), after those of `topics`, and the recording's span.
// False with `error` set when a bag cannot be read or an id names another
// topic in another bag (bags of different recordings).
bool recording_topics(const std::vector<rnr::bagtool::RecordingBag>& bags,
                      std::vector<rnr::bag::TopicSummary>* topics, int64_t* first, int64_t* last,
                      bool* any, std::string* error) {
  std::map<int64_t, std::pair<std::string, std::string>> named;  // id -> (name, type)
  std::map<int64_t, std::string> where;
  for (const auto& t : *topics) {
    named[t.id] = {t.name, t.type};
  }
  *any = false;
  for (const auto& bag : bags) {
    rnr::bag::BagReader reader;
    std::vector<rnr::bag::TopicSummary> in_bag;
    if (!reader.open(bag.path, error) || !reader.topics(&in_bag, false, error)) {
      *error = bag.path + ": " + *error;
      return false;
    }
    for (const auto& t : in_bag) {
      auto [it, added] = named.emplace(t.id, std::make_pair(t.name, t.type));
      if (added) {
        topics->push_back(t);
      } else if (it->second != std::make_pair(t.name, t.type)) {
        *error = bag.path + ": topic id " + std::to_string(t.id) + " is " + t.name + " here and " +
                 it->second.first + " in another bag: not the bags of one recording";
        return false;
      }
    }
    if (bag.any) {
      *first = *any ? std::min(*first, bag.first) : bag.first;
      *last = *any ? std::max(*last, bag.last) : bag.last;
      *any = true;
    }
  }
  return true;
}

// The bag a replay of the recording from `start` begins with: the last one
// that begins before it (whose head holds the latched state as of its
// start), else the first.
size_t recording_start_bag(const std::vector<rnr::bagtool::RecordingBag>& bags,
                           const std::optional<int64_t>& start) {
  size_t at = 0;
  for (size_t k = 0; start && k < bags.size(); ++k) {
    if (bags[k].any && bags[k].first < *start) {
      at = k;
    }
  }
  return at;
}

// --- Run ----------------------------------------------------------------------

std::atomic<int> finished{0};  // 1 finished, 2 failed

void on_finished(rnr_replayer* /*replayer*/) {
  finished = 1;
}

void on_failed(rnr_replayer* /*replayer*/) {
  finished = 2;
}

// "\r  12.500 s / 60.000 s   21%  1.00x  1234 samples  paused" on a
// terminal, rewritten in place.
class StatusLine {
 public:
  StatusLine(int64_t first, int64_t last, uint64_t total)
      : enabled_(isatty(STDERR_FILENO) != 0), first_(first), last_(last), total_(total) {}

  void show(const rnr_replayer* replayer) {
    if (!enabled_) {
      return;
    }
    const rnr_replay_progress progress = rnr_replayer_progress(replayer);
    const int64_t position = progress.position;
    const double at = position > first_ ? static_cast<double>(position - first_) / 1e9 : 0.0;
    const double span = last_ > first_ ? static_cast<double>(last_ - first_) / 1e9 : 0.0;
    const uint64_t written = progress.samples_written;
    const uint64_t passes = progress.passes;
    const uint64_t in_pass = total_ == 0 ? 0 : written - std::min(written, passes * total_);
    const double percent =
        total_ == 0 ? 100.0 : 100.0 * static_cast<double>(in_pass) / static_cast<double>(total_);
    const uint8_t state = progress.state;
    std::fprintf(stderr, "\r%10.3f s / %.3f s  %3.0f%%  %.2fx  %llu samples%s%s\x1b[K", at, span,
                 std::min(percent, 100.0), progress.rate, static_cast<unsigned long long>(written),
                 state == REPLAY_PAUSED ? "  paused" : "",
                 passes > 0 ? ("  pass " + std::to_string(passes + 1)).c_str() : "");
    std::fflush(stderr);
    shown_ = true;
  }
  void end() {
    if (shown_) {
      std::fputc('\n', stderr);
    }
  }

 private:
  bool enabled_;
  int64_t first_, last_;
  uint64_t total_;
  bool shown_ = false;
};

void handle_key(rnr_replayer* replayer, char key) {
  if (key == ' ') {
    if (rnr_replayer_progress(replayer).state == REPLAY_PAUSED) {
      rnr_replayer_resume_replay(replayer);
    } else {
      rnr_replayer_pause_replay(replayer);
    }
  } else if (key == 's') {
    rnr_replayer_step_replay(replayer);
  } else if (key == '+' || key == '=') {
    rnr_replayer_set_rate(replayer, rnr_replayer_progress(replayer).rate * 2);
  } else if (key == '-') {
    rnr_replayer_set_rate(replayer, rnr_replayer_progress(replayer).rate / 2);
  }
}

int play(const PlayArgs& args) {
  // What to play, worked out from the bag before any DDS entity exists.
  std::string error;
  // Several bags (or a directory): a split recording, whose last bag holds
  // the whole catalogue (each bag copies the one before).
  std::vector<rnr::bagtool::RecordingBag> recording;
  if (rnr::bagtool::names_recording(args.bags) &&
      !rnr::bagtool::open_recording(args.bags, &recording, &error)) {
    std::fprintf(stderr, "quorvin-rnr-bag: play: %s\n", error.c_str());
    return 1;
  }
  const std::string catalogue = recording.empty() ? args.bag : recording.back().path;
  std::unique_ptr<sqlite3, ConnectionCloser> db(
      rnr::bag::open_existing_bag(catalogue.c_str(), &error));
  if (db == nullptr) {
    std::fprintf(stderr, "quorvin-rnr-bag: %s: %s\n", args.bag.c_str(), error.c_str());
    return 1;
  }
  rnr::bag::BagReader reader(db.get());
  std::vector<rnr::bag::TopicSummary> topics;
  int64_t first = 0, last = 0;
  bool any = false;
  if (!reader.topics(&topics, false, &error) || !reader.time_span(&first, &last, &any, &error)) {
    std::fprintf(stderr, "quorvin-rnr-bag: %s: %s\n", args.bag.c_str(), error.c_str());
    return 1;
  }
  if (!recording.empty() && !recording_topics(recording, &topics, &first, &last, &any, &error)) {
    std::fprintf(stderr, "quorvin-rnr-bag: play: %s\n", error.c_str());
    return 1;
  }
  // Descriptions from --idl, in memory only, for the keys of the latched
  // state (the replay writes the stored bytes whatever their type).
  rnr::bagtool::SuppliedTypes supplied;
  if (!supplied.load(args.idl, &error)) {
    std::fprintf(stderr, "quorvin-rnr-bag: play: %s\n", error.c_str());
    return 1;
  }
  for (auto& t : topics) {
    // A description that does not fit the first samples is not used.
    std::string why;
    if (supplied.fill(&t, &why) && !rnr::bagtool::samples_fit(reader, t, *t.metastring, 8, &why)) {
      t.metastring.reset();
      std::fprintf(stderr, "quorvin-rnr-bag: play: topic %s: --idl %s: %s; it is not used\n",
                   t.name.c_str(), supplied.names().c_str(), why.c_str());
    }
  }
  rnr_replay_options options;
  options.rate = args.rate;
  options.loop = args.loop;
  options.paused = args.paused;
  options.source_timing = args.source_timing;
  for (const auto& pattern : args.topics) {
    if (std::none_of(topics.begin(), topics.end(), [&](const rnr::bag::TopicSummary& t) {
          return rnr::types::glob_match(pattern, t.name);
        })) {
      return bad("--topic " + pattern + ": no topic of the bag matches");
    }
  }
  std::vector<int32_t> chosen;
  for (const auto& t : topics) {
    if ((args.topics.empty() || matches_any(args.topics, t.name)) &&
        !matches_any(args.excludes, t.name)) {
      chosen.push_back(static_cast<int32_t>(t.id));
    }
  }
  if (chosen.empty()) {
    return bad("no topic of the bag is left to play");
  }
  std::set<std::string> remapped;
  for (const auto& [from, to] : args.remap) {
    if (std::none_of(topics.begin(), topics.end(),
                     [&](const rnr::bag::TopicSummary& t) { return t.name == from; })) {
      return bad("--remap " + from + "=" + to + ": no topic " + from + " in the bag");
    }
    if (!remapped.insert(from).second) {
      return bad("--remap " + from + ": given twice");
    }
  }
  options.remap = args.remap;
  if (args.start) {
    options.start = rnr::bagtool::resolve_time(*args.start, first);
  }
  if (args.end) {
    options.end = rnr::bagtool::resolve_time(*args.end, first);
  }
  if (options.start && options.end && *options.start > *options.end) {
    return bad("--start lies after --end");
  }
  // Only topics with samples in the range are played (and reported on).
  rnr::bag::SampleFilter range;
  range.start = options.start;
  range.end = options.end;
  std::set<int64_t> with_samples;
  if (!topics_with_samples(db.get(), range, &with_samples, &error)) {
    std::fprintf(stderr, "quorvin-rnr-bag: %s: %s\n", args.bag.c_str(), error.c_str());
    return 1;
  }
  for (size_t k = 0; k + 1 < recording.size(); ++k) {
    std::unique_ptr<sqlite3, ConnectionCloser> bag(
        rnr::bag::open_existing_bag(recording[k].path.c_str(), &error));
    if (bag == nullptr || !topics_with_samples(bag.get(), range, &with_samples, &error)) {
      std::fprintf(stderr, "quorvin-rnr-bag: %s: %s\n", recording[k].path.c_str(), error.c_str());
      return 1;
    }
  }
  for (int32_t id : chosen) {
    if (with_samples.count(id) != 0) {
      options.topic_ids.push_back(id);
    }
  }
  if (options.topic_ids.empty()) {
    std::fprintf(stderr, "quorvin-rnr-bag: play: %s: no sample of the chosen topics%s\n",
                 args.bag.c_str(), args.start || args.end ? " lies in the range" : "");
    return 1;
  }
  // A recording is played from the bag the start lies in: its head holds
  // the latched state as of its own start.
  std::unique_ptr<sqlite3, ConnectionCloser> start_db;
  std::unique_ptr<rnr::bag::BagReader> start_reader;
  if (!recording.empty()) {
    options.start_bag = recording_start_bag(recording, options.start);
    for (const auto& bag : recording) {
      options.recording.push_back(
          {bag.path, bag.skipped, bag.any ? std::optional(bag.first) : std::nullopt});
    }
    start_db.reset(rnr::bag::open_existing_bag(recording[options.start_bag].path.c_str(), &error));
    if (start_db == nullptr) {
      std::fprintf(stderr, "quorvin-rnr-bag: %s: %s\n", recording[options.start_bag].path.c_str(),
                   error.c_str());
      return 1;
    }
    start_reader = std::make_unique<rnr::bag::BagReader>(start_db.get());
  }
  // The latched state before the start, worked out here, where the type
  // descriptions are read.
  if (options.start &&
      (!rnr::bagtool::latched_topics(reader, options.topic_ids, &options.latched_topic_ids,
                                     &error) ||
       !rnr::bagtool::latched_sample_ids(start_reader ? *start_reader : reader, topics,
                                         options.latched_topic_ids, *options.start,
                                         &options.latched_sample_ids.emplace(), &error))) {
    std::fprintf(stderr, "quorvin-rnr-bag: %s: %s\n", args.bag.c_str(), error.c_str());
    return 1;
  }
  rnr::bag::SampleFilter filter;
  filter.topic_ids.assign(options.topic_ids.begin(), options.topic_ids.end());
  filter.start = options.start;
  filter.end = options.end;
  uint64_t total = 0;
  if (recording.empty() && !reader.count(filter, &total, &error)) {
    std::fprintf(stderr, "quorvin-rnr-bag: %s: %s\n", args.bag.c_str(), error.c_str());
    return 1;
  }
  for (size_t k = options.start_bag; k < recording.size(); ++k) {
    rnr::bag::BagReader bag;
    uint64_t n = 0;
    if (!bag.open(recording[k].path, &error) || !bag.count(filter, &n, &error)) {
      std::fprintf(stderr, "quorvin-rnr-bag: %s: %s\n", recording[k].path.c_str(), error.c_str());
      return 1;
    }
    // The status line's count: repeated rows that are left out (mostly
    // within the range) do not count.
    total += n - std::min<uint64_t>(n, recording[k].skipped.size());
  }

  rnr_logger_init(args.log_level);
  rnr_replayer_set_stop_check([] { return rnr::bagtool::stop_signal() != 0; });
  rnr_replayer* replayer =
      rnr_replayer_create_with_options(catalogue.c_str(), args.domain, &options);
  if (replayer == nullptr) {
    std::fprintf(stderr, "quorvin-rnr-bag: %s: cannot play the bag\n", args.bag.c_str());
    return 1;
  }
  rnr_replayer_set_on_replay_finished(replayer, on_finished);
  rnr_replayer_set_on_replay_failed(replayer, on_failed);

  int status = 0;
  bool stopped = false;
  {
    rnr::bagtool::RawTerminal terminal;
    StatusLine status_line(options.start.value_or(first), options.end.value_or(last), total);
    rnr_replayer_start_replay(replayer);
    while (finished.load() == 0 && rnr::bagtool::stop_signal() == 0) {
      if (auto key = terminal.read_key(100)) {
        handle_key(replayer, *key);
      }
      status_line.show(replayer);
    }
    // Stopping calls the end callback too: whether a signal ended the
    // replay is known only now.
    stopped = finished.load() == 0 && rnr::bagtool::stop_signal() != 0;
    rnr_replayer_stop_replay(replayer);
    status_line.show(replayer);
    status_line.end();
    if (finished.load() == 2) {
      std::fprintf(stderr, "quorvin-rnr-bag: %s: the replay failed\n", args.bag.c_str());
      status = 1;
    }
  }
  rnr_replayer_destroy(replayer);
  if (status == 0 && stopped) {
    return rnr::bagtool::report_stop("play");
  }
  return status;
}

}  // namespace

int main(int argc, char** argv) {
  rnr::bagtool::install_stop_signals(false);
  PlayArgs args;
  bool help = false;
  if (int status = parse_args(argc, argv, &args, &help); status != 0 || help) {
    if (help) {
      std::puts(kUsage);
    }
    return status;
  }
  return play(args);
}
