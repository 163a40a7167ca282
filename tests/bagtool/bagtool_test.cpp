// quorvin-rnr-bag on a bag that `quorvin-rnr record` wrote from the test
// talker (keyed XCDR1 and keyless appendable XCDR2 topics), on damaged copies
// of it, and on files that are no bags.
#include <gtest/gtest.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "bag_files.h"
#include "child_process.h"
#include "files.h"

using namespace rnr::test;
using namespace std::chrono_literals;

namespace {

constexpr int kCount = 30;
constexpr int kPayload = 16;

struct ToolRun {
  std::optional<int> status;
  std::string out, err;
};

ToolRun run_bag_tool(const TempDir& dir, const std::vector<std::string>& args) {
  static int serial = 0;
  const std::string base = dir.path() + "/run" + std::to_string(++serial);
  std::vector<std::string> argv = {RNR_BAG_TOOL_PATH};
  argv.insert(argv.end(), args.begin(), args.end());
  Child child(
      argv,
      ChildOptions{.cwd = dir.path(), .stdout_path = base + ".out", .stderr_path = base + ".err"});
  ToolRun run;
  run.status = child.wait(120s);
  run.out = read_file(base + ".out");
  run.err = read_file(base + ".err");
  return run;
}

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    lines.push_back(line);
  }
  return lines;
}

// The sample lines of `json`, without the lines of the instance events (the
// talkers' instances lose their writers when the talkers end).
std::vector<std::string> sample_lines_of(const std::string& text) {
  std::vector<std::string> lines = lines_of(text);
  std::erase_if(lines, [](const std::string& l) { return l.rfind("{\"event\":", 0) == 0; });
  return lines;
}

std::string hex_of(const std::vector<uint8_t>& bytes) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  for (uint8_t b : bytes) {
    out += digits[b >> 4];
    out += digits[b & 0xf];
  }
  return out;
}

// The values the talker publishes as sample i (tests/peers/peer_common.cpp),
// as JSON with enums as numbers.
std::string talker_values(bool keyed, long i) {
  std::ostringstream v;
  std::ostringstream payload;
  for (int j = 0; j < kPayload; ++j) {
    payload << (j ? "," : "") << ((i + j * 31) & 0xff);
  }
  if (keyed) {
    v << "{\"id\":" << i % 5 << ",\"seq\":" << i << ",\"inner\":{\"id\":" << i * 7
      << ",\"label\":\"inner-" << i << "\",\"color\":" << i % 3 << "},\"text\":\"keyed sample " << i
      << "\",\"values\":[" << i << "," << -i << "," << 2 * i << ",3],\"payload\":[" << payload.str()
      << "]}";
  } else {
    v << "{\"seq\":" << i << ",\"text\":\"keyless sample " << i << "\",\"numbers\":[";
    for (long k = 0; k < 1 + i % 4; ++k) {
      v << (k ? "," : "") << i + k;
    }
    v << "],\"points\":[{\"x\":" << i << ",\"y\":0.5},{\"x\":-1.25,\"y\":" << 2 * i
      << "}],\"color\":" << (i + 1) % 3 << ",\"payload\":[" << payload.str() << "]}";
  }
  return v.str();
}

// One recording per process, made by the first test that runs, at level
// verbose so that the recorder dumps every sample it stores. Each test names
// its own domain: run alone (as ctest runs them, in parallel) each records
// its own bag; run together they share the first one.
class BagTool : public ::testing::Test {
 protected:
  void SetUp() override {
    static const std::map<std::string, int> domains = {{"McapIsReadBackByAnIndependentReader", 161},
                                                       {"JsonEqualsTheRecordingsVerboseDump", 162},
                                                       {"InfoFiguresEqualTheBags", 163},
                                                       {"DamagedRowsGiveHexLines", 164}};
    if (dir_ == nullptr) {
      const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
      record(domains.at(info->name()));
    }
    ASSERT_NE(bag_, nullptr) << "the recording failed";
  }

  static void record(int domain) {
    dir_ = new TempDir();
    const std::string d = std::to_string(domain);
    const std::string rec_out = dir_->path() + "/recorder.out";
    Child recorder({RNR_TOOL_PATH, "record", "-d", d, "-l", "verbose", "rnr_test::KeyedSample",
                    "bt_keyed", "rnr_test::KeylessSample", "bt_keyless"},
                   ChildOptions{.cwd = dir_->path(),
                                .stdout_path = rec_out,
                                .stderr_path = dir_->path() + "/recorder.err"});
    ASSERT_TRUE(wait_for_text(rec_out, "Recorder Add Topic{", 20s, 2));
    const std::string talker_out = dir_->path() + "/talker.out";
    Child talker({RNR_TALKER_PATH, "--domain", d, "--topic", "keyed:bt_keyed", "--topic",
                  "keyless:bt_keyless", "--count", std::to_string(kCount), "--payload",
                  std::to_string(kPayload), "--rate", "0", "--wait-readers", "1",
                  "--wait-timeout-ms", "60000", "--linger-ms", "200"},
                 ChildOptions{.stdout_path = talker_out, .stderr_path = talker_out + ".err"});
    ASSERT_EQ(talker.wait(120s), 0);
    recorder.signal(SIGINT);
    ASSERT_EQ(recorder.wait(60s), 0);
    const auto bags = dir_->files_matching("dovuve_", ".sqlite3");
    ASSERT_EQ(bags.size(), 1u);
    Bag bag = read_bag(bags[0]);
    ASSERT_EQ(bag.data.size(), 2u * kCount);
    dump_ = new std::string(read_file(rec_out));
    talker_ = new std::string(read_file(talker_out));
    bag_path_ = new std::string(bags[0]);
    bag_ = new Bag(std::move(bag));
  }
  static void TearDownTestSuite() {
    delete bag_;
    delete bag_path_;
    delete talker_;
    delete dump_;
    delete dir_;
    bag_ = nullptr;
    dir_ = nullptr;
  }

  static std::string topic_name(int64_t id) {
    for (const auto& t : bag_->topics) {
      if (t.id == id) {
        return t.topic_name;
      }
    }
    return "";
  }

  static TempDir* dir_;
  static std::string* dump_;
  static std::string* talker_;
  static std::string* bag_path_;
  static Bag* bag_;
};

TempDir* BagTool::dir_ = nullptr;
std::string* BagTool::dump_ = nullptr;
std::string* BagTool::talker_ = nullptr;
std::string* BagTool::bag_path_ = nullptr;
Bag* BagTool::bag_ = nullptr;

// The viewers' CDR reader (@foxglove/omgidl-serialization 1.0.3) does not
// read the delimiter header that XCDR2 puts before an array of structs, so it
// misreads the keyless type from `points` on: only the members before it are
// compared there. The keyed topic (XCDR1) is compared whole.
constexpr const char* kKeylessMembers = ",\"members\":[\"seq\",\"text\",\"numbers\"]}";

// The MCAP file, read by the MCAP library with the viewers' IDL parser and
// CDR reader: every message decodes to the values the talker published, with
// the stored timestamp and row id; the summary counts equal the bag's; the
// writers' GUIDs are there; the bag is left as it was.
TEST_F(BagTool, McapIsReadBackByAnIndependentReader) {
  // Which sample i each row holds, found by its bytes.
  std::map<std::string, long> index_of;
  for (const auto& line : lines_of(*talker_)) {
    std::istringstream words(line);
    std::string kind, topic, g[4], hex;
    long i = -1;
    words >> kind >> topic >> i >> g[0] >> g[1] >> g[2] >> g[3] >> hex;
    if (kind == "SAMPLE") {
      index_of[topic + " " + hex] = i;
    }
  }
  std::ostringstream expected;
  expected << "{\"messages\":[";
  for (size_t r = 0; r < bag_->data.size(); ++r) {
    const auto& row = bag_->data[r];
    const std::string topic = topic_name(row.topic_id);
    auto i = index_of.find(topic + " " + hex_of(row.bytes));
    ASSERT_NE(i, index_of.end()) << "row " << row.id << " was not published";
    expected << (r ? "," : "") << "{\"topic\":\"" << topic << "\",\"sequence\":" << row.id
             << ",\"log_time\":\"" << row.timestamp
             << "\",\"value\":" << talker_values(topic == "bt_keyed", i->second)
             << (topic == "bt_keyed" ? "}" : kKeylessMembers);
  }
  expected << "],\"topics\":{\"bt_keyed\":{\"count\":" << kCount
           << ",\"schema\":true},\"bt_keyless\":{\"count\":" << kCount
           << ",\"schema\":true}},\"writers\":[";
  for (size_t w = 0; w < bag_->writers.size(); ++w) {
    expected << (w ? "," : "") << "\"" << bag_->writers[w] << "\"";
  }
  expected << "]}";
  const std::string expected_path = dir_->path() + "/expected.json";
  std::ofstream(expected_path) << expected.str();

  const std::string before = read_file(*bag_path_);
  const std::string mcap = dir_->path() + "/out.mcap";
  ToolRun run = run_bag_tool(*dir_, {"mcap", *bag_path_, mcap});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(read_file(*bag_path_), before);

  const std::string check_out = dir_->path() + "/check.out";
  Child check({RNR_NODE_PATH, RNR_MCAP_CHECK, mcap, expected_path},
              ChildOptions{.cwd = std::filesystem::path(RNR_MCAP_CHECK).parent_path().string(),
                           .stdout_path = check_out,
                           .stderr_path = check_out});
  EXPECT_EQ(check.wait(120s), 0) << read_file(check_out);
  EXPECT_EQ(read_file(check_out), "OK " + std::to_string(2 * kCount) + "\n");

  // Without an output name the file goes beside the bag.
  std::string beside = *bag_path_;
  beside.replace(beside.size() - 8, 8, ".mcap");
  ASSERT_EQ(run_bag_tool(*dir_, {"mcap", *bag_path_}).status, 0);
  EXPECT_EQ(read_file(beside), read_file(mcap));
}

// `json` gives every stored sample once, in row order, decoded exactly as
// the recorder's verbose dump printed it; --topic keeps to the topics named.
TEST_F(BagTool, JsonEqualsTheRecordingsVerboseDump) {
  ToolRun run = run_bag_tool(*dir_, {"json", *bag_path_});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.err, "");
  std::map<std::string, std::multiset<std::string>> decoded, dumped;
  const auto lines = sample_lines_of(run.out);
  ASSERT_EQ(lines.size(), bag_->data.size());
  for (size_t r = 0; r < lines.size(); ++r) {
    const auto& row = bag_->data[r];
    const std::string head = "{\"topic\":\"" + topic_name(row.topic_id) +
                             "\",\"timestamp\":" + std::to_string(row.timestamp) +
                             ",\"id\":" + std::to_string(row.id) + ",\"data\":";
    ASSERT_EQ(lines[r].compare(0, head.size(), head), 0) << lines[r];
    // The sample's writer and source time follow its data.
    const size_t source = lines[r].rfind(",\"writer\":");
    ASSERT_NE(source, std::string::npos) << lines[r];
    decoded[topic_name(row.topic_id)].insert(lines[r].substr(head.size(), source - head.size()));
  }
  for (const auto& line : lines_of(*dump_)) {
    if (!line.empty() && line[0] == '{') {
      dumped[line.find("\"inner\"") != std::string::npos ? "bt_keyed" : "bt_keyless"].insert(line);
    }
  }
  EXPECT_EQ(decoded, dumped);

  ToolRun one = run_bag_tool(*dir_, {"json", *bag_path_, "--topic", "bt_keyless"});
  ASSERT_EQ(one.status, 0) << one.err;
  EXPECT_EQ(sample_lines_of(one.out).size(), static_cast<size_t>(kCount));
  EXPECT_EQ(one.out.find("bt_keyed"), std::string::npos);
  EXPECT_EQ(run_bag_tool(*dir_, {"json", *bag_path_, "--topic", "nothing"}).status, 1);
}

// `info` shows the bag's file size, sample counts, key flags and writers.
TEST_F(BagTool, InfoFiguresEqualTheBags) {
  ToolRun run = run_bag_tool(*dir_, {"info", *bag_path_});
  ASSERT_EQ(run.status, 0) << run.err;
  struct stat st {};
  ASSERT_EQ(stat(bag_path_->c_str(), &st), 0);
  std::string size_text = "(";  // appended: GCC 12 at -O3 misreports "(" + std::string
  size_text += std::to_string(st.st_size) + " bytes)";
  EXPECT_NE(run.out.find(size_text), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("samples:   " + std::to_string(2 * kCount) + "\n"), std::string::npos)
      << run.out;
  std::map<std::string, std::vector<std::string>> rows;
  for (const auto& line : lines_of(run.out)) {
    std::istringstream words(line);
    std::vector<std::string> w;
    for (std::string word; words >> word;) {
      w.push_back(word);
    }
    if (!w.empty()) {
      rows[w[0]] = w;
    }
  }
  ASSERT_GE(rows["bt_keyed"].size(), 4u);
  ASSERT_GE(rows["bt_keyless"].size(), 4u);
  EXPECT_EQ(rows["bt_keyed"][2], "yes");
  EXPECT_EQ(rows["bt_keyless"][2], "no");
  EXPECT_EQ(rows["bt_keyed"][3], std::to_string(kCount));
  EXPECT_EQ(rows["bt_keyless"][3], std::to_string(kCount));
  for (const auto& guid : bag_->writers) {
    EXPECT_NE(run.out.find("  " + guid + "\n"), std::string::npos) << guid;
    // Each writer again under its topic, with the QoS it offered.
    EXPECT_NE(run.out.find("    " + guid + "  reliability="), std::string::npos) << run.out;
  }
}

// A copy of the bag with damaged rows: a cut sample, a sample of a topic id
// that is not listed, and a topic whose type description is no IDL. `json`
// gives hex for those and goes on; `mcap` leaves out only the unlisted one.
TEST_F(BagTool, DamagedRowsGiveHexLines) {
  const std::string copy = dir_->path() + "/damaged.sqlite3";
  std::filesystem::copy_file(*bag_path_, copy);
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(copy.c_str(), &db), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(db,
                         "UPDATE data SET serialized_data = substr(serialized_data, 1, 9) "
                         "WHERE _id = 1;"
                         "INSERT INTO data(topic_id, timestamp, serialized_data) "
                         "VALUES(99, 5, x'000100');"
                         "INSERT INTO topics(topic_name, type_name, metastring, is_with_key) "
                         "VALUES('bt_garbled', 'T', 'struct {', 0);"
                         "INSERT INTO data(topic_id, timestamp, serialized_data) "
                         "SELECT _id, 6, x'0001000001000000' FROM topics "
                         "WHERE topic_name = 'bt_garbled';",
                         nullptr, nullptr, nullptr),
            SQLITE_OK)
      << sqlite3_errmsg(db);
  sqlite3_close(db);

  ToolRun run = run_bag_tool(*dir_, {"json", copy});
  ASSERT_EQ(run.status, 0) << run.err;
  const auto lines = sample_lines_of(run.out);
  ASSERT_EQ(lines.size(), bag_->data.size() + 2);
  EXPECT_NE(lines[0].find(",\"id\":1,\"hex\":\""), std::string::npos) << lines[0];
  EXPECT_NE(lines[1].find("\"data\":{"), std::string::npos) << lines[1];
  EXPECT_EQ(lines[lines.size() - 2],
            "{\"topic\":null,\"timestamp\":5,\"id\":" + std::to_string(bag_->data.size() + 1) +
                ",\"hex\":\"000100\"}");
  EXPECT_NE(lines.back().find("\"topic\":\"bt_garbled\""), std::string::npos);
  EXPECT_NE(lines.back().find("\"hex\":\"0001000001000000\""), std::string::npos);
  EXPECT_NE(run.err.find("bt_garbled"), std::string::npos) << run.err;

  ToolRun mcap = run_bag_tool(*dir_, {"mcap", copy, dir_->path() + "/damaged.mcap"});
  EXPECT_EQ(mcap.status, 0) << mcap.err;
  EXPECT_NE(mcap.err.find("1 samples"), std::string::npos) << mcap.err;
}

// A missing path, a file that is no SQLite database and an SQLite database
// without the bag's tables: every command fails with one line on standard
// error and status 1, creates nothing and changes nothing.
TEST(BagToolInput, FilesThatAreNoBagsFailAndStayUnchanged) {
  TempDir dir;
  const std::string text = dir.path() + "/notes.sqlite3";
  std::ofstream(text) << "not a database, just text\n";
  const std::string empty_db = dir.path() + "/other.sqlite3";
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(empty_db.c_str(), &db), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(db, "CREATE TABLE things(x);", nullptr, nullptr, nullptr), SQLITE_OK);
  sqlite3_close(db);
  const std::string text_before = read_file(text), db_before = read_file(empty_db);

  for (const std::string& path : {dir.path() + "/missing.sqlite3", text, empty_db}) {
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"info", path}, {"json", path}, {"mcap", path}}) {
      ToolRun run = run_bag_tool(dir, args);
      EXPECT_EQ(run.status, 1) << args[0] << " " << path;
      EXPECT_EQ(run.err.rfind("quorvin-rnr-bag: ", 0), 0u) << run.err;
      EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;
      EXPECT_EQ(run.out, "");
    }
  }
  EXPECT_EQ(read_file(text), text_before);
  EXPECT_EQ(read_file(empty_db), db_before);
  std::vector<std::string> files;
  for (const auto& entry : std::filesystem::directory_iterator(dir.path())) {
    const std::string name = entry.path().filename().string();
    if (name.rfind("run", 0) != 0) {
      files.push_back(name);
    }
  }
  std::sort(files.begin(), files.end());
  EXPECT_EQ(files, (std::vector<std::string>{"notes.sqlite3", "other.sqlite3"}));

  ToolRun help = run_bag_tool(dir, {"-h"});
  EXPECT_EQ(help.status, 0);
  EXPECT_EQ(help.out.rfind("usage: quorvin-rnr-bag", 0), 0u);
  EXPECT_EQ(run_bag_tool(dir, {"export", text}).status, 2);
}

// A recorder killed during a commit leaves a hot journal: the bag reads as of
// its last commit.
TEST(BagToolInput, BagOfARecorderKilledDuringACommitReadsAsCommitted) {
  TempDir dir;
  const std::string path = dir.file("killed.sqlite3");
  {
    BagWriter bag(path);
    bag.add_topic("t", "T", 0);
    bag.add_sample(1, kBase, {0, 1, 0, 0, 7, 0, 0, 0});
  }
  const ChildResult killed = run_in_child([&] {
    sqlite3* db = nullptr;
    sqlite3_open(path.c_str(), &db);
    sqlite3_exec(db, "PRAGMA cache_size = 2; BEGIN", nullptr, nullptr, nullptr);
    for (int i = 0; i < 200; ++i) {
      sqlite3_exec(db,
                   "INSERT INTO data(topic_id, timestamp, serialized_data) VALUES(1, 5, "
                   "zeroblob(2000))",
                   nullptr, nullptr, nullptr);
    }
    _exit(0);  // in the middle of the transaction, the journal on disk
    return 1;
  });
  ASSERT_TRUE(killed.exited_with(0));
  ASSERT_TRUE(file_exists(path + "-journal"));
  ToolRun run = run_bag_tool(dir, {"info", path});
  EXPECT_EQ(run.status, 0) << run.err;
  const size_t at = run.out.find("samples:");
  ASSERT_NE(at, std::string::npos) << run.out;
  std::istringstream line(run.out.substr(at + 8, run.out.find('\n', at) - at - 8));
  uint64_t samples = 0;
  line >> samples;
  EXPECT_EQ(samples, 1u) << run.out;
}

}  // namespace
