// The disposes and unregisters the topic readers take: stored with the
// samples, in the order they came, into the bag's instance_events table.
#pragma once

#include <cstddef>
#include <cstdint>

#include "middleware/dds_api.h"

struct rnr_recorder;
struct rnr_TopicInfo;

namespace rnr::recorder::internal {

// Stores the state change a taken sample shows, when it shows one: a sample
// without valid data whose instance is disposed or has no writers left (`key`
// the serialized key it carried, null when it carried none), or the last
// sample of its instance in a take whose instance is no longer alive (a
// write-dispose, or a dispose or unregister that came behind the sample
// before the take). A long run keeps events only while it records into its
// bag; paused and in the snapshot window they are left out.
void record_instance_event(rnr_recorder* recorder, rnr_TopicInfo* entry, dds_DataReader* reader,
                           const dds_SampleInfo& info, const void* key, uint32_t key_size);
// The same for the state change that came with a stored sample.
void record_instance_event_with_sample(rnr_recorder* recorder, rnr_TopicInfo* entry,
                                       dds_DataReader* reader, const dds_SampleInfo& info);

// Whether the sample at `position` of the entry's capture order is the last
// of its instance in the take.
bool last_of_instance_in_take(const rnr_TopicInfo* entry, size_t position);

}  // namespace rnr::recorder::internal
