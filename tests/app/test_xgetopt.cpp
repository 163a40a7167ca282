#include "xgetopt.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "child_process.h"

namespace {

const x_option kTable[] = {
    {"domain", 1, nullptr, 'd'},
    {"help", 0, nullptr, 'h'},
    {"log-level", 1, nullptr, 'l'},
    {nullptr, 0, nullptr, 0},
};

// An argument vector that owns its texts; element 0 plays the program name.
class arg_vector {
 public:
  arg_vector(std::initializer_list<const char*> items) : texts_(items.begin(), items.end()) {
    for (std::string& text : texts_) {
      pointers_.push_back(text.data());
    }
    x_optind = 1;
    x_optarg = nullptr;
    x_optopt = 0;
    x_opterr = 1;
  }
  int32_t n() const { return static_cast<int32_t>(pointers_.size()); }
  char** v() { return pointers_.data(); }
  int32_t next(const char* optstring = "d:hl:", const x_option* table = kTable) {
    return x_getopt_long(n(), v(), optstring, table, nullptr);
  }
  // The elements from `first` on, in their current order.
  std::vector<std::string> from(int32_t first) const {
    return std::vector<std::string>(pointers_.begin() + first, pointers_.end());
  }

 private:
  std::vector<std::string> texts_;
  std::vector<char*> pointers_;
};

// Sends standard error to a file while it lives.
class stderr_capture {
 public:
  stderr_capture() : saved_(dup(STDERR_FILENO)) { dup2(file_.fd(), STDERR_FILENO); }
  ~stderr_capture() { restore(); }
  std::string text() {
    restore();
    return file_.contents();
  }

 private:
  void restore() {
    if (saved_ >= 0) {
      dup2(saved_, STDERR_FILENO);
      close(saved_);
      saved_ = -1;
    }
  }
  rnr_test::temp_file file_;
  int saved_;
};

using strings = std::vector<std::string>;

TEST(Xgetopt, ShortOptionsAndTheirArguments) {
  {
    arg_vector a{"p"};
    EXPECT_EQ(a.next(), -1);
    EXPECT_EQ(x_optind, 1);
  }
  {
    arg_vector a{"p", "-d5"};
    EXPECT_EQ(a.next(), 'd');
    EXPECT_STREQ(x_optarg, "5");
    EXPECT_EQ(x_optind, 2);
    EXPECT_EQ(a.next(), -1);
  }
  {
    arg_vector a{"p", "-d", "5"};
    EXPECT_EQ(a.next(), 'd');
    EXPECT_STREQ(x_optarg, "5");
    EXPECT_EQ(x_optind, 3);
  }
  {
    // The next element is taken whatever it begins with.
    arg_vector a{"p", "-d", "-1"};
    EXPECT_EQ(a.next(), 'd');
    EXPECT_STREQ(x_optarg, "-1");
  }
  {
    arg_vector a{"p", "-h", "-l", "debug"};
    EXPECT_EQ(a.next(), 'h');
    EXPECT_EQ(x_optarg, nullptr);
    EXPECT_EQ(a.next(), 'l');
    EXPECT_STREQ(x_optarg, "debug");
    EXPECT_EQ(a.next(), -1);
    EXPECT_EQ(x_optind, 4);
  }
  {
    // ':' is looked up like a letter: it takes no argument in "d:hl:".
    stderr_capture err;
    arg_vector a{"p", "-:"};
    EXPECT_EQ(a.next(), ':');
    EXPECT_EQ(err.text(), "");
  }
}

TEST(Xgetopt, ShortOptionErrors) {
  {
    stderr_capture err;
    arg_vector a{"p", "-x"};
    EXPECT_EQ(a.next(), '?');
    EXPECT_EQ(x_optopt, 'x');
    EXPECT_EQ(x_optind, 1);
    // The element stays current, so a second call reports it again.
    EXPECT_EQ(a.next(), '?');
    EXPECT_EQ(err.text(), "p: invalid option -- x\np: invalid option -- x\n");
  }
  {
    stderr_capture err;
    arg_vector a{"p", "-d"};
    EXPECT_EQ(a.next(), '?');
    EXPECT_EQ(x_optopt, 'd');
    EXPECT_EQ(x_optind, 3);
    EXPECT_EQ(err.text(), "p: option requires an argument -- d\n");
  }
  {
    // A leading ':' changes the result, not the message; so does ':' after '+'.
    stderr_capture err;
    arg_vector a{"p", "-d"};
    EXPECT_EQ(a.next(":d:hl:"), ':');
    arg_vector b{"p", "-d"};
    EXPECT_EQ(b.next("+:d:"), ':');
    arg_vector c{"p", "-d"};
    EXPECT_EQ(c.next("+d:"), '?');
    EXPECT_EQ(err.text(),
              "p: option requires an argument -- d\n"
              "p: option requires an argument -- d\n"
              "p: option requires an argument -- d\n");
  }
  {
    stderr_capture err;
    arg_vector a{"p", "-x"};
    x_opterr = 0;
    EXPECT_EQ(a.next(), '?');
    x_opterr = 1;
    EXPECT_EQ(err.text(), "");
  }
  {
    // Without a table "--foo" is read as the short option '-'.
    stderr_capture err;
    arg_vector a{"p", "--foo"};
    EXPECT_EQ(x_getopt(a.n(), a.v(), "d:hl:"), '?');
    EXPECT_EQ(err.text(), "p: invalid option -- -\n");
  }
}

TEST(Xgetopt, LongOptionsMatchOnlyInFull) {
  {
    arg_vector a{"p", "--log-level=debug", "--log-level", "info", "--help"};
    EXPECT_EQ(a.next(), 'l');
    EXPECT_STREQ(x_optarg, "debug");
    EXPECT_EQ(x_optind, 2);
    EXPECT_EQ(a.next(), 'l');
    EXPECT_STREQ(x_optarg, "info");
    EXPECT_EQ(x_optind, 4);
    EXPECT_EQ(a.next(), 'h');
    EXPECT_EQ(a.next(), -1);
  }
  for (const char* wrong : {"--log", "--hel", "--helpme", "--log=debug"}) {
    stderr_capture err;
    arg_vector a{"p", wrong};
    EXPECT_EQ(a.next(), '?') << wrong;
    EXPECT_EQ(x_optind, 1);
    EXPECT_EQ(err.text(), std::string("no such a option: ") + (wrong + 2) + "\n");
  }
  {
    stderr_capture err;
    arg_vector a{"p", "--help=yes"};
    EXPECT_EQ(a.next(), '?');
    EXPECT_EQ(x_optind, 1);
    EXPECT_EQ(err.text(), "no argument for help\n");
  }
  {
    stderr_capture err;
    const x_option twice[] = {{"go", 0, nullptr, 'g'}, {"go", 0, nullptr, 'G'}, {}};
    arg_vector a{"p", "--go=1"};
    EXPECT_EQ(a.next("", twice), '?');
    EXPECT_EQ(err.text(), "ambiguous option: go=1\n");
  }
}

TEST(Xgetopt, LongOptionFlagIndexAndOptionalArgument) {
  int32_t flag = 0;
  const x_option table[] = {
      {"verbose", 0, &flag, 7},
      {"keep", 2, nullptr, 'k'},
      {nullptr, 0, nullptr, 0},
  };
  arg_vector a{"p", "--keep", "--verbose"};
  char previous[] = "previous";
  x_optarg = previous;
  int32_t index = -1;
  EXPECT_EQ(x_getopt_long(a.n(), a.v(), "", table, &index), 'k');
  EXPECT_EQ(index, 1);
  EXPECT_EQ(x_optarg, previous);  // untouched by an entry of another has_arg
  EXPECT_EQ(x_optind, 2);
  EXPECT_EQ(x_getopt_long(a.n(), a.v(), "", table, &index), 0);
  EXPECT_EQ(index, 0);
  EXPECT_EQ(flag, 7);
}

TEST(Xgetopt, LongOptionWithoutItsArgumentAtTheEnd) {
  {
    stderr_capture err;
    arg_vector a{"p", "--domain"};
    EXPECT_EQ(a.next(), '?');
    EXPECT_EQ(x_optind, 3);
    EXPECT_EQ(err.text(), "p: option '--domain' requires an argument\n");
  }
  {
    stderr_capture err;
    arg_vector a{"p", "-h", "--log-level"};
    EXPECT_EQ(a.next(":d:hl:"), 'h');
    EXPECT_EQ(a.next(":d:hl:"), ':');
    EXPECT_EQ(err.text(), "p: option '--log-level' requires an argument\n");
  }
  {
    // An element moved behind the option in the same call is not its argument.
    stderr_capture err;
    arg_vector a{"p", "A", "--domain"};
    EXPECT_EQ(a.next(), '?');
    EXPECT_EQ(err.text(), "p: option '--domain' requires an argument\n");
  }
}

TEST(Xgetopt, NonOptionsAreRotatedBehindTheOptions) {
  {
    arg_vector a{"p", "A", "B", "-h", "C"};
    EXPECT_EQ(a.next(), 'h');
    EXPECT_EQ(x_optind, 2);
    EXPECT_EQ(a.from(1), (strings{"-h", "C", "A", "B"}));
    EXPECT_EQ(a.next(), -1);
    EXPECT_EQ(x_optind, 2);
    EXPECT_EQ(a.from(2), (strings{"C", "A", "B"}));
  }
  {
    arg_vector a{"p", "A", "B", "--", "C"};
    EXPECT_EQ(a.next(), -1);
    EXPECT_EQ(x_optind, 2);
    EXPECT_EQ(a.from(1), (strings{"--", "A", "B", "C"}));
  }
  {
    arg_vector a{"p", "--", "-h"};
    EXPECT_EQ(a.next(), -1);
    EXPECT_EQ(x_optind, 2);
  }
  {
    arg_vector a{"p", "T", "-l", "debug", "N"};
    EXPECT_EQ(a.next(), 'l');
    EXPECT_STREQ(x_optarg, "debug");
    EXPECT_EQ(a.next(), -1);
    EXPECT_EQ(a.from(x_optind), (strings{"N", "T"}));
  }
  {
    arg_vector a{"p", "A", "-h", "B"};
    EXPECT_EQ(a.next(), 'h');
    EXPECT_EQ(a.next(), -1);
    EXPECT_EQ(a.from(x_optind), (strings{"B", "A"}));
  }
  {
    arg_vector a{"p", "A", "B", "-h"};
    EXPECT_EQ(a.next(), 'h');
    EXPECT_EQ(a.next(), -1);
    EXPECT_EQ(a.from(x_optind), (strings{"A", "B"}));
  }
  {
    arg_vector a{"p", "-h", "A", "B"};
    EXPECT_EQ(a.next(), 'h');
    EXPECT_EQ(a.next(), -1);
    EXPECT_EQ(a.from(x_optind), (strings{"A", "B"}));
  }
  {
    // Empty elements and a lone "-" at the current index are passed over.
    arg_vector a{"p", "", "-", "-h", "", "A", "-"};
    EXPECT_EQ(a.next(), 'h');
    EXPECT_EQ(a.next(), -1);
    EXPECT_EQ(a.from(x_optind), (strings{"A"}));
  }
  {
    arg_vector a{"p", "", "-"};
    EXPECT_EQ(a.next(), -1);
    EXPECT_EQ(x_optind, 3);
    EXPECT_EQ(x_optarg, nullptr);
  }
}

TEST(Xgetopt, OrderingModes) {
  {
    arg_vector a{"p", "-h", "A", "-d", "1"};
    EXPECT_EQ(a.next("+d:h"), 'h');
    EXPECT_EQ(a.next("+d:h"), -1);
    EXPECT_EQ(x_optind, 2);
    EXPECT_EQ(a.from(1), (strings{"-h", "A", "-d", "1"}));
  }
  {
    arg_vector a{"p", "A", "-d", "1", "B"};
    EXPECT_EQ(a.next("-d:h"), 1);
    EXPECT_STREQ(x_optarg, "A");
    EXPECT_EQ(a.next("-d:h"), 'd');
    EXPECT_STREQ(x_optarg, "1");
    EXPECT_EQ(a.next("-d:h"), 1);
    EXPECT_STREQ(x_optarg, "B");
    EXPECT_EQ(a.next("-d:h"), -1);
  }
}

TEST(Xgetopt, GroupedShortOptionsAreReadLetterByLetter) {
  {
    arg_vector a{"p", "-hl", "debug", "T"};
    EXPECT_EQ(a.next(), 'h');
    EXPECT_EQ(x_optind, 1);
    EXPECT_EQ(a.next(), 'l');
    EXPECT_STREQ(x_optarg, "debug");
    EXPECT_EQ(x_optind, 3);
    EXPECT_EQ(a.next(), -1);
    EXPECT_EQ(a.from(x_optind), (strings{"T"}));
  }
  {
    arg_vector a{"p", "-hd5"};
    EXPECT_EQ(a.next(), 'h');
    EXPECT_EQ(a.next(), 'd');
    EXPECT_STREQ(x_optarg, "5");
    EXPECT_EQ(a.next(), -1);
    EXPECT_EQ(x_optind, 2);
  }
  {
    arg_vector a{"p", "-hh", "-h"};
    EXPECT_EQ(a.next(), 'h');
    EXPECT_EQ(a.next(), 'h');
    EXPECT_EQ(x_optind, 2);
    EXPECT_EQ(a.next(), 'h');
    EXPECT_EQ(a.next(), -1);
  }
  {
    stderr_capture err;
    arg_vector a{"p", "-hx", "A"};
    EXPECT_EQ(a.next(), 'h');
    EXPECT_EQ(a.next(), '?');
    EXPECT_EQ(x_optopt, 'x');
    EXPECT_EQ(x_optind, 2);
    EXPECT_EQ(a.next(), -1);
    EXPECT_EQ(err.text(), "p: invalid option -- x\n");
  }
  {
    stderr_capture err;
    arg_vector a{"p", "-hd"};
    EXPECT_EQ(a.next(), 'h');
    EXPECT_EQ(a.next(), '?');
    EXPECT_EQ(x_optopt, 'd');
    EXPECT_EQ(err.text(), "p: option requires an argument -- d\n");
  }
  {
    // A caller that moves x_optind away from a group does not get the old
    // position inside it back.
    arg_vector a{"p", "-hl", "-hd"};
    EXPECT_EQ(a.next(), 'h');
    x_optind = 2;
    EXPECT_EQ(a.next(), 'h');
    EXPECT_EQ(x_optind, 2);
  }
}

// Random command lines: every call sequence ends, d and l always come with an
// argument that is one of the vector's texts (or inside one), the vector stays
// a permutation of itself, and x_optind never passes n + 1. Run under the
// address sanitizer this also proves that nothing is read past the vector.
TEST(Xgetopt, RandomCommandLinesStayWithinTheVector) {
  const std::vector<std::string> pool = {
      "-h",       "-d",          "-d7",   "-l", "-hl", "-hd9",     "-x",         "-hx",
      "--",       "-",           "",      "A",  "B",   "--domain", "--domain=3", "--help",
      "--help=1", "--log-level", "--log", "-:", "-dh", "-lh"};
  std::mt19937 random(12345);
  stderr_capture err;
  for (int round = 0; round < 20000; ++round) {
    const int32_t n = 1 + static_cast<int32_t>(random() % 7);
    std::vector<std::string> texts = {"p"};
    for (int32_t k = 1; k < n; ++k) {
      texts.push_back(pool[random() % pool.size()]);
    }
    std::vector<char*> v;
    for (std::string& text : texts) {
      v.push_back(text.data());
    }
    const std::vector<char*> original = v;
    x_optind = 1;
    int32_t calls = 0;
    for (;;) {
      ASSERT_LT(++calls, 4 * n + 4) << "no progress";
      const int32_t result = x_getopt_long(n, v.data(), "d:hl:", kTable, nullptr);
      ASSERT_LE(x_optind, n + 1);
      if (result == -1 || result == '?') {
        break;
      }
      if (result == 'd' || result == 'l') {
        ASSERT_NE(x_optarg, nullptr);
        bool inside = false;
        for (const std::string& text : texts) {
          inside = inside || (x_optarg >= text.data() && x_optarg <= text.data() + text.size());
        }
        ASSERT_TRUE(inside);
      }
    }
    std::vector<char*> sorted = v;
    std::vector<char*> expected = original;
    std::sort(sorted.begin(), sorted.end());
    std::sort(expected.begin(), expected.end());
    ASSERT_EQ(sorted, expected);
  }
}

}  // namespace
