// What the binding's participants know of discovery, for the type code.
// Only src/middleware includes this header.
#pragma once

#include <memory>
#include <vector>

#include <dds/dds.h>

#include "middleware/dds_api.h"

namespace rnr::mw {

// Cyclone's participant behind a binding participant; 0 for a null or a not
// yet enabled participant.
dds_entity_t cyclone_participant(const dds_DomainParticipant* participant);

// The type information announced by the remote writers of `type_name` that
// this participant has discovered, oldest first, one entry per distinct type
// information. Writers that announced none are not represented. Safe to call
// from any thread; the entries stay valid as long as the caller holds them.
std::vector<std::shared_ptr<const dds_typeinfo_t>> announced_type_infos(
    const dds_DomainParticipant* participant, const char* type_name);

}  // namespace rnr::mw
