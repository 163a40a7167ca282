// What keeping the sample sources costs the store: the recorder's 256-row
// bulk insert of the same samples into a bag without the sample_sources
// table and into one with it (each sample handed with its writer, source
// time and sequence number), back to back on fresh files in each round:
// samples of one writer (one table row per batch) and of three writers in
// turn (one row per sample, the most the table costs).
//
//   bag_sources_bench [samples per run] [rounds] [directory]
//
// Prints per payload size the median rows per second of both and the median
// of the rounds' with/without ratios.
#include <stdlib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "bag/database.h"
#include "bag/sample_sources.h"
#include "bag/writer_qos.h"
#include "log/logger.h"

namespace {

constexpr size_t kBatch = 256;
using Clock = std::chrono::steady_clock;

double run(const std::string& path, const std::vector<char>& payload, size_t samples, bool sources,
           size_t writers) {
  std::filesystem::remove(path);
  rnr_Database* store = rnr_Database_create(path.c_str());
  if (store == nullptr || !rnr_Database_create_writer_qos_table(store) ||
      (sources && !rnr_Database_create_sample_sources_table(store)) ||
      !rnr_Database_start_bulk_insert_data(store, kBatch)) {
    rnr_Database_destroy(store);
    return -1;
  }
  const auto start = Clock::now();
  for (size_t i = 0; i < samples; ++i) {
    const rnr_DataRow row{1700000000000000000u + i * 1000u, 1, payload.data(), payload.size()};
    const rnr_SampleSource source{static_cast<int32_t>(i % writers + 1),
                                  1700000000000000000u + i * 999u, i / writers + 1};
    rnr_Database_insert_data_with_source(store, &row, sources ? &source : nullptr);
  }
  rnr_Database_end_bulk_insert_data(store);
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  const bool lost = rnr_Database_bulk_insert_stats(store).lost_samples > 0;
  rnr_Database_destroy(store);
  return lost ? -1 : static_cast<double>(samples) / seconds;
}

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  const size_t samples = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 204800;
  const int rounds = argc > 2 ? std::atoi(argv[2]) : 5;
  if (samples == 0 || rounds <= 0) {
    std::fprintf(stderr, "usage: %s [samples per run] [rounds] [directory]\n", argv[0]);
    return 2;
  }
  const std::filesystem::path base =
      argc > 3 ? std::filesystem::path(argv[3]) : std::filesystem::temp_directory_path();
  rnr_logger_init(RNR_LOG_WARN);
  std::string pattern = (base / "rnr-sources-bench-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) {
    std::perror("mkdtemp");
    return 1;
  }
  const std::filesystem::path dir = pattern;
  const std::string path = (dir / "bag.sqlite3").string();
  std::printf("%zu samples per run, %d rounds, batches of %zu rows, in %s; medians\n", samples,
              rounds, kBatch, base.c_str());
  std::printf("%10s %8s %16s %16s %8s\n", "payload", "writers", "without rows/s", "with rows/s",
              "ratio");
  int status = 0;
  for (const auto& [size, writers] :
       {std::pair<size_t, size_t>{100, 1}, {100, 3}, {4096, 1}, {4096, 3}}) {
    const std::vector<char> payload(size, 'p');
    std::vector<double> without, with, ratio;
    for (int r = 0; r < rounds; ++r) {
      // Alternate which one runs first so neither always gets the warmer cache.
      const bool first_with = r % 2 == 1;
      const double a = run(path, payload, samples, first_with, writers);
      const double b = run(path, payload, samples, !first_with, writers);
      if (a <= 0 || b <= 0) {
        status = 1;
        break;
      }
      without.push_back(first_with ? b : a);
      with.push_back(first_with ? a : b);
      ratio.push_back(with.back() / without.back());
    }
    if (ratio.size() != static_cast<size_t>(rounds)) {
      std::fprintf(stderr, "a run failed\n");
      continue;
    }
    std::printf("%10zu %8zu %16.0f %16.0f %8.3f\n", size, writers, median(without), median(with),
                median(ratio));
    std::printf("RESULT bag_sources %zu %zu %.0f %.0f %.3f\n", size, writers, median(without),
                median(with), median(ratio));
  }
  std::error_code ignored;
  std::filesystem::remove_all(dir, ignored);
  return status;
}
