// Type graphs from IDL text, such as the type description a bag stores for a
// topic, so that samples can be decoded without the type's writer.
#pragma once

#include <optional>
#include <string>

#include "types/type_model.h"

namespace rnr::types {

// The graph of the struct or union `type_name` ("A::B::T", a leading "::"
// allowed) declared in `idl`, read with Cyclone's IDL library. nullopt with
// `error` set when the text does not parse or declares no such type, and
// with "type description too large or too deep" when the text exceeds 1 MiB
// or 10,000 declarations, or nests deeper than 256; the
// library may also print its own diagnostics on standard error.
std::optional<TypeGraph> type_graph_from_idl(const std::string& idl, const std::string& type_name,
                                             std::string* error);

// Whether `idl` parses as IDL within the same bounds; false with `error` set
// (the library prints its diagnostics on standard error).
bool idl_parses(const std::string& idl, std::string* error);

}  // namespace rnr::types
