// Prints what a bag, or the bags of one split recording in order, recorded
// of a ddsperf KS publisher:
//   rows=<n> gaps=<missing samples> span_ns=<last minus first reception time>
// Samples carry the writer's sequence number as the first payload field.
// Rows a split bag lists in repeated_rows (its latched head) are skipped.
#include <sqlite3.h>

#include <cstdint>
#include <cstdio>

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s BAG...\n", argv[0]);
    return 2;
  }
  uint64_t rows = 0, gaps = 0, bad = 0;
  int64_t first_ts = 0, last_ts = 0;
  uint32_t prev = 0;
  for (int arg = 1; arg < argc; ++arg) {
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(argv[arg], &db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
      std::fprintf(stderr, "cannot open %s\n", argv[arg]);
      sqlite3_close(db);
      return 1;
    }
    const bool split = sqlite3_exec(db, "SELECT 1 FROM repeated_rows LIMIT 1", nullptr, nullptr,
                                    nullptr) == SQLITE_OK;
    sqlite3_stmt* stmt = nullptr;
    if (sqlite3_prepare_v2(db,
                           split ? "SELECT timestamp, serialized_data FROM data WHERE _id NOT IN "
                                   "(SELECT data_id FROM repeated_rows) ORDER BY _id"
                                 : "SELECT timestamp, serialized_data FROM data ORDER BY _id",
                           -1, &stmt, nullptr) != SQLITE_OK) {
      std::fprintf(stderr, "cannot read %s\n", argv[arg]);
      sqlite3_close(db);
      return 1;
    }
    while (sqlite3_step(stmt) == SQLITE_ROW) {
      const int64_t ts = sqlite3_column_int64(stmt, 0);
      const auto* b = static_cast<const uint8_t*>(sqlite3_column_blob(stmt, 1));
      const int n = sqlite3_column_bytes(stmt, 1);
      if (b == nullptr || n < 8) {
        ++bad;
        continue;
      }
      const bool little = (b[1] & 1u) != 0;
      const uint32_t seq =
          little
              ? (uint32_t{b[4]} | uint32_t{b[5]} << 8 | uint32_t{b[6]} << 16 | uint32_t{b[7]} << 24)
              : (uint32_t{b[7]} | uint32_t{b[6]} << 8 | uint32_t{b[5]} << 16 |
                 uint32_t{b[4]} << 24);
      if (rows == 0) {
        first_ts = ts;
      } else if (seq != prev + 1) {
        gaps += seq > prev ? seq - prev - 1 : 1;
      }
      prev = seq;
      last_ts = ts;
      ++rows;
    }
    sqlite3_finalize(stmt);
    sqlite3_close(db);
  }
  std::printf("rows=%llu gaps=%llu bad=%llu span_ns=%lld\n", static_cast<unsigned long long>(rows),
              static_cast<unsigned long long>(gaps), static_cast<unsigned long long>(bad),
              static_cast<long long>(last_ts - first_ts));
  return 0;
}
