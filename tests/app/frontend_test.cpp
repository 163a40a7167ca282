#include "app/frontend.h"
#include "app/run_control.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
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
  using namespace std::chrono_literals;
  // The first SIGINT, SIGTERM or SIGHUP clears the flag and the run loop
  // returns; a delivery of it again within 100 ms is the same stop, and a
  // later one (nothing held) kills at once.
  for (int first : {SIGINT, SIGTERM, SIGHUP}) {
    rnr::test::ChildResult result = rnr::test::run_in_child([first] {
      app_install_signals();
      raise(first);
      if (is_running.load()) {
        return 2;
      }
      raise(first);
      raise(SIGINT);
      app_run_loop();
      std::this_thread::sleep_for(150ms);
      raise(SIGINT);
      return 3;
    });
    EXPECT_TRUE(result.killed_by(SIGINT)) << "first signal " << first;
  }
  rnr::test::ChildResult result = rnr::test::run_in_child([] {
    app_install_signals();
    signal_handler(SIGINT);
    std::this_thread::sleep_for(150ms);
    raise(SIGTERM);
    return 3;
  });
  EXPECT_TRUE(result.killed_by(SIGTERM));

  // A second signal while samples are held (the run loop has returned on the
  // first): the process lives on until they are written, for 1 s at most,
  // then ends by that signal.
  for (bool written : {true, false}) {
    const auto start = std::chrono::steady_clock::now();
    result = rnr::test::run_in_child([written] {
      app_install_signals();
      app_samples_held.store(true);
      raise(SIGINT);
      app_run_loop();
      std::this_thread::sleep_for(150ms);
      raise(SIGINT);
      std::this_thread::sleep_for(300ms);
      std::puts("still here");
      std::fflush(stdout);
      if (written) {
        app_samples_held.store(false);
      }
      std::this_thread::sleep_for(5s);
      return 3;
    });
    EXPECT_TRUE(result.killed_by(SIGINT)) << written;
    EXPECT_NE(result.out.find("still here"), std::string::npos) << written;
    EXPECT_LT(std::chrono::steady_clock::now() - start, 3s) << written;
  }

  // A closed pipe on standard output does not end the process.
  result = rnr::test::run_in_child([] {
    app_install_signals();
    int fds[2];
    if (pipe(fds) != 0) {
      return 2;
    }
    close(fds[0]);
    return write(fds[1], "x", 1) == -1 && errno == EPIPE ? 0 : 4;
  });
  EXPECT_TRUE(result.exited_with(0));

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
