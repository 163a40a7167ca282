// Fixtures of the bag store tests: a scratch directory and the captured log
// lines per test, and an open store on a new bag.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "bag/database.h"
#include "bag_files.h"
#include "files.h"
#include "log_capture.h"

namespace rnr::test {

// A fresh scratch directory and log capture per test.
class BagTest : public ::testing::Test {
 protected:
  std::string bag_path(const std::string& name = "test.sqlite3") const { return dir_.file(name); }
  LogCapture& log() { return log_; }

  TempDir dir_;
  LogCapture log_;
};

// A test with an open store on a new bag.
class StoreTest : public BagTest {
 protected:
  void SetUp() override {
    store_ = rnr_Database_create(bag_path().c_str());
    ASSERT_NE(store_, nullptr);
  }
  void TearDown() override { rnr_Database_destroy(store_); }
  rnr_Database* store_ = nullptr;
};

inline rnr_DataRow make_row(uint32_t topic_id, uint64_t timestamp, const std::string& bytes) {
  return rnr_DataRow{timestamp, topic_id, bytes.data(), bytes.size()};
}

}  // namespace rnr::test
