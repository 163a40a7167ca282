// What `json` makes of byte sequences (--max-bytes, --bytes) and what
// `mcap --compression` stores, on bags written here without DDS; the
// compressed files are read back by the viewers' MCAP library.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "bag_files.h"
#include "child_process.h"
#include "files.h"

using namespace rnr::test;
using namespace std::chrono_literals;

namespace {

constexpr const char* kIdl =
    "module t {\n  @final\n  struct Blob {\n    unsigned long seq;\n    sequence<octet> data;\n"
    "    uint8 tail[3];\n  };\n};\n";

// A little-endian XCDR1 t::Blob.
std::vector<uint8_t> blob(uint32_t seq, const std::vector<uint8_t>& data) {
  std::vector<uint8_t> out = {0x00, 0x01, 0x00, 0x00};
  auto u32 = [&](uint32_t v) {
    for (int i = 0; i < 4; ++i) {
      out.push_back(static_cast<uint8_t>(v >> (8 * i)));
    }
  };
  u32(seq);
  u32(static_cast<uint32_t>(data.size()));
  out.insert(out.end(), data.begin(), data.end());
  out.insert(out.end(), {7, 8, 9});
  return out;
}

struct ToolRun {
  std::optional<int> status;
  std::string out, err;
};

ToolRun run_tool(const TempDir& dir, const std::vector<std::string>& args) {
  static int serial = 0;
  const std::string base = dir.path() + "/run" + std::to_string(++serial);
  std::vector<std::string> argv = {RNR_BAG_TOOL_PATH};
  argv.insert(argv.end(), args.begin(), args.end());
  Child child(
      argv,
      ChildOptions{.cwd = dir.path(), .stdout_path = base + ".out", .stderr_path = base + ".err"});
  ToolRun r;
  r.status = child.wait(120s);
  r.out = read_file(base + ".out");
  r.err = read_file(base + ".err");
  return r;
}

std::string data_of(const std::string& line) {
  const size_t at = line.find("\"data\":");
  return at == std::string::npos ? line : line.substr(at + 7, line.size() - at - 8);
}

}  // namespace

TEST(ExportFormat, JsonCutsAndEncodesByteRunsAsAsked) {
  TempDir dir;
  const std::string bag = dir.path() + "/b.sqlite3";
  {
    BagWriter writer(bag);
    const int topic = writer.add_topic("blobs", "t::Blob", 0, kIdl);
    std::vector<uint8_t> twenty(20);
    for (size_t i = 0; i < twenty.size(); ++i) {
      twenty[i] = static_cast<uint8_t>(250 + i);  // 250..255, then 0..13
    }
    writer.add_sample(topic, 1, blob(1, twenty));
    writer.add_sample(topic, 2, blob(2, {}));
    writer.add_sample(topic, 3, blob(3, std::vector<uint8_t>(size_t{1} << 20, 0x5a)));
  }
  std::string list20 = "[";
  for (int i = 0; i < 20; ++i) {
    list20 += (i ? ", " : "") + std::to_string((250 + i) % 256);
  }
  list20 += "]";

  // Default: the first 64 bytes; the 20-byte run and the 3-byte array whole.
  ToolRun r = run_tool(dir, {"json", bag});
  ASSERT_EQ(r.status, 0) << r.err;
  std::vector<std::string> lines;
  std::istringstream in(r.out);
  for (std::string line; std::getline(in, line);) {
    lines.push_back(line);
  }
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(data_of(lines[0]), "{\"seq\": 1, \"data\": " + list20 + ", \"tail\": [7, 8, 9]}");
  EXPECT_EQ(data_of(lines[1]), "{\"seq\": 2, \"data\": [], \"tail\": [7, 8, 9]}");
  EXPECT_NE(lines[2].find("\"data\": {\"length\": 1048576, \"first\": [90, 90"), std::string::npos);
  EXPECT_LT(lines[2].size(), 1000u);

  // A 1 MiB run cut to 16 bytes stays far below 1 KB a line, as numbers and
  // as base64; the base64 of whole runs reads back.
  for (const char* bytes : {"decimal", "base64"}) {
    r = run_tool(dir, {"json", bag, "--max-bytes", "16", "--bytes", bytes});
    ASSERT_EQ(r.status, 0) << r.err;
    std::istringstream cut(r.out);
    for (std::string line; std::getline(cut, line);) {
      EXPECT_LT(line.size(), 1000u) << line.substr(0, 200);
    }
  }
  EXPECT_NE(r.out.find("\"data\": {\"length\": 20, \"first\": \"+vv8/f7/AAECAwQFBgcICQ==\"}, "
                       "\"tail\": \"BwgJ\""),
            std::string::npos)
      << r.out.substr(0, 400);
  EXPECT_NE(r.out.find("\"data\": {\"length\": 1048576, \"first\": \"WlpaWlpaWlpaWlpaWlpaWg==\"}"),
            std::string::npos);
  r = run_tool(dir, {"json", bag, "--bytes=base64", "--max-bytes=all"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("\"data\": \"+vv8/f7/AAECAwQFBgcICQoLDA0=\""), std::string::npos);
  EXPECT_NE(r.out.find("\"data\": \"\""), std::string::npos);
  // 0 is all too: the 1 MiB run whole, as numbers.
  r = run_tool(dir, {"json", bag, "--max-bytes", "0"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_GT(r.out.size(), size_t{3} << 20);

  for (const std::vector<std::string>& bad : {std::vector<std::string>{"--max-bytes", "-1"},
                                              {"--max-bytes", "12x"},
                                              {"--bytes", "hex"},
                                              {"--max-bytes"}}) {
    std::vector<std::string> args = {"json", bag};
    args.insert(args.end(), bad.begin(), bad.end());
    EXPECT_EQ(run_tool(dir, args).status, 2) << bad[0];
  }
}

TEST(ExportFormat, CompressedMcapIsSmallerAndReadsBackWhole) {
  TempDir dir;
  const std::string bag = dir.path() + "/b.sqlite3";
  constexpr int kSamples = 400;
  std::ostringstream expected;
  {
    BagWriter writer(bag);
    const int topic = writer.add_topic("blobs", "t::Blob", 0, kIdl);
    expected << "{\"messages\":[";
    for (int i = 0; i < kSamples; ++i) {
      // Compressible: a counter pattern that repeats every 16 bytes.
      std::vector<uint8_t> data(3000);
      std::string values;
      for (size_t j = 0; j < data.size(); ++j) {
        data[j] = static_cast<uint8_t>((i + j) % 16);
      }
      writer.add_sample(topic, 1000 + static_cast<uint64_t>(i),
                        blob(static_cast<uint32_t>(i), data));
      expected << (i ? "," : "") << "{\"topic\":\"blobs\",\"sequence\":" << i + 1
               << ",\"log_time\":\"" << 1000 + i
               << "\",\"members\":[\"seq\"],\"value\":{\"seq\":" << i << "}}";
    }
    expected << "],\"topics\":{\"blobs\":{\"count\":" << kSamples
             << ",\"schema\":true}},\"writers\":[]}";
  }
  const std::string expected_path = dir.path() + "/expected.json";
  std::ofstream(expected_path) << expected.str();

  std::map<std::string, uintmax_t> sizes;
  for (const char* compression : {"zstd", "lz4", "none", ""}) {
    const std::string name = *compression ? compression : "default";
    const std::string mcap = dir.path() + "/" + name + ".mcap";
    std::vector<std::string> args = {"mcap", bag, mcap, "--chunk-size", "256K"};
    if (*compression) {
      args.insert(args.end(), {"--compression", compression});
    }
    ToolRun r = run_tool(dir, args);
    ASSERT_EQ(r.status, 0) << r.err;
    sizes[name] = std::filesystem::file_size(mcap);
    const std::string check_out = dir.path() + "/check-" + name + ".out";
    Child check({RNR_NODE_PATH, RNR_MCAP_CHECK, mcap, expected_path},
                ChildOptions{.cwd = std::filesystem::path(RNR_MCAP_CHECK).parent_path().string(),
                             .stdout_path = check_out,
                             .stderr_path = check_out});
    EXPECT_EQ(check.wait(120s), 0) << name << ": " << read_file(check_out);
    EXPECT_EQ(read_file(check_out), "OK " + std::to_string(kSamples) + "\n") << name;
  }
  EXPECT_EQ(sizes["default"], sizes["zstd"]);
  EXPECT_LE(sizes["zstd"] * 2, sizes["none"]);
  EXPECT_LE(sizes["lz4"] * 2, sizes["none"]);
  EXPECT_EQ(run_tool(dir, {"mcap", bag, dir.path() + "/x.mcap", "--compression", "gzip"}).status,
            2);
  EXPECT_EQ(run_tool(dir, {"mcap", bag, dir.path() + "/x.mcap", "--chunk-size", "10"}).status, 2);
}
