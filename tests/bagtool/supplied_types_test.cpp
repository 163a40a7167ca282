// Types supplied as IDL files for topics whose writers announced none:
// json, mcap and record with --idl, and set-type, on a bag written here as a
// ROS 2 talker's recording would be (an empty type description) and on a
// recording of a Fast DDS writer without type information.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bag_files.h"
#include "child_process.h"
#include "files.h"
#include "peer_runs.h"

using namespace rnr::test;
using namespace std::chrono_literals;

namespace {

constexpr int kSamples = 6;
constexpr const char* kRosType = "std_msgs::msg::dds_::String_";
// As rosidl writes it, an include and a comment included.
constexpr const char* kStringIdl =
    "// generated from rosidl_adapter/resource/msg.idl.em\n"
    "#include \"builtin_interfaces/msg/Time.idl\"\n"
    "module std_msgs {\n  module msg {\n    struct String {\n      string data;\n    };\n  "
    "};\n};\n";
// The same name, a member of the wrong type: it reads the string's length.
constexpr const char* kWrongIdl =
    "module std_msgs { module msg { struct String { unsigned long data; }; }; };\n";

// "Hello World N" as a Fast DDS writer serializes std_msgs/String.
std::vector<uint8_t> hello(int i) {
  const std::string text = "Hello World " + std::to_string(i);
  std::vector<uint8_t> out = {0x00, 0x01, 0x00, 0x00};
  const auto n = static_cast<uint32_t>(text.size() + 1);
  for (int k = 0; k < 4; ++k) {
    out.push_back(static_cast<uint8_t>(n >> (8 * k)));
  }
  out.insert(out.end(), text.begin(), text.end());
  out.push_back(0);
  while (out.size() % 4 != 0) {
    out.push_back(0);
  }
  return out;
}

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    lines.push_back(line);
  }
  return lines;
}

ChildResult tool(const std::vector<std::string>& args) {
  std::vector<std::string> argv = {RNR_BAG_TOOL_PATH};
  argv.insert(argv.end(), args.begin(), args.end());
  return run_program(argv);
}

std::string put_file(const TempDir& dir, const std::string& name, const std::string& text) {
  const std::string path = dir.file(name);
  std::ofstream(path) << text;
  return path;
}

// rt/chatter without a description (as recorded from a ROS 2 talker) and
// rt/described of the same type with its description stored.
std::string chatter_bag(const TempDir& dir) {
  const std::string bag = dir.file("chatter.sqlite3");
  BagWriter writer(bag);
  const int chatter = writer.add_topic("rt/chatter", kRosType, 0, "");
  const int described = writer.add_topic(
      "rt/described", kRosType, 0,
      "module std_msgs { module msg { module dds_ { struct String_ { string data; }; }; }; };");
  for (int i = 0; i < kSamples; ++i) {
    writer.add_sample(chatter, kBase + i * 100 * kMs, hello(i));
    writer.add_sample(described, kBase + i * 100 * kMs + 1, hello(100 + i));
  }
  return bag;
}

std::string metastring_of(const std::string& bag, const std::string& topic) {
  const Bag read = read_bag(bag);
  const TopicRow* row = topic_named(read, topic);
  return row != nullptr && row->metastring ? *row->metastring : "<null>";
}

}  // namespace

// json and mcap with --idl: the ROS 2 file describes the topic by the ROS 2
// name rule, every sample decodes, and the viewers' libraries decode the MCAP
// schema; a file that does not fit the bytes says so in one line and leaves
// hex, while a stored description still wins.
TEST(SuppliedTypes, JsonAndMcapDecodeWithIdlAndNameAWrongOne) {
  TempDir dir;
  const std::string bag = chatter_bag(dir);
  const std::string idl = put_file(dir, "String.idl", kStringIdl);
  const std::string wrong = put_file(dir, "Wrong.idl", kWrongIdl);

  ChildResult r = tool({"json", bag, "--topic", "rt/chatter"});
  ASSERT_TRUE(r.exited_with(0)) << r.err;
  EXPECT_NE(r.out.find("\"hex\":"), std::string::npos);

  r = tool({"json", bag, "--topic", "rt/chatter", "--idl", idl});
  ASSERT_TRUE(r.exited_with(0)) << r.err;
  EXPECT_EQ(r.err, "");
  const auto lines = lines_of(r.out);
  ASSERT_EQ(lines.size(), static_cast<size_t>(kSamples));
  for (int i = 0; i < kSamples; ++i) {
    EXPECT_NE(lines[i].find("\"data\":{\"data\": \"Hello World " + std::to_string(i) + "\"}"),
              std::string::npos)
        << lines[i];
  }

  r = tool({"json", bag, "--idl", wrong});
  ASSERT_TRUE(r.exited_with(0)) << r.err;
  const auto warnings = lines_of(r.err);
  ASSERT_EQ(warnings.size(), 2u) << r.err;
  EXPECT_NE(warnings[0].find("topic rt/chatter: sample 1 does not fit the type description from "
                             "--idl " +
                             wrong),
            std::string::npos)
      << warnings[0];
  EXPECT_NE(warnings[1].find(std::to_string(kSamples) + " samples could not be decoded"),
            std::string::npos);
  size_t hex = 0, decoded = 0;
  for (const std::string& line : lines_of(r.out)) {
    hex += line.find("\"topic\":\"rt/chatter\"") != std::string::npos &&
           line.find("\"hex\":\"000100000e000000") != std::string::npos;
    decoded += line.find("\"data\":{\"data\": \"Hello World 10") != std::string::npos;
  }
  EXPECT_EQ(hex, static_cast<size_t>(kSamples));
  EXPECT_EQ(decoded, static_cast<size_t>(kSamples));

  r = tool({"json", bag, "--idl", dir.file("missing.idl")});
  EXPECT_TRUE(r.exited_with(1));
  EXPECT_EQ(lines_of(r.err).size(), 1u) << r.err;

  // The MCAP schema of the supplied type, read back by the viewers' reader.
  std::ostringstream expected;
  expected << "{\"messages\":[";
  for (int i = 0; i < kSamples; ++i) {
    expected << (i ? "," : "") << "{\"topic\":\"rt/chatter\",\"sequence\":" << 2 * i + 1
             << ",\"log_time\":\"" << kBase + i * 100 * kMs
             << "\",\"value\":{\"data\":\"Hello World " << i
             << "\"}},{\"topic\":\"rt/described\",\"sequence\":" << 2 * i + 2 << ",\"log_time\":\""
             << kBase + i * 100 * kMs + 1 << "\",\"value\":{\"data\":\"Hello World " << 100 + i
             << "\"}}";
  }
  expected << "],\"topics\":{\"rt/chatter\":{\"count\":" << kSamples
           << ",\"schema\":true},\"rt/described\":{\"count\":" << kSamples
           << ",\"schema\":true}},\"writers\":[]}";
  const std::string expected_path = put_file(dir, "expected.json", expected.str());
  const std::string mcap = dir.file("chatter.mcap");
  r = tool({"mcap", bag, mcap, "--idl", idl});
  ASSERT_TRUE(r.exited_with(0)) << r.err;
  EXPECT_EQ(r.err, "");
  const ChildResult check = run_program(
      {RNR_NODE_PATH, RNR_MCAP_CHECK, mcap, expected_path},
      ChildOptions{.cwd = std::filesystem::path(RNR_MCAP_CHECK).parent_path().string()});
  EXPECT_EQ(check.out, "OK " + std::to_string(2 * kSamples) + "\n") << check.err;

  // A wrong file: no schema for the topic, one line.
  r = tool({"mcap", bag, mcap, "--force", "--idl", wrong});
  ASSERT_TRUE(r.exited_with(0)) << r.err;
  ASSERT_EQ(lines_of(r.err).size(), 1u) << r.err;
  EXPECT_NE(r.err.find("topic rt/chatter: --idl " + wrong + ": sample 1 does not fit"),
            std::string::npos)
      << r.err;
  EXPECT_NE(r.err.find("its channel has no schema"), std::string::npos);
  std::string no_schema = expected.str();
  no_schema.replace(no_schema.find("\"schema\":true"), 13, "\"schema\":false");
  std::ofstream(expected_path) << no_schema;
  const ChildResult recheck = run_program(
      {RNR_NODE_PATH, RNR_MCAP_CHECK, mcap, expected_path},
      ChildOptions{.cwd = std::filesystem::path(RNR_MCAP_CHECK).parent_path().string()});
  EXPECT_EQ(recheck.out, "OK " + std::to_string(2 * kSamples) + "\n") << recheck.err;
}

// set-type stores the description for good, and refuses a description that
// does not decode the first samples, a bag another process holds for
// writing, and (without --force) replacing a description.
TEST(SuppliedTypes, SetTypeStoresOnlyAFittingDescriptionIntoAFreeBag) {
  TempDir dir;
  const std::string bag = chatter_bag(dir);
  const std::string idl = put_file(dir, "String.idl", kStringIdl);
  const std::string wrong = put_file(dir, "Wrong.idl", kWrongIdl);

  ChildResult r = tool({"set-type", bag, "rt/chatter", wrong});
  EXPECT_TRUE(r.exited_with(1));
  EXPECT_EQ(lines_of(r.err).size(), 1u) << r.err;
  EXPECT_NE(r.err.find("sample 1 does not fit"), std::string::npos) << r.err;
  EXPECT_EQ(metastring_of(bag, "rt/chatter"), "");

  {
    // Held as a recorder holds it: open for writing, within a transaction.
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open_v2(bag.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr), SQLITE_OK);
    ASSERT_TRUE(exec_sql(db, "BEGIN IMMEDIATE"));
    const ChildResult held = tool({"set-type", bag, "rt/chatter", idl});
    EXPECT_TRUE(held.exited_with(1)) << held.err;
    EXPECT_EQ(lines_of(held.err).size(), 1u) << held.err;
    EXPECT_NE(held.err.find("open for writing by pid " + std::to_string(getpid())),
              std::string::npos)
        << held.err;
    exec_sql(db, "ROLLBACK");
    sqlite3_close(db);
  }
  EXPECT_EQ(metastring_of(bag, "rt/chatter"), "");

  r = tool({"set-type", bag, "rt/chatter", idl});
  ASSERT_TRUE(r.exited_with(0)) << r.err;
  EXPECT_EQ(r.err, "");
  EXPECT_NE(metastring_of(bag, "rt/chatter").find("struct String_"), std::string::npos);
  r = tool({"json", bag, "--topic", "rt/chatter"});
  ASSERT_TRUE(r.exited_with(0)) << r.err;
  EXPECT_EQ(r.out.find("\"hex\""), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("{\"data\": \"Hello World 5\"}"), std::string::npos);
  r = tool({"info", bag});
  ASSERT_TRUE(r.exited_with(0)) << r.err;
  // The description set here is told apart from a writer's own.
  std::string shown;
  for (const std::string& line : lines_of(r.out)) {
    if (line.rfind("rt/", 0) == 0) {
      shown += line.substr(0, line.find(' ')) + "=" + line.substr(line.rfind(' ') + 1) + " ";
    }
  }
  EXPECT_EQ(shown, "rt/chatter=supplied rt/described=stored ") << r.out;

  // The stored description stays a supplied one: a later sample with bytes
  // beyond the value is hex in json (one line) and takes the schema away.
  {
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open_v2(bag.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr), SQLITE_OK);
    EXPECT_TRUE(exec_sql(db,
                         "INSERT INTO data(topic_id, timestamp, serialized_data) VALUES(1, 1, "
                         "X'0001000002000000410000000000000000000000')"));
    sqlite3_close(db);
  }
  r = tool({"json", bag, "--topic", "rt/chatter"});
  ASSERT_TRUE(r.exited_with(0)) << r.err;
  EXPECT_EQ(count_occurrences(r.out, "\"hex\""), 1u) << r.out;
  EXPECT_EQ(lines_of(r.err).size(), 2u) << r.err;
  EXPECT_NE(r.err.find("sample " + std::to_string(2 * kSamples + 1) + " does not fit"),
            std::string::npos)
      << r.err;
  r = tool({"mcap", bag, dir.file("after.mcap")});
  ASSERT_TRUE(r.exited_with(0)) << r.err;
  EXPECT_NE(r.err.find("topic rt/chatter: its supplied description: sample"), std::string::npos)
      << r.err;

  r = tool({"set-type", bag, "rt/described", idl});
  EXPECT_TRUE(r.exited_with(1));
  EXPECT_NE(r.err.find("--force"), std::string::npos);
  EXPECT_TRUE(tool({"set-type", bag, "rt/nothing", idl}).exited_with(1));
  EXPECT_TRUE(tool({"set-type", bag, "rt/chatter"}).exited_with(2));
}

#ifdef RNR_FASTDDS_PEER
// record --idl of a Fast DDS writer that announces no type: the bag holds
// the supplied description and json decodes every sample without --idl.
TEST(SuppliedTypes, RecordStoresTheSuppliedTypeOfAWriterWithoutOne) {
  TempDir dir;
  // DDS domain ids end at 232 (the ports of higher ones do not exist).
  constexpr int kDomain = 198;
  const std::string idl =
      put_file(dir, "fast.idl",
               "module fastpeer { struct KeylessSample { unsigned long seq; string text; }; };\n");
  const std::string bag = dir.file("fast.sqlite3");
  Child recorder(
      {RNR_RECORD_PATH, "-d", std::to_string(kDomain), "-o", bag, "--idl", idl,
       "fastpeer::KeylessSample", "rt/fast"},
      ChildOptions{.stdout_path = dir.file("record.out"), .stderr_path = dir.file("record.err")});
  auto peer = start_peer(
      {RNR_FASTDDS_PEER, "talk"}, kDomain,
      {"--topic", "keyless:rt/fast", "--count", "10", "--wait-readers", "1", "--linger-ms", "500"},
      dir.file("peer.out"));
  ASSERT_TRUE(wait_for_text(dir.file("peer.out"), "DONE", 30s)) << read_file(dir.file("peer.out"));
  std::this_thread::sleep_for(1500ms);
  recorder.signal(SIGINT);
  ASSERT_EQ(recorder.wait(30s), 0) << read_file(dir.file("record.err"));
  EXPECT_NE(metastring_of(bag, "rt/fast").find("struct KeylessSample"), std::string::npos);
  const ChildResult r = tool({"json", bag});
  ASSERT_TRUE(r.exited_with(0)) << r.err;
  // The writer going away is an unregister line after the samples.
  auto lines = lines_of(r.out);
  std::erase_if(lines, [](const std::string& l) { return l.rfind("{\"event\":", 0) == 0; });
  ASSERT_EQ(lines.size(), 10u) << r.out;
  for (size_t i = 0; i < lines.size(); ++i) {
    EXPECT_NE(lines[i].find("{\"seq\": " + std::to_string(i) + ", \"text\": \"fast keyless " +
                            std::to_string(i) + "\"}"),
              std::string::npos)
        << lines[i];
  }
}
#endif
