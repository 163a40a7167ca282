#include "damaged_bags.h"

#include <sqlite3.h>
#include <unistd.h>

#include <functional>
#include <random>

#include "bag_files.h"
#include "child_process.h"
#include "files.h"

namespace rnr::test {
namespace {

constexpr int kRows = 24;

std::string repeat(const std::string& head, int n, const std::function<std::string(int)>& part,
                   const std::string& tail) {
  std::string text = head;
  for (int i = 0; i < n; ++i) {
    text += part(i);
  }
  return text + tail;
}

// Type descriptions that a reader must refuse or bound: named types chained
// 10,000 deep, 100,000 enumerators, members and cases, nested sequences and
// modules, and text that is no IDL.
std::vector<std::pair<std::string, std::string>> hostile_types() {
  const auto n = [](int i) { return std::to_string(i); };
  return {
      {"chained structs",
       repeat(
           "struct S0 { long x; };", 10000,
           [&](int i) { return "struct S" + n(i + 1) + " { S" + n(i) + " x; };"; },
           "struct T { S10000 x; };")},
      {"chained typedefs", repeat(
                               "typedef long S0;", 10000,
                               [&](int i) { return "typedef S" + n(i) + " S" + n(i + 1) + ";"; },
                               "struct T { S10000 x; };")},
      {"chained unions", repeat(
                             "union S0 switch (long) { case 0: long x; };", 3000,
                             [&](int i) {
                               return "union S" + n(i + 1) + " switch (long) { case 0: S" + n(i) +
                                      " x; };";
                             },
                             "struct T { S3000 x; };")},
      {"many enumerators", repeat(
                               "enum E { e0", 100000, [&](int i) { return ", e" + n(i + 1); },
                               " }; struct T { E x; };")},
      {"many members",
       repeat(
           "struct T {", 100000, [&](int i) { return " long m" + n(i) + ";"; }, " };")},
      {"many cases", repeat(
                         "union U switch (long) {", 100000,
                         [&](int i) { return " case " + n(i) + ": long m" + n(i) + ";"; },
                         " }; struct T { U x; };")},
      {"nested sequences", repeat(
                               "struct T { ", 5000, [](int) { return "sequence<"; }, "long") +
                               std::string(5000, '>') + " x; };"},
      {"nested modules",
       repeat(
           "", 3000, [&](int i) { return "module m" + n(i) + " { "; }, "struct T { long x; };") +
           std::string(3000, '}')},
      {"not idl", std::string("struct T { long x; ") + std::string(4000, '{') + "\xff\xfe"},
      {"recursive", "struct T; struct T { sequence<T> next; long x; };"},
  };
}

void exec_all(sqlite3* db, const std::vector<std::string>& statements) {
  for (const auto& sql : statements) {
    exec_sql(db, sql);
  }
}

// A healthy bag of one keyless topic whose samples are XCDR1 longs.
void write_base(const std::string& path, const char* metastring = "struct T { long x; };",
                const std::string& topic = "rnr_fuzz", bool keyed = false) {
  BagWriter writer(path);
  const int id = writer.add_topic(topic, "T", keyed ? 1 : 0, metastring);
  writer.begin();
  for (int i = 0; i < kRows; ++i) {
    writer.add_sample(id, kBase + static_cast<uint64_t>(i) * kMs,
                      xcdr1_sample(static_cast<uint32_t>(i)));
  }
  writer.commit();
}

void with_db(const std::string& path, const std::function<void(sqlite3*)>& body) {
  sqlite3* db = nullptr;
  if (sqlite3_open(path.c_str(), &db) == SQLITE_OK) {
    body(db);
  }
  sqlite3_close(db);
}

void sql_case(const std::string& path, const std::vector<std::string>& statements) {
  write_base(path);
  with_db(path, [&](sqlite3* db) { exec_all(db, statements); });
}

// Overwrites `count` bytes at `offset` (from the end when negative).
void overwrite(const std::string& path, int64_t offset, const std::string& bytes) {
  std::string file = read_file(path);
  const int64_t at = offset < 0 ? static_cast<int64_t>(file.size()) + offset : offset;
  if (at >= 0 && static_cast<size_t>(at) < file.size()) {
    file.replace(static_cast<size_t>(at), std::min(bytes.size(), file.size() - at), bytes);
  }
  write_file(path, file);
}

int64_t leaf_page_offset(const std::string& path) {
  int64_t offset = -1;
  with_db(path, [&](sqlite3* db) {
    const int64_t page = query_int(
        db, "SELECT pageno FROM dbstat WHERE name = 'data' AND pagetype = 'leaf' LIMIT 1 OFFSET 1");
    if (page > 0) {
      offset = (page - 1) * query_int(db, "PRAGMA page_size");
    }
  });
  return offset;
}

// A recorder that died during a commit: its changes spilled into the bag,
// and the journal that undoes them is left beside it.
void hot_journal(const std::string& path) {
  with_db(path,
          [](sqlite3* db) { exec_sql(db, "UPDATE data SET serialized_data = zeroblob(3000)"); });
  run_in_child([&] {
    sqlite3* db = nullptr;
    sqlite3_open(path.c_str(), &db);
    exec_sql(db, "PRAGMA cache_size = 2");
    exec_sql(db, "BEGIN");
    exec_sql(db, "UPDATE data SET serialized_data = randomblob(3500), timestamp = -1");
    _exit(0);  // no commit, no close
    return 0;
  });
}

using Case = std::pair<std::string, std::function<void(const std::string&, std::mt19937_64&)>>;

std::vector<Case> cases() {
  std::vector<Case> all = {
      {"ids from 1001", [](auto& p, auto&) { sql_case(p, {"UPDATE data SET _id = _id + 1000"}); }},
      {"every other row deleted",
       [](auto& p, auto&) { sql_case(p, {"DELETE FROM data WHERE _id % 2 = 0"}); }},
      {"clock stepped back",
       [](auto& p, auto&) {
         sql_case(p, {"UPDATE data SET timestamp = timestamp - 100000000 WHERE _id > 10"});
       }},
      {"times shuffled",
       [](auto& p, auto& rng) {
         write_base(p);
         with_db(p, [&](sqlite3* db) {
           for (int i = 1; i <= kRows; ++i) {
             exec_sql(db,
                      "UPDATE data SET timestamp = " + std::to_string(kBase + rng() % (30 * kMs)) +
                          " WHERE _id = " + std::to_string(i));
           }
         });
       }},
      {"first time INT64_MAX",
       [](auto& p, auto&) {
         sql_case(p, {"UPDATE data SET timestamp = 9223372036854775807 WHERE _id = 1"});
       }},
      {"time extremes",
       [](auto& p, auto&) {
         sql_case(p, {"UPDATE data SET timestamp = 9223372036854775807 WHERE _id = 1",
                      "UPDATE data SET timestamp = -9223372036854775808 WHERE _id = 9",
                      "UPDATE data SET timestamp = 0 WHERE _id = 24"});
       }},
      {"times as text and reals",
       [](auto& p, auto&) {
         sql_case(p, {"UPDATE data SET timestamp = 'noon' WHERE _id = 2",
                      "UPDATE data SET timestamp = 1.5e300 WHERE _id = 3",
                      "UPDATE data SET timestamp = NULL WHERE _id = 4"});
       }},
      {"null and short blobs",
       [](auto& p, auto&) {
         sql_case(p, {"UPDATE data SET serialized_data = NULL WHERE _id = 2",
                      "UPDATE data SET serialized_data = X'' WHERE _id = 3",
                      "UPDATE data SET serialized_data = X'0001' WHERE _id = 4",
                      "UPDATE data SET serialized_data = 'text' WHERE _id = 5"});
       }},
      {"rows of missing topics",
       [](auto& p, auto&) {
         sql_case(p, {"UPDATE data SET topic_id = 99 WHERE _id % 3 = 0",
                      "UPDATE data SET topic_id = 1099511627777 WHERE _id = 1",
                      "UPDATE data SET topic_id = 'one' WHERE _id = 2"});
       }},
      {"unknown encapsulation",
       [](auto& p, auto&) {
         sql_case(p, {"UPDATE data SET serialized_data = X'00fe000007000000' WHERE _id = 5"});
       }},
      {"century gap",
       [](auto& p, auto&) {
         sql_case(p,
                  {"UPDATE data SET timestamp = timestamp + 3155760000000000000 WHERE _id > 12"});
       }},
      {"no writers table", [](auto& p, auto&) { sql_case(p, {"DROP TABLE writers"}); }},
      {"no data table", [](auto& p, auto&) { sql_case(p, {"DROP TABLE data"}); }},
      {"data of other columns",
       [](auto& p, auto&) {
         sql_case(p, {"DROP TABLE data",
                      "CREATE TABLE data (_id INTEGER PRIMARY KEY, topic_id, payload)",
                      "INSERT INTO data VALUES (1, 1, X'00010000')"});
       }},
      {"data without key",
       [](auto& p, auto&) {
         sql_case(p, {"CREATE TABLE copy AS SELECT * FROM data", "DROP TABLE data",
                      "CREATE TABLE data (_id, topic_id, timestamp, serialized_data)",
                      "INSERT INTO data SELECT * FROM copy", "INSERT INTO data SELECT * FROM copy",
                      "UPDATE data SET _id = 'x' WHERE rowid = 3",
                      "UPDATE data SET _id = NULL WHERE rowid = 4", "DROP TABLE copy"});
       }},
      {"topics without key",
       [](auto& p, auto&) {
         sql_case(p, {"DROP TABLE topics",
                      "CREATE TABLE topics (_id, topic_name, type_name, metastring, is_with_key)",
                      "INSERT INTO topics VALUES (1, 'a', 'T', NULL, 0)",
                      "INSERT INTO topics VALUES (1, 'b', 'T', 'struct T { long x; };', 7)",
                      "INSERT INTO topics VALUES (NULL, NULL, NULL, X'ff', 'yes')"});
       }},
      {"corrupt leaf page",
       [](auto& p, auto&) {
         write_base(p);
         overwrite(p, leaf_page_offset(p) + 8, std::string(8, '\xff'));
       }},
      {"random page bytes",
       [](auto& p, auto& rng) {
         write_base(p);
         std::string noise(512, '\0');
         for (char& c : noise) {
           c = static_cast<char>(rng());
         }
         overwrite(p, 4096 + static_cast<int64_t>(rng() % 8192), noise);
       }},
      {"truncated",
       [](auto& p, auto&) {
         write_base(p);
         const std::string file = read_file(p);
         write_file(p, file.substr(0, file.size() / 2 + 100));
       }},
      {"empty file", [](auto& p, auto&) { write_file(p, ""); }},
      {"hot journal",
       [](auto& p, auto&) {
         write_base(p);
         hot_journal(p);
       }},
      {"wal mode",
       [](auto& p, auto&) {
         write_base(p);
         with_db(p, [](sqlite3* db) { exec_sql(db, "PRAGMA journal_mode = WAL"); });
       }},
      {"empty type description", [](auto& p, auto&) { write_base(p, ""); }},
      {"names not utf-8",
       [](auto& p, auto&) {
         write_base(p, "struct T { long x; };", std::string("bad\xff\xc0name\x01\"", 12));
       }},
      {"mutated samples",
       [](auto& p, auto& rng) {
         write_base(p, "struct T { string s; sequence<double> d; long x[3]; };");
         with_db(p, [&](sqlite3* db) {
           for (int i = 1; i <= kRows; ++i) {
             std::string hex = "X'0001";
             for (size_t b = rng() % 40; b > 0; --b) {
               char byte[3];
               snprintf(byte, sizeof byte, "%02x", static_cast<unsigned>(rng() & 0xff));
               hex += byte;
             }
             exec_sql(db, "UPDATE data SET serialized_data = " + hex +
                              "00' WHERE _id = " + std::to_string(i));
           }
         });
       }},
  };
  for (auto& [name, idl] : hostile_types()) {
    all.emplace_back("type: " + name, [idl = idl](auto& p, auto&) { write_base(p, idl.c_str()); });
  }
  return all;
}

}  // namespace

std::vector<DamagedBag> write_damaged_bags(const std::string& dir, uint64_t seed) {
  std::vector<DamagedBag> bags;
  const std::vector<Case> all = cases();
  for (size_t i = 0; i < all.size(); ++i) {
    std::mt19937_64 rng(seed + i);
    DamagedBag bag;
    bag.name = all[i].first;
    bag.path = dir + "/case" + std::to_string(i) + ".sqlite3";
    all[i].second(bag.path, rng);
    bag.replay_ends = bag.name != "century gap";
    bag.rolled_back = bag.name == "hot journal";
    bags.push_back(bag);
  }
  return bags;
}

DamagedBag write_mutated_bag(const std::string& dir, uint64_t seed, size_t index) {
  const std::vector<Case> all = cases();
  std::mt19937_64 rng(seed);
  const Case& kind = all[index % all.size()];
  DamagedBag bag;
  bag.name = kind.first + " +mutations";
  bag.path = dir + "/mutated" + std::to_string(index) + ".sqlite3";
  kind.second(bag.path, rng);
  bag.replay_ends = kind.first != "century gap";
  bag.rolled_back = kind.first == "hot journal";
  // Then a few random bytes anywhere but the first 100 (the header would
  // only make it no database at all), and sometimes a cut.
  std::string file = read_file(bag.path);
  if (file.size() > 100 && rng() % 2 == 0) {
    for (int k = 1 + static_cast<int>(rng() % 8); k > 0; --k) {
      file[100 + rng() % (file.size() - 100)] = static_cast<char>(rng());
    }
    if (rng() % 4 == 0) {
      file.resize(100 + rng() % (file.size() - 100));
    }
    write_file(bag.path, file);
  }
  return bag;
}

int64_t readable_rows(const std::string& path) {
  int64_t rows = -1;
  sqlite3* db = nullptr;
  if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
    sqlite3_stmt* stmt = nullptr;
    if (sqlite3_prepare_v2(db, "SELECT _id, serialized_data FROM data", -1, &stmt, nullptr) ==
        SQLITE_OK) {
      int64_t n = 0;
      int step;
      while ((step = sqlite3_step(stmt)) == SQLITE_ROW) {
        ++n;
      }
      rows = step == SQLITE_DONE ? n : -1;
    }
    sqlite3_finalize(stmt);
  }
  sqlite3_close(db);
  return rows;
}

}  // namespace rnr::test
