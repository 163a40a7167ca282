#include "log/logger.h"

#include <gtest/gtest.h>

#include <atomic>
#include <fcntl.h>
#include <cctype>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "child_process.h"

namespace {

using rnr::test::ChildResult;
using rnr::test::run_in_child;

std::vector<std::string> lines(const std::string& text) {
  std::vector<std::string> result;
  std::istringstream stream(text);
  std::string line;
  while (std::getline(stream, line)) {
    result.push_back(line);
  }
  return result;
}

// The message inside a decorated line "<date> <time>.<us> [<level>] <name>: <message>",
// as "<level> <name> <message>".
std::string message_of(const std::string& line) {
  const std::string stamp = "dddd-dd-dd dd:dd:dd.dddddd [";
  bool decorated = line.size() > stamp.size();
  for (size_t k = 0; decorated && k < stamp.size(); ++k) {
    decorated = stamp[k] == 'd' ? std::isdigit(static_cast<unsigned char>(line[k])) != 0
                                : line[k] == stamp[k];
  }
  const size_t level_end = decorated ? line.find("] ", stamp.size()) : std::string::npos;
  const size_t name_end =
      level_end != std::string::npos ? line.find(": ", level_end + 2) : std::string::npos;
  if (name_end == std::string::npos) {
    return "undecorated: " + line;
  }
  return line.substr(stamp.size(), level_end - stamp.size()) + " " +
         line.substr(level_end + 2, name_end - level_end - 2) + " " + line.substr(name_end + 2);
}

std::vector<std::string> messages(const std::string& text) {
  std::vector<std::string> result;
  for (const std::string& line : lines(text)) {
    result.push_back(message_of(line));
  }
  return result;
}

using strings = std::vector<std::string>;

TEST(Logger, WriteRuleDropsMessagesBelowTheLevel) {
  ChildResult result = run_in_child([] {
    // Before the logger exists nothing is written or computed.
    int evaluated = 0;
    rnr_log(RNR_LOG_FATAL, "Main early %d", ++evaluated);
    if (evaluated != 0 || !rnr_logger_init(RNR_LOG_INFO)) {
      return 2;
    }
    rnr_log(RNR_LOG_VERBOSE, "Main verbose %d", ++evaluated);
    rnr_log(RNR_LOG_DEBUG, "Main debug %d", ++evaluated);
    rnr_log(RNR_LOG_INFO, "Main info %d", ++evaluated);
    rnr_log(RNR_LOG_WARN, "Main warn %d", ++evaluated);
    rnr_log(RNR_LOG_ERROR, "Main error %d", ++evaluated);
    rnr_log(RNR_LOG_FATAL, "Main fatal %d", ++evaluated);
    // Arguments of a dropped message are not even computed.
    return evaluated == 4 && logger_level == RNR_LOG_INFO ? 0 : 3;
  });
  EXPECT_TRUE(result.exited_with(0)) << result.status;
  EXPECT_EQ(messages(result.out),
            (strings{"info DOVUvE Main info 1", "warn DOVUvE Main warn 2",
                     "error DOVUvE Main error 3", "fatal DOVUvE Main fatal 4"}));
  EXPECT_EQ(result.err, "");
}

TEST(Logger, StartLineOnlyForVerboseAndDebug) {
  const struct {
    int32_t level;
    std::string out;
  } cases[] = {
      {0, "debug DOVUvE Logger DOVUvE Logger(level=verbose) initialized"},
      {1, "debug DOVUvE Logger DOVUvE Logger(level=debug) initialized"},
      {-3, "debug DOVUvE Logger DOVUvE Logger(level=unknown) initialized"},
      {2, ""},
      {5, ""},
      {7, ""},
  };
  for (const auto& c : cases) {
    ChildResult result = run_in_child([&c] { return rnr_logger_init(c.level) ? 0 : 2; });
    EXPECT_TRUE(result.exited_with(0)) << c.level;
    EXPECT_EQ(messages(result.out), c.out.empty() ? strings{} : strings{c.out}) << c.level;
  }
}

TEST(Logger, SecondInitKeepsTheFirstLogger) {
  ChildResult result = run_in_child([] {
    if (!rnr_logger_init(RNR_LOG_WARN)) {
      return 2;
    }
    mlog_handle first = RNR_LOG.load();
    if (!rnr_logger_init(RNR_LOG_VERBOSE) || RNR_LOG.load() != first || logger_context != first ||
        logger_level != RNR_LOG_WARN || module_logger_get_level(first) != RNR_LOG_WARN) {
      return 3;
    }
    rnr_log(RNR_LOG_INFO, "Main dropped");
    rnr_log(RNR_LOG_WARN, "Main kept");
    return 0;
  });
  EXPECT_TRUE(result.exited_with(0)) << result.status;
  EXPECT_EQ(messages(result.out), (strings{"warn DOVUvE Main kept"}));
}

TEST(Logger, ConcurrentInitCreatesOneLogger) {
  ChildResult result = run_in_child([] {
    std::vector<std::thread> threads;
    std::atomic<int> failures{0};
    std::atomic<bool> go{false};
    for (int t = 0; t < 8; ++t) {
      threads.emplace_back([&, t] {
        while (!go.load()) {
        }
        if (!rnr_logger_init(t % 2)) {
          ++failures;
        }
      });
    }
    go = true;
    for (std::thread& thread : threads) {
      thread.join();
    }
    return failures.load() == 0 && RNR_LOG.load() != nullptr ? 0 : 2;
  });
  EXPECT_TRUE(result.exited_with(0)) << result.status;
  // Exactly one logger was created, so exactly one start line was written.
  ASSERT_EQ(lines(result.out).size(), 1u) << result.out;
}

TEST(Logger, CreationFailureIsReportedOnTheGlobalLogger) {
  // With standard output closed the default configuration is unusable.
  ChildResult result = run_in_child([] {
    close(STDOUT_FILENO);
    if (rnr_logger_init(RNR_LOG_INFO) || RNR_LOG.load() != nullptr) {
      return 2;
    }
    // The lock was released: a second attempt fails again instead of hanging.
    return rnr_logger_init(RNR_LOG_INFO) ? 3 : 0;
  });
  EXPECT_TRUE(result.exited_with(0)) << result.status;
  EXPECT_EQ(messages(result.err),
            (strings{"error quorvin Logger Failed to create Quorvin Record & Replay logger",
                     "error quorvin Logger Failed to create Quorvin Record & Replay logger"}));

  // Above error level the global logger stays silent.
  result = run_in_child([] {
    close(STDOUT_FILENO);
    MLOG_GLOBAL_INSTANCE->level = 5;
    return rnr_logger_init(RNR_LOG_INFO) ? 2 : 0;
  });
  EXPECT_TRUE(result.exited_with(0)) << result.status;
  EXPECT_EQ(result.err, "");
}

TEST(Logger, WriteHandsEveryArgumentOn) {
  ChildResult result = run_in_child([] {
    if (!rnr_logger_init(RNR_LOG_DEBUG)) {
      return 2;
    }
    const unsigned char guid[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 0xc1, 0xd2, 0xe3, 0xf4};
    rnr_log(RNR_LOG_DEBUG,
            "Recorder %s %s %02x%02x%02x%02x.%02x%02x%02x%02x.%02x%02x%02x%02x.%02x%02x%02x%02x",
            "topic", "type", guid[0], guid[1], guid[2], guid[3], guid[4], guid[5], guid[6], guid[7],
            guid[8], guid[9], guid[10], guid[11], guid[12], guid[13], guid[14], guid[15]);
    // A message longer than any fixed buffer arrives whole.
    const std::string long_text(5000, 'z');
    rnr_log(RNR_LOG_INFO, "Main %s", long_text.c_str());
    return 0;
  });
  EXPECT_TRUE(result.exited_with(0)) << result.status;
  const strings got = messages(result.out);
  ASSERT_EQ(got.size(), 3u);
  EXPECT_EQ(got[1], "debug DOVUvE Recorder topic type 01020304.05060708.090a0b0c.c1d2e3f4");
  EXPECT_EQ(got[2], "info DOVUvE Main " + std::string(5000, 'z'));
}

TEST(Logger, ConcurrentLinesNeverInterleave) {
  constexpr int kThreads = 8;
  constexpr int kLines = 500;
  ChildResult result = run_in_child([] {
    if (!rnr_logger_init(RNR_LOG_INFO)) {
      return 2;
    }
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
      threads.emplace_back([t] {
        const std::string body(200, static_cast<char>('a' + t));
        for (int k = 0; k < kLines; ++k) {
          rnr_log(RNR_LOG_INFO, "Main %d %s", t, body.c_str());
        }
      });
    }
    for (std::thread& thread : threads) {
      thread.join();
    }
    return 0;
  });
  ASSERT_TRUE(result.exited_with(0)) << result.status;
  const strings got = messages(result.out);
  ASSERT_EQ(got.size(), static_cast<size_t>(kThreads * kLines));
  int per_thread[kThreads] = {};
  for (const std::string& message : got) {
    ASSERT_EQ(message.size(), std::string("info DOVUvE Main 0 ").size() + 200) << message;
    const int t = message[17] - '0';
    ASSERT_TRUE(t >= 0 && t < kThreads) << message;
    ASSERT_EQ(message.substr(19), std::string(200, static_cast<char>('a' + t))) << message;
    ++per_thread[t];
  }
  for (int count : per_thread) {
    EXPECT_EQ(count, kLines);
  }
}

}  // namespace
