// Writes an MCAP file: header, schemas and channels, messages in chunks each
// followed by its message indexes, metadata, and a summary section (schemas,
// channels, statistics, metadata and chunk indexes, with summary offsets) so
// that a reader can seek by time. Chunks are compressed with zstd or lz4, or
// stored as they are; a chunk that compression would not make smaller is
// stored as it is. Full chunks are compressed and written by a thread of
// the writer's own while the next one fills.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "bagtool/crc32.h"

namespace rnr::bagtool {

using StringPairs = std::vector<std::pair<std::string, std::string>>;

enum class ChunkCompression { kNone, kZstd, kLz4 };

class McapWriter {
 public:
  McapWriter() = default;
  ~McapWriter();
  McapWriter(const McapWriter&) = delete;
  McapWriter& operator=(const McapWriter&) = delete;

  // Writes the magic and the header to `file`, which stays the caller's.
  bool open(FILE* file, const std::string& profile, std::string* error);
  // How chunks are stored, and the bytes of messages a chunk holds before it
  // is written (uncompressed, 1 MiB unless set). Before the first message.
  void set_chunks(ChunkCompression compression, size_t target);

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
    uint64_t start_time, end_time, offset, length, index_length, size, stored_size;
    const char* compression;
    std::map<uint16_t, uint64_t> index_offsets;
  };

  void write(const std::string& bytes);
  void write(const char* bytes, size_t size);
  // Compresses out_chunk_ into packed_; false when it is to be stored as it is.
  bool compress_chunk();
  // At least `size` bytes of packed_, its contents undefined.
  char* packed_room(size_t size);
  void write_record(uint8_t opcode, const std::string& body);
  void flush_chunk();
  void wait_written();
  // The writing thread: compresses and writes each chunk handed over.
  void write_chunks();
  void write_chunk();
  void start_writeback();

  FILE* file_ = nullptr;
  bool failed_ = false;
  int failed_errno_ = 0;  // errno of the first write that failed
  uint64_t offset_ = 0;
  off_t file_start_ = -1;      // the file's position at open; -1 when it cannot seek
  uint64_t written_back_ = 0;  // offset up to which writeback has been started
  Crc32 data_crc_;             // from the first byte to the data end
  Crc32 summary_crc_;          // from the summary to the footer's CRC
  bool in_summary_ = false;

  // Records of the summary section, already encoded.
  std::vector<std::string> schemas_, channels_;
  std::vector<std::string> metadata_indexes_;
  std::vector<ChunkIndex> chunk_indexes_;

  // The open chunk: its records and, per channel, (log time, offset) pairs.
  std::string chunk_;
  std::vector<std::vector<std::pair<uint64_t, uint64_t>>> chunk_messages_;  // by channel id
  uint64_t chunk_start_ = 0, chunk_end_ = 0;

  // The chunk handed to the writing thread (pending_ until it is written).
  // While a chunk is pending only that thread writes to the file and the
  // summary's chunk indexes.
  std::string out_chunk_;
  std::vector<std::vector<std::pair<uint64_t, uint64_t>>> out_messages_;
  uint64_t out_start_ = 0, out_end_ = 0;
  std::mutex mutex_;
  std::condition_variable work_, idle_;
  bool pending_ = false, stop_ = false;
  std::thread worker_;

  ChunkCompression compression_ = ChunkCompression::kNone;
  size_t chunk_target_ = size_t{1} << 20;
  // The open chunk's records compressed: packed_size_ bytes of a buffer that
  // only grows, so that no chunk pays for clearing it.
  std::unique_ptr<char[]> packed_;
  size_t packed_capacity_ = 0, packed_size_ = 0;
  void* zstd_ = nullptr;  // the zstd compression context, kept for every chunk

  // Statistics.
  uint64_t message_count_ = 0;
  uint64_t message_start_ = 0, message_end_ = 0;
  std::vector<uint64_t> channel_counts_;  // by channel id
  std::vector<bool> has_channel_;
  uint32_t metadata_count_ = 0;
};

}  // namespace rnr::bagtool
