#include "app/frontend.h"

#include <gtest/gtest.h>

#include <csignal>
#include <string>
#include <vector>

#include "child_process.h"

namespace {

// Reads a command line as `quorvin-rnr <args...>` into `config`.
bool read(std::vector<std::string> args, app_config* config) {
  args.insert(args.begin(), "quorvin-rnr");
  std::vector<char*> argv;
  for (std::string& arg : args) {
    argv.push_back(arg.data());
  }
  argv.push_back(nullptr);
  return app_read_command_line(static_cast<int>(args.size()), argv.data(), config);
}

struct pair_text {
  std::string type;
  std::string topic;
  bool operator==(const pair_text&) const = default;
};

std::vector<pair_text> pairs(const app_config& config) {
  std::vector<pair_text> result;
  for (const topic_pair& pair : config.topic_pairs) {
    result.push_back({pair.type_name, pair.topic_name});
  }
  return result;
}

TEST(FrontEnd, RecordPairsComeInCommandLineOrder) {
  app_config config;
  ASSERT_TRUE(read({"record", "-d", "3", "TypeA", "topic_a", "TypeB", "topic_b"}, &config));
  EXPECT_EQ(config.command, APP_COMMAND_RECORD);
  EXPECT_EQ(config.domain_id, 3);
  EXPECT_EQ(config.log_level, 2);
  EXPECT_EQ(pairs(config), (std::vector<pair_text>{{"TypeA", "topic_a"}, {"TypeB", "topic_b"}}));

  ASSERT_TRUE(read({"record", "TypeA", "topic_a", "-l", "debug"}, &config));
  EXPECT_EQ(config.log_level, 1);
  EXPECT_EQ(pairs(config), (std::vector<pair_text>{{"TypeA", "topic_a"}}));

  // An option between the two names of a pair reorders them.
  ASSERT_TRUE(read({"record", "TypeA", "-l", "debug", "topic_a"}, &config));
  EXPECT_EQ(pairs(config), (std::vector<pair_text>{{"topic_a", "TypeA"}}));

  app_config_finalize(&config);
  EXPECT_TRUE(config.topic_pairs.empty());
}

TEST(FrontEnd, DomainAndLevelValues) {
  const struct {
    std::vector<std::string> args;
    int32_t domain;
  } domains[] = {
      {{"info", "-d", "abc"}, 0},          {{"info", "-d", "-1"}, -1}, {{"info", "--domain=7"}, 7},
      {{"info", "--domain", "7"}, 7},      {{"info", "-d3"}, 3},       {{"info", "-d", "12x"}, 12},
      {{"info", "-d", "1", "-d", "5"}, 5},
  };
  for (const auto& entry : domains) {
    app_config config;
    ASSERT_TRUE(read(entry.args, &config));
    EXPECT_EQ(config.domain_id, entry.domain) << entry.args.back();
  }

  const struct {
    const char* name;
    int32_t level;
  } levels[] = {{"verbose", 0}, {"debug", 1}, {"info", 2}, {"warn", 3}, {"error", 4}, {"fatal", 6}};
  for (const auto& entry : levels) {
    app_config config;
    ASSERT_TRUE(read({"replay", "--log-level", entry.name, "x.sqlite3"}, &config));
    EXPECT_EQ(config.log_level, entry.level) << entry.name;
    EXPECT_STREQ(config.bag_file, "x.sqlite3");
  }

  // Only the first bag file counts; an unknown level name is refused.
  app_config config;
  ASSERT_TRUE(read({"replay", "a.sqlite3", "b.sqlite3"}, &config));
  EXPECT_STREQ(config.bag_file, "a.sqlite3");
  EXPECT_FALSE(read({"replay", "-l", "Debug", "a.sqlite3"}, &config));
}

TEST(FrontEnd, NamesMustFitTheirFields) {
  const std::string longest(255, 'n');
  const std::string too_long(256, 'n');
  app_config config;
  EXPECT_FALSE(read({"record", longest, longest + "x"}, &config));
  ASSERT_TRUE(read({"record", longest, longest}, &config));
  ASSERT_EQ(config.topic_pairs.size(), 1u);
  EXPECT_EQ(std::string(config.topic_pairs[0].type_name), longest);
  EXPECT_EQ(std::string(config.topic_pairs[0].topic_name), longest);

  ASSERT_TRUE(read({"replay", longest}, &config));
  EXPECT_EQ(std::string(config.bag_file), longest);

  // Refused before anything is built.
  EXPECT_FALSE(read({"record", "T", "t", too_long, "u"}, &config));
  EXPECT_TRUE(config.topic_pairs.empty());
  EXPECT_FALSE(read({"record", "T", too_long}, &config));
  EXPECT_FALSE(read({"replay", too_long}, &config));
  EXPECT_EQ(config.bag_file[0], '\0');
}

TEST(FrontEnd, FirstSignalStopsTheRunLoopSecondOneKills) {
  // The first SIGINT or SIGTERM clears the flag and the run loop returns; the
  // default action is back for both, so the next one kills.
  for (int first : {SIGINT, SIGTERM}) {
    rnr::test::ChildResult result = rnr::test::run_in_child([first] {
      std::signal(SIGINT, signal_handler);
      std::signal(SIGTERM, signal_handler);
      raise(first);
      if (is_running.load()) {
        return 2;
      }
      app_run_loop();
      raise(SIGINT);
      return 3;
    });
    EXPECT_TRUE(result.killed_by(SIGINT)) << "first signal " << first;
  }
  rnr::test::ChildResult result = rnr::test::run_in_child([] {
    std::signal(SIGTERM, signal_handler);
    signal_handler(SIGINT);
    raise(SIGTERM);
    return 3;
  });
  EXPECT_TRUE(result.killed_by(SIGTERM));

  // Any other signal number leaves everything as it was.
  result = rnr::test::run_in_child([] {
    std::signal(SIGINT, signal_handler);
    signal_handler(SIGUSR1);
    if (!is_running.load()) {
      return 2;
    }
    raise(SIGINT);
    return is_running.load() ? 4 : 0;
  });
  EXPECT_TRUE(result.exited_with(0));
}

}  // namespace
