// Structs and unions: the part of the type walk where the two XCDR versions
// frame values differently (see cdr_walk.h).
#include <algorithm>
#include <map>

#include "types/cdr_walk.h"
#include "types/json_text.h"

namespace rnr::types::cdr {

// The members of a struct with those of its bases first, the order in which
// they are serialized; listed once per type.
const std::vector<const Member*>& TypeWalk::members(const Type& t) {
  WalkCache& cache = cache_ != nullptr ? *cache_ : own_cache_;
  // Sized once, before any list is handed out, so that lists stay in place.
  if (cache.members.size() < g_.types.size()) {
    cache.members.resize(g_.types.size());
  }
  const auto index = static_cast<size_t>(&t - g_.types.data());
  if (index >= cache.members.size()) {
    fail("type graph is damaged");
  }
  if (!cache.members[index]) {
    std::vector<const Member*> list;
    collect_members(t, &list);
    cache.members[index] = std::move(list);
  }
  return *cache.members[index];
}

void TypeWalk::collect_members(const Type& t, std::vector<const Member*>* out) {
  std::vector<const Type*> chain;
  const Type* cur = &t;
  while (true) {
    chain.push_back(cur);
    if (!cur->base) {
      break;
    }
    if (chain.size() > g_.types.size()) {
      fail("type graph is damaged");  // a base that is its own descendant
    }
    cur = &type_of(*cur->base);
    if (cur->kind != Kind::Struct) {
      fail("type graph is damaged");
    }
  }
  for (auto it = chain.rbegin(); it != chain.rend(); ++it) {
    for (const auto& m : (*it)->members) {
      out->push_back(&m);
    }
  }
}

// A final or appendable struct: the members in order. In XCDR2 an
// appendable struct has a DHEADER; a writer with an older version of the
// type may end it before the last members, a newer one may add members
// after them, which the region skips.
void TypeWalk::structure(const Type& t, int depth) {
  const std::vector<const Member*>& list = members(t);
  if (t.flags & flag::kMutable) {
    mutable_structure(list, depth);
    return;
  }
  Cursor::Delimited dheader(&in_, in_.xcdr2() && (t.flags & flag::kAppendable));
  const bool key_path = on_key_path(depth);
  const bool all_key = key_path && all_members_key(list, depth);
  out_ += '{';
  bool first = true;
  for (const Member* m : list) {
    if (dheader.present() && in_.remaining() == 0) {
      break;  // a writer with an older version of the type sent fewer members
    }
    out_ += first ? "" : ", ";
    first = false;
    json::append_key(&out_, m->name);
    if (key_path) {
      key_path_member(*m, all_key || (m->flags & flag::kKey) != 0, depth, false);
    } else {
      member_value(*m, depth, false);
    }
  }
  out_ += '}';
  dheader.finish();
}

void TypeWalk::member_value(const Member& m, int depth, bool in_mutable) {
  if (!in_mutable && (m.flags & flag::kOptional)) {
    optional_member(m, depth);
  } else {
    value(m.type, depth + 1);
  }
}

// The root's key members, when none of its members is marked: all of them
// in a struct that is itself a key member (and none at the root, whose
// type then has no key).
bool TypeWalk::all_members_key(const std::vector<const Member*>& list, int depth) {
  return depth > 0 && std::none_of(list.begin(), list.end(),
                                   [](const Member* m) { return (m->flags & flag::kKey) != 0; });
}

// A member of a struct on the key path. A key member's value is added to the
// key, unless its type is a struct, which adds its own key members instead;
// any other member is walked without keeping its text. The text of the
// struct itself is not needed and is dropped.
void TypeWalk::key_path_member(const Member& m, bool is_key, int depth, bool in_mutable) {
  const size_t start = out_.size();
  if (is_key) {
    const int saved_depth = key_depth_;
    const size_t key_start = key_.size();
    key_depth_ = depth + 1;
    member_value(m, depth, in_mutable);
    key_depth_ = saved_depth;
    if (key_.size() == key_start) {
      key_.append(out_, std::min(start, out_.size()));
      key_ += '\n';
    }
  } else {
    const bool saved_discard = discard_;
    discard_ = true;
    member_value(m, depth, in_mutable);
    discard_ = saved_discard;
  }
  out_.resize(std::min(start, out_.size()));
}

// An optional member outside mutable types: XCDR2 writes a presence byte,
// XCDR1 a parameter header whose length is 0 when the member is absent.
void TypeWalk::optional_member(const Member& m, int depth) {
  if (in_.xcdr2()) {
    uint8_t present = *in_.take(1);
    if (present > 1) {
      fail("presence flag of value " + std::to_string(present));
    }
    if (present) {
      value(m.type, depth + 1);
    } else {
      out_ += "null";
    }
    return;
  }
  uint32_t id, length;
  if (!in_.parameter_header(&id, &length)) {
    fail("unexpected end of parameter list");
  }
  if (length == 0) {
    out_ += "null";
    return;
  }
  // A parameter's content is aligned from its own first byte.
  Cursor::Region region(&in_, length, true);
  value(m.type, depth + 1);
  region.finish();
}

// A mutable struct: members in any order, each behind a header that names
// its id and gives its length, so that members this type does not know are
// skipped. The values are collected by id and written in the type's member
// order; a missing member is left out, or null when it is optional.
void TypeWalk::mutable_structure(const std::vector<const Member*>& list, int depth) {
  std::map<uint32_t, size_t> by_id;
  for (size_t i = 0; i < list.size(); ++i) {
    by_id.emplace(list[i]->id, i);
  }
  std::vector<std::optional<std::string>> values(list.size());
  // On the key path, each member's part of the key, put together in member
  // order whatever order the members came in.
  const bool key_path = on_key_path(depth);
  const bool all_key = key_path && all_members_key(list, depth);
  std::vector<std::string> key_parts(key_path ? list.size() : 0);
  // Each member is written into out_ on its own and moved out; what was
  // written before this struct waits here.
  std::string saved = std::move(out_);
  auto decode_member = [&](uint32_t id, size_t length, bool reset_origin) {
    Cursor::Region region(&in_, length, reset_origin);
    auto found = by_id.find(id);
    if (found != by_id.end()) {
      const Member& m = *list[found->second];
      out_.clear();
      if (key_path) {
        std::string outer = std::move(key_);
        key_.clear();
        key_path_member(m, all_key || (m.flags & flag::kKey) != 0, depth, true);
        key_parts[found->second] = std::move(key_);
        key_ = std::move(outer);
      } else {
        value(m.type, depth + 1);
      }
      values[found->second] = std::move(out_);
    }
    region.finish();
  };
  try {
    if (in_.xcdr2()) {
      // A DHEADER around the whole struct, then member headers up to its
      // end. Alignment runs on from the stream: a member does not restart
      // it. The must-understand flag is not checked: a member this reader
      // does not know is skipped and left out of the text either way.
      uint32_t length = in_.read_u32();
      Cursor::Region all(&in_, length, false);
      while (in_.remaining() > 0) {
        const MemberHeader header = in_.member_header();
        decode_member(header.id, in_.member_length(header), false);
      }
      all.finish();
    } else {
      // A parameter list up to its sentinel; each parameter's content is
      // aligned from its own first byte.
      uint32_t id, length;
      while (in_.parameter_header(&id, &length)) {
        decode_member(id, length, true);
      }
    }
  } catch (...) {
    out_ = std::move(saved);
    throw;
  }
  out_ = std::move(saved);
  for (const std::string& part : key_parts) {
    key_ += part;
  }
  out_ += '{';
  bool first = true;
  for (size_t i = 0; i < list.size(); ++i) {
    if (!values[i] && !(list[i]->flags & flag::kOptional)) {
      continue;
    }
    out_ += first ? "" : ", ";
    first = false;
    json::append_key(&out_, list[i]->name);
    out_ += values[i] ? *values[i] : "null";
  }
  out_ += '}';
  check_output();
}

// In a mutable union the discriminator and the branch each come behind a
// member header. Their ids and lengths are not needed (there is one of
// each, in this order), so the header is passed over; in XCDR2 that
// includes the NEXTINT of LC 4, while for LC 5-7 the word that follows
// belongs to the value.
void TypeWalk::skip_union_member_header(const char* what) {
  if (in_.xcdr2()) {
    if (in_.member_header().length_code == emheader::kLcNextInt) {
      in_.read_u32();
    }
    return;
  }
  uint32_t id, length;
  if (!in_.parameter_header(&id, &length)) {
    fail(std::string("union without ") + what);
  }
}

int64_t TypeWalk::discriminator(const Type& d) {
  switch (d.kind) {
    case Kind::Boolean:
    case Kind::Byte:
    case Kind::UInt8:
    case Kind::Char8:
      return *in_.take(1);
    case Kind::Int8:
      return static_cast<int8_t>(*in_.take(1));
    case Kind::Int16:
      return in_.read<int16_t>();
    case Kind::UInt16:
    case Kind::Char16:
      return in_.read<uint16_t>();
    case Kind::Int32:
      return in_.read<int32_t>();
    case Kind::UInt32:
      return in_.read<uint32_t>();
    case Kind::Int64:
      return in_.read<int64_t>();
    case Kind::UInt64:
      return static_cast<int64_t>(in_.read<uint64_t>());
    case Kind::Enum:
      return read_enum_raw(d);
    default:
      fail("union discriminator of an unsupported kind");
  }
}

// The discriminator as its own kind would print: an enumerator's name, a
// boolean, a character, an unsigned 64-bit number.
void TypeWalk::append_discriminator(const Type& d, int64_t v) {
  if (d.kind == Kind::Enum) {
    for (const auto& lit : d.members) {
      if (lit.value == v) {
        json::append_string(&out_, lit.name);
        return;
      }
    }
  } else if (d.kind == Kind::Boolean) {
    out_ += v ? "true" : "false";
    return;
  } else if (d.kind == Kind::Char8) {
    uint8_t c = static_cast<uint8_t>(v);
    json::append_string(&out_, &c, 1);
    return;
  } else if (d.kind == Kind::UInt64) {
    json::append_number(&out_, static_cast<uint64_t>(v));
    return;
  }
  json::append_number(&out_, v);
}

namespace {

// The branch whose labels hold `v`, else the default branch, else none.
// Labels are 32-bit: a wider discriminator is compared in its low 32 bits.
const Member* selected(const Type& t, int64_t v) {
  const Member* fallback = nullptr;
  for (const auto& m : t.members) {
    for (int32_t label : m.labels) {
      if (label == static_cast<int32_t>(v)) {
        return &m;
      }
    }
    if (m.flags & flag::kDefault) {
      fallback = &m;
    }
  }
  return fallback;
}

}  // namespace

// {"_d": discriminator, "branch": value}, or {"_d": discriminator} when no
// branch is selected. In XCDR2 an appendable or mutable union has a DHEADER.
void TypeWalk::union_value(const Type& t, int depth) {
  const Type& d = type_of(t.element);
  const bool is_mutable = (t.flags & flag::kMutable) != 0;
  Cursor::Delimited dheader(&in_, in_.xcdr2() && (t.flags & (flag::kAppendable | flag::kMutable)));
  if (is_mutable) {
    skip_union_member_header("discriminator");
  }
  int64_t v = discriminator(d);
  out_ += "{\"_d\": ";
  append_discriminator(d, v);
  if (const Member* m = selected(t, v)) {
    if (is_mutable) {
      skip_union_member_header("branch");
    }
    out_ += ", ";
    json::append_key(&out_, m->name);
    value(m->type, depth + 1);
  }
  out_ += '}';
  dheader.finish();
}

}  // namespace rnr::types::cdr
