// Export throughput of quorvin-rnr-bag: `mcap` and `json` over a bag of
// 100-byte samples, each against a bare SQLite SELECT of the same rows (id,
// topic, timestamp, bytes) in the same round.
//
//   bagtool_export_bench [samples] [rounds] [directory]
//   bagtool_export_bench --make-bag PATH SAMPLES     (the bag alone)
//   bagtool_export_bench --bare-read PATH            (the bare read alone)
//
// Defaults: 1000000 samples, 3 rounds, the system's temporary directory. The
// ratios printed are the medians of the rounds' ratios, so that load shared
// by a round cancels out. The MCAP file goes beside the bag, JSON to
// /dev/null.
#include <sqlite3.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <unistd.h>
#include <string>
#include <vector>

#include "bag/database.h"
#include "bagtool/commands.h"

namespace {

using Clock = std::chrono::steady_clock;

// 100 bytes serialized: encapsulation header, seq, and an 84-byte payload.
constexpr const char* kIdl =
    "module bench {\n  @final\n  struct Sample {\n    unsigned long long seq;\n"
    "    sequence<octet> payload;\n  };\n};\n";
constexpr size_t kPayload = 84;

bool make_bag(const std::string& path, long samples) {
  std::filesystem::remove(path);
  rnr_Database* store = rnr_Database_create(path.c_str());
  if (store == nullptr) {
    return false;
  }
  rnr_Database_destroy(store);
  sqlite3* db = nullptr;
  if (sqlite3_open(path.c_str(), &db) != SQLITE_OK) {
    return false;
  }
  std::string topic =
      "INSERT INTO topics(topic_name, type_name, metastring, is_with_key) VALUES"
      "('bench_topic', 'bench::Sample', '";
  topic += kIdl;
  topic += "', 0);";
  bool ok = sqlite3_exec(db, topic.c_str(), nullptr, nullptr, nullptr) == SQLITE_OK &&
            sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr) == SQLITE_OK;
  sqlite3_stmt* stmt = nullptr;
  ok = ok && sqlite3_prepare_v2(db,
                                "INSERT INTO data(topic_id, timestamp, serialized_data) "
                                "VALUES(1, ?, ?)",
                                -1, &stmt, nullptr) == SQLITE_OK;
  uint8_t sample[100] = {0x00, 0x01, 0x00, 0x00};
  const uint32_t length = kPayload;
  std::memcpy(sample + 12, &length, 4);
  for (long i = 0; ok && i < samples; ++i) {
    const uint64_t seq = static_cast<uint64_t>(i);
    std::memcpy(sample + 4, &seq, 8);
    for (size_t j = 0; j < kPayload; ++j) {
      sample[16 + j] = static_cast<uint8_t>(i + j);
    }
    sqlite3_bind_int64(stmt, 1, 1700000000000000000LL + i * 1000000LL);
    sqlite3_bind_blob(stmt, 2, sample, sizeof sample, SQLITE_STATIC);
    ok = sqlite3_step(stmt) == SQLITE_DONE && sqlite3_reset(stmt) == SQLITE_OK;
  }
  sqlite3_finalize(stmt);
  ok = ok && sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr) == SQLITE_OK;
  sqlite3_close(db);
  return ok;
}

// The bare read: every row's columns, its bytes touched.
double bare_read(const std::string& path, long* rows) {
  sqlite3* db = nullptr;
  sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr);
  sqlite3_stmt* stmt = nullptr;
  sqlite3_prepare_v2(db, "SELECT _id, topic_id, timestamp, serialized_data FROM data ORDER BY _id",
                     -1, &stmt, nullptr);
  const auto start = Clock::now();
  uint64_t sum = 0;
  *rows = 0;
  while (sqlite3_step(stmt) == SQLITE_ROW) {
    sum += static_cast<uint64_t>(sqlite3_column_int64(stmt, 0) + sqlite3_column_int64(stmt, 1) +
                                 sqlite3_column_int64(stmt, 2));
    const auto* bytes = static_cast<const uint8_t*>(sqlite3_column_blob(stmt, 3));
    const int size = sqlite3_column_bytes(stmt, 3);
    if (bytes != nullptr && size > 0) {
      sum += bytes[size - 1];
    }
    ++*rows;
  }
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  sqlite3_finalize(stmt);
  sqlite3_close(db);
  if (sum == 42) {
    std::puts("");  // keeps the sum alive
  }
  return seconds;
}

template <typename F>
double timed(F f) {
  const auto start = Clock::now();
  if (f() != 0) {
    std::fprintf(stderr, "export failed\n");
    std::exit(1);
  }
  return std::chrono::duration<double>(Clock::now() - start).count();
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  // --make-bag PATH SAMPLES: only writes the bench's bag (for profiling the
  // commands on their own).
  if (argc == 4 && std::strcmp(argv[1], "--make-bag") == 0) {
    return make_bag(argv[2], std::atol(argv[3])) ? 0 : 1;
  }
  // --bare-read PATH: only the bare read (the reference, for profiling).
  if (argc == 3 && std::strcmp(argv[1], "--bare-read") == 0) {
    long rows = 0;
    bare_read(argv[2], &rows);
    return rows > 0 ? 0 : 1;
  }
  const long samples = argc > 1 ? std::atol(argv[1]) : 1000000;
  const int rounds = argc > 2 ? std::atoi(argv[2]) : 3;
  const std::filesystem::path base =
      argc > 3 ? std::filesystem::path(argv[3]) : std::filesystem::temp_directory_path();
  const std::filesystem::path dir = base / ("rnr-bagtool-bench-" + std::to_string(getpid()));
  std::filesystem::create_directories(dir);
  const std::string bag = (dir / "bench.sqlite3").string();
  const std::string mcap = (dir / "bench.mcap").string();
  if (samples <= 0 || rounds <= 0 || !make_bag(bag, samples)) {
    std::fprintf(stderr, "cannot build the bag\n");
    return 1;
  }
  FILE* sink = std::fopen("/dev/null", "w");
  // The JSON lines as they were before byte runs were cut: every byte, as
  // numbers. MCAP with its default compression.
  rnr::bagtool::JsonOptions json_options;
  json_options.max_bytes = SIZE_MAX;
  const rnr::bagtool::McapOptions mcap_options;
  rnr::bagtool::McapOptions mcap_none;
  mcap_none.compression = rnr::bagtool::McapOptions::Compression::kNone;
  std::vector<double> zstd_none;  // time of the default mcap over mcap --compression none
  std::vector<double> mcap_ratio, json_ratio, bare_rate, mcap_rate, json_rate;
  std::printf("%ld samples of 100 bytes, %d rounds\n", samples, rounds);
  std::printf(
      "round  bare read (samples/s)  mcap (samples/s)  json (samples/s)  mcap/bare  "
      "json/bare\n");
  for (int r = 0; r < rounds; ++r) {
    long rows = 0;
    const double bare1 = bare_read(bag, &rows);
    const double m = timed([&] { return rnr::bagtool::run_mcap(bag, mcap, true, mcap_options); });
    const double bare2 = bare_read(bag, &rows);
    const double j = timed([&] { return rnr::bagtool::run_json(bag, {}, sink, json_options); });
    const double m_none = timed([&] { return rnr::bagtool::run_mcap(bag, mcap, true, mcap_none); });
    zstd_none.push_back(m / m_none);
    const double bare = (bare1 + bare2) / 2;
    const double n = static_cast<double>(rows);
    mcap_ratio.push_back(bare / m);
    json_ratio.push_back(bare / j);
    bare_rate.push_back(n / bare);
    mcap_rate.push_back(n / m);
    json_rate.push_back(n / j);
    std::printf("%5d  %21.0f  %16.0f  %16.0f  %9.2f  %9.2f\n", r + 1, n / bare, n / m, n / j,
                bare / m, bare / j);
  }
  std::printf("median ratio to the bare read: mcap %.2f, json %.2f (mcap file %.1f MB)\n",
              median(mcap_ratio), median(json_ratio),
              static_cast<double>(std::filesystem::file_size(mcap)) / 1e6);
  std::printf("median time of mcap (zstd) over mcap --compression none: %.2f\n", median(zstd_none));
  // Read by bench/run_all.sh: bare, mcap and json samples/s, then the ratios,
  // then the time of the default mcap over the uncompressed one.
  std::printf("RESULT export %.0f %.0f %.0f %.2f %.2f %.2f\n", median(bare_rate), median(mcap_rate),
              median(json_rate), median(mcap_ratio), median(json_ratio), median(zstd_none));
  std::fclose(sink);
  std::filesystem::remove_all(dir);
  return 0;
}
