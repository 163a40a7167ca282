// Pieces of the binding shared between its entity code and its type code.
// Only src/middleware includes this header.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "middleware/dds_api.h"

// Base of every type support: the raw ones (serialized bytes) and the dynamic
// ones built from types discovered on the network.
struct dds_TypeSupport {
  virtual ~dds_TypeSupport() = default;
  virtual bool is_dynamic() const = 0;
};

// A sequence of pointers. After a take its items may be loaned: `loan` then
// keeps them alive until the loan is returned (reset), whatever happens.
struct dds_DataSeq {
  uint32_t capacity = 0;
  std::vector<void*> items;
  std::shared_ptr<void> loan;
};

struct dds_SampleInfoSeq {
  uint32_t capacity = 0;
  std::vector<dds_SampleInfo> items;
};

struct dds_UnsignedLongSeq {
  uint32_t capacity = 0;
  std::vector<uint32_t> items;
};

namespace rnr::mw {

// How many distinct type informations this participant's discovery has
// recorded for `type_name` (announced_type_infos without Cyclone types).
size_t announced_type_info_count(const dds_DomainParticipant* participant, const char* type_name);

}  // namespace rnr::mw
