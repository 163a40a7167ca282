// Type descriptions that earlier recorders stored and that the IDL library
// rejects, mended so that bags recorded then still decode.
#pragma once

#include <optional>
#include <string>

namespace rnr::types {

// `idl` with the two faults of those texts mended: ">>" closing nested
// template types ("sequence<sequence<short>>"), and scoped names written
// relative to the root where the IDL compiler rejects them (`module geo {
// struct Pose : geo::Base`); every such name is made absolute, which is
// what it meant. nullopt when there is nothing to mend.
std::optional<std::string> mend_legacy_idl(const std::string& idl);

}  // namespace rnr::types
