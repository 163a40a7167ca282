// Writes an MCAP file: header, schemas and channels, messages in chunks each
// followed by its message indexes, metadata, and a summary section (schemas,
// channels, statistics, metadata and chunk indexes, with summary offsets) so
// that a reader can seek by time. Chunks are stored uncompressed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "bagtool/crc32.h"

namespace rnr::bagtool {

using StringPairs = std::vector<std::pair<std::string, std::string>>;

class McapWriter {
 public:
  McapWriter() = default;
  ~McapWriter();
  McapWriter(const McapWriter&) = delete;
  McapWriter& operator=(const McapWriter&) = delete;

  // Writes the magic and the header to `file`, which stays the caller's.
  bool open(FILE* file, const std::string& profile, std::string* error);

  // Schemas and channels go before the first message that uses them;
  // metadata anywhere. Schema ids start at 1 (0 means no schema).
  void add_schema(uint16_t id, const std::string& name, const std::string& encoding,
                  const std::string& data);
  void add_channel(uint16_t id, uint16_t schema_id, const std::string& topic,
                   const std::string& message_encoding, const StringPairs& metadata);
  void add_metadata(const std::string& name, const StringPairs& entries);
  void add_message(uint16_t channel_id, uint32_t sequence, uint64_t log_time, uint64_t publish_time,
                   const uint8_t* data, size_t size);

  // Writes the last chunk, the data end and the summary, and flushes the
  // file. False (with `error`) when any write failed.
  bool finish(std::string* error);

 private:
  struct ChunkIndex {
    uint64_t start_time, end_time, offset, length, index_length, size;
    std::map<uint16_t, uint64_t> index_offsets;
  };

  void write(const std::string& bytes);
  void write_record(uint8_t opcode, const std::string& body);
  void flush_chunk();

  FILE* file_ = nullptr;
  bool failed_ = false;
  uint64_t offset_ = 0;
  Crc32 data_crc_;     // from the first byte to the data end
  Crc32 summary_crc_;  // from the summary to the footer's CRC
  bool in_summary_ = false;

  // Records of the summary section, already encoded.
  std::vector<std::string> schemas_, channels_;
  std::vector<std::string> metadata_indexes_;
  std::vector<ChunkIndex> chunk_indexes_;

  // The open chunk: its records and, per channel, (log time, offset) pairs.
  std::string chunk_;
  std::vector<std::vector<std::pair<uint64_t, uint64_t>>> chunk_messages_;  // by channel id
  uint64_t chunk_start_ = 0, chunk_end_ = 0;

  // Statistics.
  uint64_t message_count_ = 0;
  uint64_t message_start_ = 0, message_end_ = 0;
  std::vector<uint64_t> channel_counts_;  // by channel id
  std::vector<bool> has_channel_;
  uint32_t metadata_count_ = 0;
};

}  // namespace rnr::bagtool
