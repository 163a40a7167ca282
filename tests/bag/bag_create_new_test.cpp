// Creating a bag that must be new.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "bag/database_create_new.h"
#include "files.h"
#include "log/logger.h"
#include "log_capture.h"

namespace {

using rnr::test::read_file;

class CreateNew : public ::testing::Test {
 protected:
  std::vector<std::string> logged() const { return log.texts(); }
  rnr::test::LogCapture log{RNR_LOG_VERBOSE};
  rnr::test::TempDir scratch;
  const std::string dir = scratch.path();
};

}  // namespace

TEST_F(CreateNew, CreatesAFreshBagAndRefusesAnyExistingName) {
  const std::string bag = dir + "/fresh.sqlite3";
  rnr_Database* store = rnr_Database_create_new(bag.c_str());
  ASSERT_NE(store, nullptr);
  EXPECT_STREQ(store->path, bag.c_str());
  rnr_Database_destroy(store);
  EXPECT_TRUE(logged().empty());

  // The bag just written, a foreign file and a symbolic link are all refused
  // without being touched.
  const std::string before = read_file(bag);
  EXPECT_EQ(rnr_Database_create_new(bag.c_str()), nullptr);
  EXPECT_EQ(read_file(bag), before);

  const std::string other = dir + "/other.txt";
  std::ofstream(other) << "keep me";
  EXPECT_EQ(rnr_Database_create_new(other.c_str()), nullptr);
  EXPECT_EQ(read_file(other), "keep me");

  const std::string link = dir + "/link.sqlite3";
  ASSERT_EQ(symlink((dir + "/target.sqlite3").c_str(), link.c_str()), 0);
  EXPECT_EQ(rnr_Database_create_new(link.c_str()), nullptr);
  EXPECT_FALSE(std::filesystem::exists(dir + "/target.sqlite3"));

  // Each line names the file and why.
  const auto lines = logged();
  ASSERT_EQ(lines.size(), 3u);
  const std::vector<std::string> names = {bag, other, link};
  for (size_t i = 0; i < lines.size(); ++i) {
    EXPECT_EQ(lines[i], "Database Cannot open database " + names[i] + " (File exists)");
  }
}

TEST_F(CreateNew, NumberedNamesTakeTheNextFreeNumberAndTouchNothing) {
  const std::string bag = dir + "/rec.sqlite3";
  std::ofstream(bag) << "first recorder";
  std::ofstream(dir + "/rec_2.sqlite3") << "second recorder";
  rnr_Database* store = rnr_Database_create_new_numbered(bag.c_str());
  ASSERT_NE(store, nullptr);
  EXPECT_STREQ(store->path, (dir + "/rec_3.sqlite3").c_str());
  rnr_Database_destroy(store);
  EXPECT_EQ(read_file(bag), "first recorder");
  EXPECT_EQ(read_file(dir + "/rec_2.sqlite3"), "second recorder");
  // A name without the suffix is numbered at its end; a free name is kept.
  std::ofstream(dir + "/plain") << "x";
  store = rnr_Database_create_new_numbered((dir + "/plain").c_str());
  ASSERT_NE(store, nullptr);
  EXPECT_STREQ(store->path, (dir + "/plain_2").c_str());
  rnr_Database_destroy(store);
  store = rnr_Database_create_new_numbered((dir + "/free.sqlite3").c_str());
  ASSERT_NE(store, nullptr);
  EXPECT_STREQ(store->path, (dir + "/free.sqlite3").c_str());
  rnr_Database_destroy(store);
  EXPECT_TRUE(logged().empty());
  // A directory that cannot be written names the file and the reason.
  EXPECT_EQ(rnr_Database_create_new_numbered((dir + "/missing/rec.sqlite3").c_str()), nullptr);
  EXPECT_EQ(logged(), std::vector<std::string>{"Database Cannot open database " + dir +
                                               "/missing/rec.sqlite3 (No such file or directory)"});
}

TEST_F(CreateNew, RefusesNamesItCannotCreateAndLeavesNothingBehind) {
  // Parent is a regular file.
  const std::string file = dir + "/plain";
  std::ofstream(file) << "x";
  EXPECT_EQ(rnr_Database_create_new((file + "/bag.sqlite3").c_str()), nullptr);

  // A name the store could only keep cut to 255 bytes.
  const std::string long_name = dir + "/" + std::string(300 - dir.size(), 'a');
  EXPECT_EQ(rnr_Database_create_new(long_name.c_str()), nullptr);
  EXPECT_EQ(rnr_Database_create_new(""), nullptr);
  EXPECT_EQ(rnr_Database_create_new(nullptr), nullptr);

  // Nothing was created in the directory.
  size_t entries = 0;
  for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator(dir)) {
    ++entries;
  }
  EXPECT_EQ(entries, 1u);
  EXPECT_EQ(logged().size(), 4u);
}
