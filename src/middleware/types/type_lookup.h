// Type discovery on Cyclone: turns the type information that remote writers
// announce into type graphs, asking the remote participants for every type
// object through type lookup.
#pragma once

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include <dds/dds.h>

#include "types/type_model.h"

namespace rnr::mw {

// The graph of every announced type, in the order given, skipping those that
// cannot be resolved within `bound` (all lookups together); never longer than
// `infos`. Graphs are cached per complete type identifier, so a type resolved
// once is answered at once afterwards. Blocks: never call it on a Cyclone
// thread.
std::vector<std::shared_ptr<const rnr::types::TypeGraph>> lookup_type_graphs(
    dds_entity_t participant, const std::vector<std::shared_ptr<const dds_typeinfo_t>>& infos,
    std::chrono::milliseconds bound);

// The default bound of one lookup.
constexpr std::chrono::milliseconds kLookupBound{3000};

}  // namespace rnr::mw
