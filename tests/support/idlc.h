// IDL text compiled by Cyclone's idlc, for comparing the type information
// that two texts compile to.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace rnr::test {

// The type information bytes (TYPE_INFO_CDR_...) that `idlc` generates for
// `type_name` ("A::B::T") from `idl`; empty with `message` set (idlc's own
// diagnostics included) when it rejects the text or declares no such type.
std::vector<uint8_t> idlc_type_info(const std::string& idlc, const std::string& idl,
                                    const std::string& type_name, std::string* message);

}  // namespace rnr::test
