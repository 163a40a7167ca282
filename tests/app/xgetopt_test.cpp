#include "app/xgetopt.h"

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
  rnr::test::TempFile file_;
  int saved_;
};

// Parses `args` (element 0 plays the program name) to the end and describes
// every result: a letter, "letter=argument" when x_optarg is set, "1=element"
// in the '-' mode, "end" for -1; then "@x_optind", the elements from x_optind
// on in brackets, and x_optopt when set. A '?' that leaves x_optind where it
// was ends the parse, as a caller must stop there.
std::string parse(std::vector<std::string> args,
                  const char* optstring = "d:hl:", const x_option* table = kTable) {
  std::vector<char*> v;
  for (std::string& arg : args) {
    v.push_back(arg.data());
  }
  const int32_t n = static_cast<int32_t>(v.size());
  x_optind = 1;
  x_optarg = nullptr;
  x_optopt = 0;
  std::string trace;
  for (int calls = 0; calls < 20; ++calls) {
    const int32_t before = x_optind;
    const int32_t result = x_getopt_long(n, v.data(), optstring, table, nullptr);
    if (result == -1) {
      trace += "end";
      break;
    }
    trace += result == 1 ? std::string("1") : std::string(1, static_cast<char>(result));
    if (result != '?' && result != ':' && x_optarg != nullptr) {
      trace += std::string("=") + x_optarg;
    }
    trace += " ";
    if (result == '?' && x_optind == before) {
      break;
    }
  }
  trace += " @" + std::to_string(x_optind) + " [";
  for (int32_t k = x_optind; k < n; ++k) {
    if (k > x_optind) {
      trace += ' ';
    }
    trace += v[static_cast<size_t>(k)];
  }
  trace += "]";
  if (x_optopt != 0) {
    trace += std::string(" optopt=") + static_cast<char>(x_optopt);
  }
  return trace;
}

struct parse_case {
  std::vector<std::string> args;
  std::string trace;
  std::string err;
  const char* optstring = "d:hl:";
  const x_option* table = kTable;
};

void expect_parses(const std::vector<parse_case>& cases) {
  for (const parse_case& c : cases) {
    std::string shown;
    for (const std::string& arg : c.args) {
      shown += "'" + arg + "' ";
    }
    stderr_capture err;
    EXPECT_EQ(parse(c.args, c.optstring, c.table), c.trace) << shown << c.optstring;
    EXPECT_EQ(err.text(), c.err) << shown << c.optstring;
  }
}

TEST(Xgetopt, ShortOptions) {
  expect_parses({
      {{"p"}, "end @1 []", ""},
      {{"p", "-d5", "-d", "5"}, "d=5 d=5 end @4 []", ""},
      {{"p", "-d", "-1", "-h"}, "d=-1 h end @4 []", ""},
      // ':' is looked up like a letter and takes no argument here.
      {{"p", "-:"}, ": end @2 []", ""},
      {{"p", "-x", "-h"}, "?  @1 [-x -h] optopt=x", "p: invalid option -- x\n"},
      {{"p", "-d"}, "? end @3 [] optopt=d", "p: option requires an argument -- d\n"},
      {{"p", "-d"}, ": end @3 [] optopt=d", "p: option requires an argument -- d\n", ":d:hl:"},
      {{"p", "-d"}, ": end @3 [] optopt=d", "p: option requires an argument -- d\n", "+:d:"},
      {{"p", "-d"}, "? end @3 [] optopt=d", "p: option requires an argument -- d\n", "+d:"},
      // Without a table "--foo" is the short option '-'.
      {{"p", "--foo"}, "?  @1 [--foo] optopt=-", "p: invalid option -- -\n", "d:hl:", nullptr},
  });
}

TEST(Xgetopt, LongOptionsMatchOnlyInFull) {
  const x_option twice[] = {{"go", 0, nullptr, 'g'}, {"go", 0, nullptr, 'G'}, {}};
  expect_parses({
      {{"p", "--log-level=debug", "--log-level", "info", "--domain=-2", "--help"},
       "l=debug l=info d=-2 h end @6 []",
       ""},
      {{"p", "--log"}, "?  @1 [--log]", "no such a option: log\n"},
      {{"p", "--hel"}, "?  @1 [--hel]", "no such a option: hel\n"},
      {{"p", "--helpme"}, "?  @1 [--helpme]", "no such a option: helpme\n"},
      {{"p", "--log=debug"}, "?  @1 [--log=debug]", "no such a option: log=debug\n"},
      {{"p", "--help=yes"}, "?  @1 [--help=yes]", "no argument for help\n"},
      {{"p", "--go=1"}, "?  @1 [--go=1]", "ambiguous option: go=1\n", "", twice},
      // Standing last without its argument: reported, never returned bare.
      {{"p", "--domain"}, "? end @3 [] optopt=d", "p: option '--domain' requires an argument\n"},
      {{"p", "-h", "--log-level"},
       "h : end @4 [] optopt=l",
       "p: option '--log-level' requires an argument\n",
       ":d:hl:"},
      // An element moved behind the option in the same call is not its argument.
      {{"p", "A", "--domain"},
       "? end @3 [] optopt=d",
       "p: option '--domain' requires an argument\n"},
  });

  int32_t flag = 0;
  const x_option table[] = {{"verbose", 0, &flag, 7}, {"keep", 2, nullptr, 'k'}, {}};
  std::string keep = "--keep", verbose = "--verbose", name = "p";
  char* v[] = {name.data(), keep.data(), verbose.data()};
  char previous[] = "previous";
  x_optind = 1;
  x_optarg = previous;
  int32_t index = -1;
  EXPECT_EQ(x_getopt_long(3, v, "", table, &index), 'k');
  EXPECT_EQ(index, 1);
  EXPECT_EQ(x_optarg, previous);  // untouched by an entry of another has_arg
  EXPECT_EQ(x_getopt_long(3, v, "", table, &index), 0);
  EXPECT_EQ(index, 0);
  EXPECT_EQ(flag, 7);
}

TEST(Xgetopt, NonOptionsAreRotatedBehindTheOptions) {
  expect_parses({
      {{"p", "A", "B", "-h", "C"}, "h end @2 [C A B]", ""},
      {{"p", "A", "B", "--", "C"}, "end @2 [A B C]", ""},
      {{"p", "--", "-h"}, "end @2 [-h]", ""},
      {{"p", "T", "-l", "debug", "N"}, "l=debug end @3 [N T]", ""},
      {{"p", "A", "-h", "B"}, "h end @2 [B A]", ""},
      {{"p", "A", "B", "-h"}, "h end @2 [A B]", ""},
      {{"p", "-h", "A", "B"}, "h end @2 [A B]", ""},
      // Empty elements and a lone "-" at the current index are passed over.
      {{"p", "", "-", "-h", "", "A", "-"}, "h end @6 [A]", ""},
      {{"p", "", "-"}, "end @3 []", ""},
  });
}

TEST(Xgetopt, OrderingModes) {
  expect_parses({
      {{"p", "-h", "A", "-d", "1"}, "h end @2 [A -d 1]", "", "+d:h"},
      {{"p", "A", "-d", "1", "B"}, "1=A d=1 1=B end @5 []", "", "-d:h"},
  });
}

TEST(Xgetopt, GroupedShortOptionsAreReadLetterByLetter) {
  expect_parses({
      {{"p", "-hl", "debug", "T"}, "h l=debug end @3 [T]", ""},
      {{"p", "-hd5"}, "h d=5 end @2 []", ""},
      {{"p", "-hh", "-h"}, "h h h end @3 []", ""},
      {{"p", "-hx", "A"}, "h ? end @2 [A] optopt=x", "p: invalid option -- x\n"},
      {{"p", "-hd"}, "h ? end @3 [] optopt=d", "p: option requires an argument -- d\n"},
  });

  // A caller that moves x_optind off a group does not get its old position
  // inside it back.
  std::string name = "p", first = "-hl", second = "-hd";
  char* v[] = {name.data(), first.data(), second.data()};
  x_optind = 1;
  EXPECT_EQ(x_getopt_long(3, v, "d:hl:", kTable, nullptr), 'h');
  x_optind = 2;
  EXPECT_EQ(x_getopt_long(3, v, "d:hl:", kTable, nullptr), 'h');
  EXPECT_EQ(x_optind, 2);

  // A parse that stopped at an error inside a group leaves no position behind
  // for the next parse, even of the very same vector.
  std::string group = "-hxy";
  char* w[] = {name.data(), group.data()};
  x_optind = 0;
  EXPECT_EQ(x_getopt_long(2, w, "d:hl:", kTable, nullptr), 'h');
  stderr_capture err;
  EXPECT_EQ(x_getopt_long(2, w, "d:hl:", kTable, nullptr), '?');
  x_optind = 0;
  EXPECT_EQ(x_getopt_long(2, w, "d:hl:", kTable, nullptr), 'h');
  EXPECT_EQ(err.text(), "p: invalid option -- x\n");
}

// Random command lines: every parse ends, d and l always come with an
// argument inside one of the vector's texts, the vector stays a permutation
// of itself, and x_optind never passes n + 1. Under the address sanitizer
// this also shows that nothing is read past the vector.
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
    std::vector<char*> expected = v;
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
    std::sort(v.begin(), v.end());
    std::sort(expected.begin(), expected.end());
    ASSERT_EQ(v, expected);
  }
}

}  // namespace
