// Instances of keyed types: which instance a serialized sample belongs to,
// read from its key members with the sample decoder, so that a bag's samples
// can be told apart by instance without the type's writer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "types/type_model.h"

namespace rnr::types {

// Whether the graph's root is a struct with a key member (its own or a
// base's): whether its samples are of more than one instance.
bool has_key_members(const TypeGraph& graph);

// The instance of one serialized sample (encapsulation header first): the
// values of the root's key members in member order, each as its JSON text
// followed by '\n'. A key member of struct type contributes its own key
// members, or all its members when none is marked. Two samples are of the
// same instance exactly when their keys are equal. Empty for a type without
// key members; nullopt with `error` set when the bytes do not fit the type.
std::optional<std::string> instance_key(const TypeGraph& graph, const uint8_t* data, size_t size,
                                        std::string* error);

}  // namespace rnr::types
