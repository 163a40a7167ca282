// `mcap`: the bag as an MCAP file. One schema per topic with a stored type
// description (encoding omgidl, the IDL text as data), one channel per topic
// (message encoding cdr: the stored bytes, encapsulation header first), one
// message per sample with the stored timestamp as log and publish time and
// its row id as sequence, and the writers' GUIDs as metadata; chunks are
// compressed with zstd unless asked otherwise. The file is written beside
// the output and takes its place only when complete.
#include <cstdint>
#include <limits>
#include <unordered_map>

#include "bag/bag_reader.h"
#include "bagtool/qos_view.h"
#include "bagtool/commands.h"
#include "bagtool/mcap_schema.h"
#include "bagtool/mcap_writer.h"
#include "bagtool/output_file.h"
#include "bagtool/progress.h"
#include "bagtool/signals.h"
#include "bagtool/supplied_types.h"

namespace rnr::bagtool {

using bag::BagReader;
using bag::SampleFilter;
using bag::SampleRow;
using bag::TopicSummary;

namespace {

std::string default_output(const std::string& bag) {
  const std::string suffix = ".sqlite3";
  if (bag.size() > suffix.size() &&
      bag.compare(bag.size() - suffix.size(), suffix.size(), suffix) == 0) {
    return bag.substr(0, bag.size() - suffix.size()) + ".mcap";
  }
  return bag + ".mcap";
}

// Gives the topics without a stored type description the one --idl holds
// for their type. A supplied description (from --idl, or one stored as
// supplied) becomes a schema only once every sample of the topic decodes
// with it: a schema that does not fit would make viewers give up on the
// channel. 0, or the exit status after one line.
int apply_supplied_types(BagReader& reader, const std::vector<std::string>& files,
                         std::vector<TopicSummary>* topics) {
  SuppliedTypes supplied;
  std::string error;
  if (!supplied.load(files, &error)) {
    return report_failure(error);
  }
  for (TopicSummary& t : *topics) {
    std::string why;
    const bool from_files = supplied.fill(&t, &why);
    const bool check = from_files || (t.metastring && is_supplied_description(*t.metastring));
    if (check && !samples_fit(reader, t, *t.metastring, SIZE_MAX, &why)) {
      t.metastring.reset();
      if (stop_signal() != 0) {
        return report_stop("mcap");
      }
      why = (from_files ? "--idl " + supplied.names() : std::string("its supplied description")) +
            ": " + why;
    }
    if (!why.empty()) {
      report_warning("topic " + t.name + ": " + why + "; its channel has no schema");
    }
  }
  return 0;
}

}  // namespace

int run_mcap(const std::string& bag, std::string out_path, bool force, const McapOptions& options) {
  BagReader reader;
  std::string error;
  std::vector<TopicSummary> topics;
  std::vector<std::string> writers;
  std::vector<rnr_WriterQosRow> writer_qos;
  uint64_t total = 0;
  if (!reader.open(bag, &error) || !reader.topics(&topics, false, &error) ||
      !reader.writers(&writers, &error) || !reader.writer_qos(&writer_qos, &error) ||
      (Progress::wanted() && !reader.count(SampleFilter{}, &total, &error))) {
    return report_failure(bag + ": " + error);
  }
  if (topics.size() > std::numeric_limits<uint16_t>::max()) {
    return report_failure(bag + ": more topics than an MCAP file can hold");
  }
  if (int status = apply_supplied_types(reader, options.idl, &topics); status != 0) {
    return status;
  }
  if (out_path.empty()) {
    out_path = default_output(bag);
  }
  OutputFile output;
  if (!output.open(out_path, bag, force, &error)) {
    return report_failure(error);
  }
  McapWriter writer;
  if (!writer.open(output.stream(), "", &error)) {
    return report_failure(error);
  }
  using Compression = McapOptions::Compression;
  writer.set_chunks(options.compression == Compression::kZstd  ? ChunkCompression::kZstd
                    : options.compression == Compression::kLz4 ? ChunkCompression::kLz4
                                                               : ChunkCompression::kNone,
                    options.chunk_size);
  // Channel ids follow the topics' order from 1; a topic's schema has the
  // channel's id, and a topic without type description has none (id 0).
  std::unordered_map<int64_t, uint16_t> channel_of;
  for (size_t i = 0; i < topics.size(); ++i) {
    const auto& t = topics[i];
    const auto id = static_cast<uint16_t>(i + 1);
    // An empty description (a writer that announced no type) is no schema:
    // an empty IDL schema makes viewers give up on the whole file.
    const bool described = t.metastring && !t.metastring->empty();
    if (described) {
      writer.add_schema(id, t.type, "omgidl", mcap_schema_text(*t.metastring, t.type));
    }
    StringPairs metadata = {{"dds_type_name", t.type}, {"dds_keyed", t.keyed ? "true" : "false"}};
    for (auto& entry : channel_qos_metadata(t.id, writer_qos)) {
      metadata.push_back(std::move(entry));
    }
    writer.add_channel(id, described ? id : 0, t.name, "cdr", metadata);
    channel_of[t.id] = id;
  }
  StringPairs guids;
  for (size_t i = 0; i < writers.size(); ++i) {
    guids.emplace_back(std::to_string(i + 1), writers[i]);
  }
  writer.add_metadata("dds_writers", guids);

  uint64_t orphans = 0;
  Progress progress(total);
  // The rows go straight from SQLite into the chunk: adding a message waits
  // at most for the chunk before it to be written to the output file.
  const bool read = reader.for_each_sample_in_place(
      SampleFilter{},
      [&](const SampleRow& row) {
        progress.step();
        if (stop_signal() != 0) {
          return false;
        }
        auto channel = channel_of.find(row.topic_id);
        if (channel == channel_of.end()) {
          ++orphans;
          return true;
        }
        const uint64_t time = row.timestamp < 0 ? 0 : static_cast<uint64_t>(row.timestamp);
        writer.add_message(channel->second, static_cast<uint32_t>(row.id), time, time, row.data,
                           row.size);
        return true;
      },
      &error);
  progress.finish();
  if (stop_signal() != 0) {
    return report_stop("mcap", out_path);
  }
  std::string write_error;
  // Only a complete export takes the output's place.
  const bool written = writer.finish(&write_error) && read && output.commit(&write_error);
  if (stop_signal() != 0) {
    return report_stop("mcap", written ? "" : out_path);
  }
  if (!read || !written) {
    return report_failure(read ? out_path + ": " + write_error : bag + ": " + error);
  }
  if (orphans > 0) {
    report_warning(std::to_string(orphans) +
                   " samples of topic ids that the bag does not list were left out");
  }
  return 0;
}

}  // namespace rnr::bagtool
