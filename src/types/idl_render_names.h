// Names as the IDL renderer writes them: identifiers, escaped where they
// would read as a keyword, and scoped names, written relative to the root
// unless a declaration in an enclosing scope would be found first or the
// IDL compiler would reject the relative form where it is written.
// Private to the renderer (idl_render*.cpp).
#pragma once

#include <map>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "types/type_model.h"

namespace rnr::types::idl_render {

// Aliases, enums, bitmasks, structs and unions: the types that the text
// declares under a name.
bool is_named(const Type& t);

// "A::B::T" as {"A", "B", "T"}.
std::vector<std::string> split_scoped(const std::string& name);

// `word` as the text writes it; nullopt with `error` set when it is no IDL
// identifier. For viewers' readers, which do not drop the escaping
// underscore, only the words they take for their own are escaped.
std::optional<std::string> identifier(const std::string& word, std::string* error,
                                      bool for_viewers = false);

// Which identifiers the text declares in which scope, and from that how a
// scoped name is written where the text currently stands.
class ScopedNames {
 public:
  explicit ScopedNames(const TypeGraph& graph) : g_(graph) { collect_declarations(); }

  // Names written from now on are looked up from `scope` outwards;
  // `module_level` when they stand directly in the module `scope` (a
  // typedef's type, a struct's base), not inside a struct or union.
  void look_up_from(std::vector<std::string> scope, bool module_level) {
    scope_ = std::move(scope);
    module_level_ = module_level;
  }

  // Names are written relative to the root whatever they would find first,
  // and escaped as viewers' readers need (viewer schemas): they take no
  // absolute names.
  void for_viewers() { for_viewers_ = true; }

  // The text that names the declaration `name` (a scoped name from the
  // graph) from the current scope; nullopt with `error` set when a part of
  // it is no IDL identifier.
  std::optional<std::string> scoped(const std::string& name, std::string* error) const;

 private:
  void declare(const std::vector<std::string>& scope, size_t depth, const std::string& name);
  void collect_declarations();
  bool shadowed(const std::string& first) const;
  bool rejected_at_module_level(const std::vector<std::string>& parts) const;

  const TypeGraph& g_;
  std::vector<std::string> scope_;  // where the names being written are looked up
  bool module_level_ = false;
  bool for_viewers_ = false;
  std::map<std::string, std::set<std::string>> declared_;  // scope key -> identifiers
};

}  // namespace rnr::types::idl_render
