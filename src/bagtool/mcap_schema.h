// The omgidl schema text of a topic in an MCAP file.
#pragma once

#include <string>

namespace rnr::bagtool {

// The stored type description `metastring` of `type_name`, rewritten for
// viewers' IDL readers (no inheritance, explicit member ids of mutable
// types); the description itself when it cannot be read as IDL.
std::string mcap_schema_text(const std::string& metastring, const std::string& type_name);

}  // namespace rnr::bagtool
