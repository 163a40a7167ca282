#include "app/xgetopt.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

int32_t x_optind = 1;
char* x_optarg = nullptr;
int32_t x_optopt = 0;
int32_t x_opterr = 1;

namespace {

// Grouped short options ("-hl", "-hd5"): like the usual getopt, the letters
// after the first are read as further options, one per call. The parser keeps
// the position inside such an element here between calls. The position only
// counts while x_optind still indexes the same element of the same vector,
// and it is cleared as soon as the element is done, so a caller that moves
// x_optind elsewhere is never handed a stale position.
struct group_position {
  char** vector = nullptr;
  int32_t index = 0;
  const char* element = nullptr;
  size_t offset = 0;  // index of the next letter to read inside the element
};
group_position group;

void clear_group() {
  group = group_position{};
}

bool in_group(char** v, int32_t i) {
  return group.vector == v && group.index == i && group.element == v[i] && group.offset > 0;
}

void enter_group(char** v, int32_t i, size_t offset) {
  group.vector = v;
  group.index = i;
  group.element = v[i];
  group.offset = offset;
}

// A null element is read like an empty one.
const char* text(const char* element) {
  return element != nullptr ? element : "";
}

const char* program_name(char** v) {
  return text(v[0]);
}

struct option_modes {
  char ordering;    // '+', '-' or 0 for the rotating default
  bool colon_mode;  // ':' is returned for a missing argument
};

option_modes read_modes(const char* optstring) {
  option_modes modes{0, false};
  if (optstring[0] == '+' || optstring[0] == '-') {
    modes.ordering = optstring[0];
    modes.colon_mode = optstring[1] == ':';
  } else {
    modes.colon_mode = optstring[0] == ':';
  }
  return modes;
}

int32_t missing_argument_result(const option_modes& modes) {
  return modes.colon_mode ? ':' : '?';
}

// Moves the elements that this call moved to the end back in front of those
// that followed the place where parsing stopped, then reports the end.
int32_t finish(int32_t n, char** v, int32_t moved) {
  int32_t j = x_optind;
  if (moved > 0 && j >= 1 && j <= n - moved) {
    std::rotate(v + j, v + (n - moved), v + n);
  }
  return -1;
}

// Reads the letter at `offset` of element i (offset 1 for a fresh element, a
// later one inside a group). `limit` bounds where an argument may be taken
// from: never from an element this call moved to the end.
int32_t short_option(char** v, const char* optstring, const option_modes& modes, int32_t i,
                     size_t offset, int32_t limit) {
  const char* e = text(v[i]);
  const char c = e[offset];
  const char* rest = e + offset + 1;
  const char* declared = std::strchr(optstring, c);

  if (declared == nullptr) {
    x_optopt = static_cast<unsigned char>(c);
    if (x_opterr) {
      std::fprintf(stderr, "%s: invalid option -- %c\n", program_name(v), c);
    }
    if (offset > 1) {
      // Inside a group the bad letter is consumed, as the usual getopt does.
      if (*rest == '\0') {
        clear_group();
        x_optind = i + 1;
      } else {
        enter_group(v, i, offset + 1);
      }
    }
    // A bad first letter leaves x_optind on the element.
    return '?';
  }

  if (declared[1] != ':') {
    if (*rest == '\0') {
      clear_group();
      x_optind = i + 1;
    } else {
      enter_group(v, i, offset + 1);
    }
    x_optarg = nullptr;
    return static_cast<unsigned char>(c);
  }

  clear_group();
  if (*rest != '\0') {
    x_optarg = const_cast<char*>(rest);
    x_optind = i + 1;
    return static_cast<unsigned char>(c);
  }
  x_optind = i + 1;
  if (i + 1 < limit) {
    x_optarg = v[i + 1] != nullptr ? v[i + 1] : const_cast<char*>("");
    x_optind = i + 2;
    return static_cast<unsigned char>(c);
  }
  x_optopt = static_cast<unsigned char>(c);
  if (x_opterr) {
    std::fprintf(stderr, "%s: option requires an argument -- %c\n", program_name(v), c);
  }
  x_optind = i + 2;
  return missing_argument_result(modes);
}

// `name` is the text of element i after its leading "--".
int32_t long_option(char** v, const char* name, const x_option* longopts, int32_t* longindex,
                    const option_modes& modes, int32_t i, int32_t limit) {
  const char* equals = std::strchr(name, '=');
  const size_t length = equals != nullptr ? static_cast<size_t>(equals - name) : std::strlen(name);

  // Names match only in full: the text before any '=' must be the entry's name.
  int32_t found = -1;
  for (int32_t k = 0; longopts[k].name != nullptr; ++k) {
    const char* entry = longopts[k].name;
    if (std::strlen(entry) == length && std::strncmp(entry, name, length) == 0) {
      if (found >= 0) {
        if (x_opterr) {
          std::fprintf(stderr, "ambiguous option: %s\n", name);
        }
        return '?';
      }
      found = k;
    }
  }
  if (found < 0) {
    if (x_opterr) {
      std::fprintf(stderr, "no such a option: %s\n", name);
    }
    return '?';
  }

  const x_option& option = longopts[found];
  if (option.has_arg == 0) {
    x_optarg = nullptr;
    if (equals != nullptr) {
      if (x_opterr) {
        std::fprintf(stderr, "no argument for %s\n", option.name);
      }
      return '?';
    }
    x_optind = i + 1;
  } else if (option.has_arg == 1) {
    if (equals != nullptr) {
      x_optarg = const_cast<char*>(equals + 1);
      x_optind = i + 1;
    } else if (i + 1 < limit) {
      // Like a short option, a long one never takes its argument from an
      // element that this call moved to the end.
      x_optarg = v[i + 1] != nullptr ? v[i + 1] : const_cast<char*>("");
      x_optind = i + 2;
    } else {
      // Standing last without its argument: reported like a short option
      // that lacks its argument, so d or l is never returned without x_optarg.
      x_optopt = option.val;
      if (x_opterr) {
        std::fprintf(stderr, "%s: option '--%s' requires an argument\n", program_name(v),
                     option.name);
      }
      x_optind = i + 2;
      return missing_argument_result(modes);
    }
  } else {
    x_optind = i + 1;
  }

  if (longindex != nullptr) {
    *longindex = found;
  }
  if (option.flag != nullptr) {
    *option.flag = option.val;
    return 0;
  }
  return option.val;
}

// The common body of x_getopt and x_getopt_long.
int32_t _getopt_(int32_t n, char** v, const char* optstring, const x_option* longopts,
                 int32_t* longindex) {
  if (v == nullptr || n <= 0) {
    x_optarg = nullptr;
    return -1;
  }
  if (optstring == nullptr) {
    optstring = "";
  }
  if (x_optind < 1) {
    // A fresh start: nothing of an earlier parse carries over.
    clear_group();
    x_optind = 1;
  }
  int32_t i = x_optind;
  int32_t moved = 0;
  if (i >= n) {
    clear_group();
    x_optarg = nullptr;
    return -1;
  }
  const option_modes modes = read_modes(optstring);

  if (in_group(v, i)) {
    return short_option(v, optstring, modes, i, group.offset, n);
  }
  clear_group();

  // Passes over element i (an empty one or a lone "-"): true when another
  // element is left to examine in this call.
  auto pass_over = [&] {
    x_optind = i + 1;
    ++i;
    return i < n - moved;
  };

  for (;;) {
    const char* e = text(v[i]);

    if (e[0] == '\0') {
      if (pass_over()) {
        continue;
      }
      x_optarg = nullptr;
      return finish(n, v, moved);
    }

    if (modes.ordering != 0 && e[0] != '-') {
      if (modes.ordering == '-') {
        x_optarg = v[i];
        x_optind = i + 1;
        return 1;
      }
      return finish(n, v, moved);
    }

    // Without a mode character, non-options standing before the next option
    // are moved to the end, keeping their order.
    while (e[0] != '-') {
      bool option_follows = false;
      for (int32_t k = i; k < n; ++k) {
        if (text(v[k])[0] == '-') {
          option_follows = true;
          break;
        }
      }
      if (!option_follows) {
        return finish(n, v, moved);
      }
      std::rotate(v + i, v + i + 1, v + n);
      ++moved;
      e = text(v[i]);
    }

    if (std::strcmp(e, "--") == 0) {
      x_optind = i + 1;
      return finish(n, v, moved);
    }

    if (longopts != nullptr && e[1] == '-') {
      return long_option(v, e + 2, longopts, longindex, modes, i, n - moved);
    }

    // A lone "-" is passed over like an empty element.
    if (e[1] == '\0') {
      if (pass_over()) {
        continue;
      }
      x_optarg = nullptr;
      return finish(n, v, moved);
    }
    return short_option(v, optstring, modes, i, 1, n - moved);
  }
}

}  // namespace

int32_t x_getopt_long(int32_t n, char** v, const char* optstring, const x_option* longopts,
                      int32_t* longindex) {
  return _getopt_(n, v, optstring, longopts, longindex);
}

int32_t x_getopt(int32_t n, char** v, const char* optstring) {
  return _getopt_(n, v, optstring, nullptr, nullptr);
}
