// The IDL renderer's state, shared by its two halves: idl_render.cpp orders
// the named types and writes type references and modules, and
// idl_render_decls.cpp writes each declaration with its members and
// annotations. Private to the renderer.
#pragma once

#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "types/idl_render_names.h"
#include "types/type_model.h"

namespace rnr::types::idl_render {

// Concatenation written out: GCC 12 warns falsely on `"x" + s + "y"`.
inline std::string wrap(const char* before, const std::string& middle, const char* after) {
  std::string out(before);
  out.append(middle);
  out.append(after);
  return out;
}

// Who reads the text: the IDL compiler (every annotation that the type
// objects record, defaults left out, names that it resolves as meant), or
// viewers' IDL readers (idl_render_flat.cpp: names relative to the root,
// every member id of a mutable type written out, bitmasks as the unsigned
// integers that carry them).
enum class Audience { Compiler, Viewers };

class Renderer {
 public:
  explicit Renderer(const TypeGraph& graph, Audience audience = Audience::Compiler)
      : g_(graph), names_(graph), audience_(audience) {
    if (audience == Audience::Viewers) {
      names_.for_viewers();
    }
  }

  std::optional<std::string> run(std::string* error);

 private:
  std::optional<std::string> fail(std::string* error, const std::string& text);
  bool set_error(std::string text);

  // idl_render.cpp: order, names and type references, modules.
  bool order(TypeIndex index, int depth = 0);
  std::optional<std::string> identifier(const std::string& word);
  std::optional<std::string> scoped(const std::string& name);
  bool type_text(TypeIndex index, std::string* text, std::string* dims, int depth = 0);
  void enter_modules(const std::vector<std::string>& path);
  std::string indent(int extra = 0) const;

  // idl_render_decls.cpp: declarations, members, annotations.
  static std::string type_annotations(const Type& t);
  std::string member_annotations(const Member& m, bool in_union);
  std::string id_annotation(const Member& m, uint32_t* expected, bool all_ids);
  bool ids_written_out(const Type& t) const;
  std::optional<uint32_t> next_id_after_bases(const Type& t);
  std::optional<std::string> label(const Type& disc, int32_t value);
  bool emit_literals(const Type& t, const std::string& name, const char* keyword,
                     const char* value_annotation);
  bool emit(TypeIndex index);

  const TypeGraph& g_;
  ScopedNames names_;
  Audience audience_;
  std::set<TypeIndex> visiting_, done_;
  std::vector<TypeIndex> order_;
  std::vector<std::string> modules_;
  std::ostringstream out_;
  std::string error_;
};

}  // namespace rnr::types::idl_render
