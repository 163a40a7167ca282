// The tool's own option parser, with the calling convention of the getopt
// family: one call returns one option and the parser's state lives in four
// process-wide globals. Not thread-safe; the vector is reordered in place.
//
// Non-option elements that stand before the next option are moved to the end
// of the vector. Long names match only in full. Grouped short options
// ("-hl debug", "-hd5") are read letter by letter as with the usual getopt;
// a bad letter inside a group is reported and skipped. A long option that
// requires an argument and stands last without one is reported on standard
// error and answered like a missing short-option argument ('?', or ':' in the
// ':' mode), so its value is never returned without x_optarg. No call reads
// outside elements 0 to n - 1.
#pragma once

#include <cstdint>

// One entry of a long-option table; the table ends with an entry whose name
// is null.
struct x_option {
  const char* name;  // long name without the leading "--"
  int32_t has_arg;   // 0 none, 1 required, anything else: none, x_optarg untouched
  int32_t* flag;     // when set, val is stored here and 0 is returned
  int32_t val;       // value returned (or stored) for this option
};

// Index of the next element to examine; element 0 is never examined. Set to
// 0 to start a new parse: the next call begins at element 1 and forgets any
// position inside a group of an earlier parse.
extern int32_t x_optind;
// Argument of the option just returned, or the non-option element returned as 1.
extern char* x_optarg;
// Letter of the last unknown option or of the last option that lacked its
// argument (for a long option: its val).
extern int32_t x_optopt;
// When non-zero, errors are reported on standard error.
extern int32_t x_opterr;

// Returns an option letter or a table entry's val, 0 when the entry has a
// flag, 1 for a non-option in the '-' mode, '?' for an error, ':' for a
// missing argument when the option string starts with ':' (after any '+' or
// '-'), and -1 when no option remains (x_optind then indexes the first
// non-option element).
int32_t x_getopt_long(int32_t n, char** v, const char* optstring, const x_option* longopts,
                      int32_t* longindex);
// Short options only.
int32_t x_getopt(int32_t n, char** v, const char* optstring);
