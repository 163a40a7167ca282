// The type walk of the sample decoder: it follows the type graph member by
// member, reads each value with the cursor and writes it as JSON text.
//   cdr_decode.cpp       entry point, value dispatch, primitives, strings, enums
//   cdr_aggregates.cpp   structs (final, appendable, mutable) and unions
//   cdr_collections.cpp  sequences, arrays, maps, and the guard on their counts
// Private to the decoder.
//
// Where XCDR1 and XCDR2 differ (the cursor hides only alignment):
//   - an appendable type is a plain concatenation of members in XCDR1; in
//     XCDR2 a DHEADER (a 32-bit byte length) comes first, so that a reader
//     can skip members appended by a newer version of the type;
//   - a mutable type is a parameter list in XCDR1 (parameter headers, ended
//     by a sentinel); in XCDR2 a DHEADER, then a member header (EMHEADER)
//     before each member, with no end marker;
//   - an optional member outside a mutable type is a parameter header (length
//     0 when absent) in XCDR1 and a one-byte presence flag in XCDR2;
//   - XCDR2 puts a DHEADER before a sequence or array of non-primitive
//     elements, and before a map unless both key and value are primitive;
//   - a wide string's length counts characters in XCDR1 and bytes in XCDR2.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "types/cdr_cursor.h"
#include "types/type_model.h"

namespace rnr::types::cdr {

// Decoding stops at this nesting depth, so a deep (or damaged, cyclic) graph
// cannot run off the stack.
constexpr int kMaxDepth = 100;

// What a walk learns about the graph that does not depend on the sample:
// kept by a JsonDecoder from sample to sample, so that a walk allocates
// nothing once the caches are filled. By XCDR version (index 0 and 1), since
// framing changes the smallest sizes.
struct WalkCache {
  std::vector<std::optional<size_t>> min_sizes[2];
  // The members of each struct type with those of its bases first.
  std::vector<std::optional<std::vector<const Member*>>> members;
};

class TypeWalk {
 public:
  TypeWalk(const TypeGraph& graph, const uint8_t* data, size_t size, WalkCache* cache = nullptr,
           const JsonOptions* options = nullptr)
      : g_(graph), in_(data, size), cache_(cache), options_(options) {}

  // The whole sample as one line of JSON; throws DecodeError.
  std::string run();
  // The sample's JSON appended to `*out`, whose memory the walk reuses; on
  // DecodeError `*out` holds what was written up to the failure.
  void run_append(std::string* out);
  // The values of the sample's key members (see instance_key); throws
  // DecodeError.
  std::string run_key();

 private:
  // cdr_decode.cpp
  void check_output();
  const Type& type_of(TypeIndex index);
  void value(TypeIndex index, int depth);
  void string8(const Type& t);
  void string16(const Type& t);
  int64_t read_enum_raw(const Type& t);
  void enumeration(const Type& t);
  void bitmask(const Type& t);

  // cdr_aggregates.cpp
  const std::vector<const Member*>& members(const Type& t);
  void collect_members(const Type& t, std::vector<const Member*>* out);
  void structure(const Type& t, int depth);
  void member_value(const Member& m, int depth, bool in_mutable);
  void key_path_member(const Member& m, bool is_key, int depth, bool in_mutable);
  bool on_key_path(int depth) const { return depth == key_depth_; }
  static bool all_members_key(const std::vector<const Member*>& list, int depth);
  void optional_member(const Member& m, int depth);
  void mutable_structure(const std::vector<const Member*>& list, int depth);
  void skip_union_member_header(const char* what);
  int64_t discriminator(const Type& d);
  void append_discriminator(const Type& d, int64_t v);
  void union_value(const Type& t, int depth);

  // cdr_collections.cpp
  bool needs_dheader(TypeIndex element);
  size_t min_size(TypeIndex index, int depth = 0);
  size_t compute_min_size(TypeIndex index, int depth);
  void check_count(uint64_t count, TypeIndex element);
  void elements(TypeIndex element, uint64_t count, int depth);
  bool is_byte(TypeIndex element);
  void bytes(uint64_t count);
  void sequence(const Type& t, int depth);
  void array_dims(const Type& t, size_t dim, int depth);
  void array(const Type& t, int depth);
  void map(const Type& t, int depth);

  const TypeGraph& g_;
  Cursor in_;
  std::string out_;
  // Where this sample's text starts in out_ (run_append keeps what was there).
  size_t out_start_ = 0;
  // min_size's answers and the members lists, by type index: each type sized
  // and listed once; in the decoder's cache when one is given.
  WalkCache own_cache_;
  WalkCache* cache_;
  // How byte sequences and arrays are written; none: in full, as numbers.
  const JsonOptions* options_;

  // For run_key. The struct at depth key_depth_ lies on the key path (the
  // root, or the type of a key member of a struct on the path): its key
  // members' values go into key_, each followed by '\n'. Everything else is
  // walked only for its extent; while discard_ is set its text is not kept.
  int key_depth_ = -1;
  std::string key_;
  bool discard_ = false;
};

// The bytes of an enum or bitmask: the smallest of 1, 2, 4 or 8 that holds
// its bit bound.
size_t enum_size(const Type& t);

// A string, sequence or map with a bound (0 means none).
inline bool has_bound(const Type& t) {
  return !t.bounds.empty() && t.bounds[0] != 0;
}

}  // namespace rnr::types::cdr
