// What late joiners of each recorded writer get: its history kind and depth,
// kept in the writer's QoS row (rnr::qos::WriterHistory), so that a replay
// gives its own late joiners as many samples per instance.
//
// A Cyclone DDS writer announces the durability service its late joiners get
// (source "discovery"). Other implementations announce a durability service
// that says nothing of it (Fast DDS announces depth 1 whatever its history),
// so for their durable writers the recorder counts, per instance, the samples
// the writer delivered on matching: those written before the writer was
// discovered (source timestamp earlier than the discovery), up to the first
// later one or for at most kWatchNs (source "observed"; at most the writer's
// depth, and less when the writer had written fewer samples).
#pragma once

#include <cstdint>

#include "middleware/dds_api.h"
#include "types/qos_policies.h"

struct rnr_recorder;
struct rnr_TopicInfo;

namespace rnr::recorder::internal {

// Called by discovery for a new writer before its QoS row is written: sets
// `offered->history` when discovery tells it, or starts watching the writer's
// samples when it is durable and of another implementation.
void history_at_discovery(rnr_recorder* recorder, const rnr_TopicInfo* entry, int32_t writer_id,
                          const uint8_t writer_guid[16], rnr::qos::WriterQos* offered);

// Called by the capture for each sample it stores, under the entry's
// capture_mutex. Costs nothing while no writer is watched.
void history_sample(rnr_recorder* recorder, rnr_TopicInfo* entry, dds_DataReader* reader,
                    const dds_SampleInfo& info);

// Called by the capture after the samples of a take are stored: writes the QoS
// row again for each watched writer whose observed history grew.
void history_capture_done(rnr_recorder* recorder, rnr_TopicInfo* entry);

}  // namespace rnr::recorder::internal
