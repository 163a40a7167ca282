// Sample insertion throughput: the store's 256-row bulk insert against a bare
// SQLite loop that executes the identical 256-row prepared statement, one
// commit per statement, on the same kind of file in the same run.
//
//   bag_insert_bench [samples per run] [rounds] [directory] [largest payload]
//
// Each round runs both loops back to back on fresh files; the ratio printed is
// the median of the rounds' store/bare ratios, so that disk noise shared by a
// round cancels out. The files go to a scratch directory under `directory`
// (default: the system's temporary directory); a tmpfs such as /dev/shm takes
// the disk out and leaves the cost of the code.
//
// The store side is the recorder's own store thread (rnr_Database_insert_data
// with 256-row batches: the same statements and one commit per statement);
// the bare loop runs those statements and commits without the copies and the
// hand-over. Payloads of 100 B, 4 KiB, 64 KiB and 1 MiB; the big ones write
// at most 512 MiB a run. Beside them, the disk's own bandwidth for the same
// bytes: dd with conv=fdatasync into the same directory, once per size.
#include <sqlite3.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "bag/database.h"
#include "log/logger.h"

namespace {

constexpr size_t kBatch = 256;
using Clock = std::chrono::steady_clock;

std::string batch_text(size_t rows) {
  std::string text = "INSERT INTO data(topic_id, timestamp, serialized_data) VALUES ";
  for (size_t i = 0; i < rows; ++i) {
    text += i == 0 ? "(?, ?, ?)" : ",(?, ?, ?)";
  }
  return text;
}

// A fresh bag with the store's schema, closed again.
bool fresh_bag(const std::string& path) {
  std::filesystem::remove(path);
  rnr_Database* store = rnr_Database_create(path.c_str());
  rnr_Database_destroy(store);
  return store != nullptr;
}

// The samples both sides write: distinct copies of the payload, round
// robin, more of them than the caches hold, so that each row's bytes are read
// from memory as a recorder's received samples are (rows bound from one hot
// buffer would make the bare loop a ceiling no store could reach).
class Payloads {
 public:
  explicit Payloads(size_t size) : size_(size) {
    constexpr size_t kPoolBytes = size_t{64} << 20;
    count_ = std::max<size_t>(kBatch, kPoolBytes / std::max<size_t>(size, 1));
    pool_.assign(count_ * size, 'p');
  }
  const char* row(size_t i) const { return pool_.data() + (i % count_) * size_; }
  size_t size() const { return size_; }

 private:
  size_t size_;
  size_t count_ = 0;
  std::vector<char> pool_;
};

double run_store(const std::string& path, const Payloads& payload, size_t samples) {
  if (!fresh_bag(path)) {
    return -1;
  }
  rnr_Database* store = rnr_Database_create(path.c_str());
  if (store == nullptr || !rnr_Database_start_bulk_insert_data(store, kBatch)) {
    rnr_Database_destroy(store);
    return -1;
  }
  const auto start = Clock::now();
  for (size_t i = 0; i < samples; ++i) {
    const rnr_DataRow row{i, 1, payload.row(i), payload.size()};
    rnr_Database_insert_data(store, &row);
  }
  rnr_Database_end_bulk_insert_data(store);
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  rnr_Database_destroy(store);
  return static_cast<double>(samples) / seconds;
}

bool write_rows(sqlite3_stmt* stmt, const Payloads& payload, size_t first, size_t rows) {
  for (size_t r = 0; r < rows; ++r) {
    const int base = static_cast<int>(3 * r);
    sqlite3_bind_int64(stmt, base + 1, 1);
    sqlite3_bind_int64(stmt, base + 2, static_cast<sqlite3_int64>(first + r));
    sqlite3_bind_blob(stmt, base + 3, payload.row(first + r), static_cast<int>(payload.size()),
                      SQLITE_STATIC);
  }
  const bool done = sqlite3_step(stmt) == SQLITE_DONE;
  sqlite3_reset(stmt);
  return done;
}

double run_bare(const std::string& path, const Payloads& payload, size_t samples) {
  if (!fresh_bag(path)) {
    return -1;
  }
  sqlite3* db = nullptr;
  sqlite3_stmt* full = nullptr;
  const int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_PRIVATECACHE;
  if (sqlite3_open_v2(path.c_str(), &db, flags, nullptr) != SQLITE_OK ||
      sqlite3_prepare_v2(db, batch_text(kBatch).c_str(), -1, &full, nullptr) != SQLITE_OK) {
    sqlite3_close(db);
    return -1;
  }
  bool ok = true;
  const auto start = Clock::now();
  size_t i = 0;
  for (; i + kBatch <= samples && ok; i += kBatch) {
    ok = write_rows(full, payload, i, kBatch);
  }
  if (i < samples && ok) {
    sqlite3_stmt* rest = nullptr;
    ok = sqlite3_prepare_v2(db, batch_text(samples - i).c_str(), -1, &rest, nullptr) == SQLITE_OK &&
         write_rows(rest, payload, i, samples - i);
    sqlite3_finalize(rest);
  }
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  sqlite3_finalize(full);
  sqlite3_close(db);
  return ok ? static_cast<double>(samples) / seconds : -1;
}

// MB/s of `dd if=/dev/zero bs=1M count=N conv=fdatasync` into `dir`; 0 when
// dd cannot run.
double disk_mb_per_s(const std::filesystem::path& dir, size_t mib) {
  const std::string file = (dir / "dd.out").string();
  const std::string command = "dd if=/dev/zero of='" + file +
                              "' bs=1M count=" + std::to_string(mib) +
                              " conv=fdatasync 2>/dev/null";
  const auto start = Clock::now();
  const int status = std::system(command.c_str());
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  std::error_code ignored;
  std::filesystem::remove(file, ignored);
  return status == 0 && seconds > 0 ? static_cast<double>(mib) * 1.048576 / seconds : 0;
}

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  const size_t samples = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 51200;
  const int rounds = argc > 2 ? std::atoi(argv[2]) : 5;
  if (samples == 0 || rounds <= 0) {
    std::fprintf(stderr, "usage: %s [samples per run] [rounds] [directory]\n", argv[0]);
    return 2;
  }
  const std::filesystem::path base =
      argc > 3 ? std::filesystem::path(argv[3]) : std::filesystem::temp_directory_path();
  const size_t max_size = argc > 4 ? std::strtoull(argv[4], nullptr, 10) : size_t{1} << 20;
  rnr_logger_init(RNR_LOG_WARN);
  // RNR_BENCH_ONLY=store|bare with one payload size (largest = smallest)
  // runs that side alone, for profiling it.
  const char* only = std::getenv("RNR_BENCH_ONLY");
  std::string pattern = (base / "rnr-bag-bench-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) {
    std::perror("mkdtemp");
    return 1;
  }
  const std::filesystem::path dir = pattern;
  const std::string store_path = (dir / "store.sqlite3").string();
  const std::string bare_path = (dir / "bare.sqlite3").string();

  std::printf("%zu samples per run, %d rounds, batches of %zu rows, in %s; medians\n", samples,
              rounds, kBatch, base.c_str());
  std::printf("%10s %14s %14s %8s %10s %10s %10s\n", "payload", "store rows/s", "bare rows/s",
              "ratio", "store MB/s", "bare MB/s", "dd MB/s");
  int status = 0;
  constexpr size_t kBigRunBytes = size_t{512} << 20;
  for (size_t size : {size_t{100}, size_t{4096}, size_t{65536}, size_t{1} << 20}) {
    if (size > max_size) {
      break;
    }
    const Payloads payload(size);
    const size_t samples_here =
        size * samples > kBigRunBytes ? std::max<size_t>(kBatch, kBigRunBytes / size) : samples;
    if (only != nullptr) {
      if (size == max_size) {
        const bool store_side = std::strcmp(only, "store") == 0;
        const double rate = store_side ? run_store(store_path, payload, samples_here)
                                       : run_bare(bare_path, payload, samples_here);
        std::printf("%10zu %s %.0f rows/s\n", size, store_side ? "store" : "bare", rate);
      }
      continue;
    }
    std::vector<double> store, bare, ratio;
    for (int r = 0; r < rounds; ++r) {
      // Alternate which one runs first so neither always gets the warmer cache.
      if (r % 2 == 0) {
        store.push_back(run_store(store_path, payload, samples_here));
        bare.push_back(run_bare(bare_path, payload, samples_here));
      } else {
        bare.push_back(run_bare(bare_path, payload, samples_here));
        store.push_back(run_store(store_path, payload, samples_here));
      }
      if (store.back() <= 0 || bare.back() <= 0) {
        break;
      }
      ratio.push_back(store.back() / bare.back());
    }
    if (ratio.size() != static_cast<size_t>(rounds)) {
      std::fprintf(stderr, "a run failed\n");
      status = 1;
      continue;
    }
    const double mb = static_cast<double>(size) / 1e6;
    const double disk = disk_mb_per_s(dir, std::max<size_t>(1, samples_here * size >> 20));
    std::printf("%10zu %14.0f %14.0f %8.3f %10.1f %10.1f %10.1f\n", size, median(store),
                median(bare), median(ratio), median(store) * mb, median(bare) * mb, disk);
  }
  std::error_code ignored;
  std::filesystem::remove_all(dir, ignored);
  return status;
}
