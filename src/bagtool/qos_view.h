// How the bag tool shows the writers' QoS that a bag recorded.
#pragma once

#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "bag/writer_qos.h"
#include "bag/bag_reader.h"

namespace rnr::bagtool {

// The policies of a recorded QoS text that differ from a DataWriter's
// defaults, reliability and durability always first, as "name=value" joined
// by blanks; the text itself when it cannot be read.
std::string qos_summary(const std::string& qos_text);

// Channel metadata of one topic: per recorded writer, the key
// "dds_writer_qos <GUID>" with its whole QoS text.
std::vector<std::pair<std::string, std::string>> channel_qos_metadata(
    int64_t topic_id, const std::vector<rnr_WriterQosRow>& rows);

// Per topic, each writer's GUID and its QoS summary; nothing for a bag
// recorded without them.
void print_writer_qos(FILE* out, const std::vector<rnr::bag::TopicSummary>& topics,
                      const std::vector<rnr_WriterQosRow>& rows);

}  // namespace rnr::bagtool
