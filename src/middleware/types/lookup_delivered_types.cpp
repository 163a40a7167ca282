// The binding's entry to type discovery: the participant's announced type
// informations, resolved into dynamic type supports.
#include <new>

#include "middleware/participant_internal.h"
#include "middleware/types/dynamic_type_support.h"
#include "middleware/types/type_lookup.h"

dds_DataSeq* dds_DomainParticipant_lookup_delivered_types(dds_DomainParticipant* participant,
                                                          const char* type_name) {
  if (participant == nullptr || type_name == nullptr) {
    return nullptr;
  }
  dds_entity_t entity = rnr::mw::cyclone_participant(participant);
  if (entity <= 0) {
    return nullptr;
  }
  auto infos = rnr::mw::announced_type_infos(participant, type_name);
  if (infos.empty()) {
    return nullptr;
  }
  auto graphs = rnr::mw::lookup_type_graphs(entity, infos, rnr::mw::kLookupBound);
  if (graphs.empty()) {
    return nullptr;
  }
  dds_DataSeq* seq = dds_DataSeq_create(static_cast<uint32_t>(graphs.size()));
  if (seq == nullptr) {
    return nullptr;
  }
  for (auto& graph : graphs) {
    auto* support = new (std::nothrow) rnr::mw::DynamicTypeSupport(std::move(graph));
    if (support == nullptr || !dds_DataSeq_add(seq, support)) {
      delete support;
      break;
    }
  }
  if (dds_DataSeq_length(seq) == 0) {
    dds_DataSeq_delete(seq);
    return nullptr;
  }
  return seq;
}
