#include "bagtool/mcap_schema.h"

#include "types/idl_parse.h"
#include "types/type_model.h"

namespace rnr::bagtool {

std::string mcap_schema_text(const std::string& metastring, const std::string& type_name) {
  std::string error;
  auto graph = types::type_graph_from_idl(metastring, type_name, &error);
  if (!graph) {
    return metastring;
  }
  auto text = types::render_idl_for_viewers(*graph, &error);
  return text ? *text : metastring;
}

}  // namespace rnr::bagtool
