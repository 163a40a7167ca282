#include "bagtool/mcap_writer.h"

#include <lz4frame.h>
#include <zstd.h>

#include <fcntl.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace rnr::bagtool {
namespace {

constexpr char kMagic[] = "\x89MCAP0\r\n";
constexpr size_t kMagicSize = 8;
// zstd's fastest level: an export is bound by the read of the bag, and the
// fast levels already take most of the redundancy of DDS samples.
constexpr int kZstdLevel = 1;

enum Opcode : uint8_t {
  kHeader = 0x01,
  kFooter = 0x02,
  kSchema = 0x03,
  kChannel = 0x04,
  kMessage = 0x05,
  kChunk = 0x06,
  kMessageIndex = 0x07,
  kChunkIndex = 0x08,
  kStatistics = 0x0b,
  kMetadata = 0x0c,
  kMetadataIndex = 0x0d,
  kSummaryOffset = 0x0e,
  kDataEnd = 0x0f,
};

// Little-endian fields, as every MCAP integer is stored.
template <typename T>
void put_at(char* at, T value) {
  for (size_t i = 0; i < sizeof(T); ++i) {
    at[i] = static_cast<char>(static_cast<uint64_t>(value) >> (8 * i));
  }
}

template <typename T>
void put(std::string* out, T value) {
  char bytes[sizeof(T)];
  put_at(bytes, value);
  out->append(bytes, sizeof(T));
}

void put_string(std::string* out, const std::string& text) {
  put<uint32_t>(out, static_cast<uint32_t>(text.size()));
  out->append(text);
}

void put_pairs(std::string* out, const StringPairs& pairs) {
  std::string body;
  for (const auto& [key, value] : pairs) {
    put_string(&body, key);
    put_string(&body, value);
  }
  put_string(out, body);
}

// A record: opcode, content length, content.
std::string record(uint8_t opcode, const std::string& body) {
  std::string out;
  out.reserve(body.size() + 9);
  out.push_back(static_cast<char>(opcode));
  put<uint64_t>(&out, body.size());
  out.append(body);
  return out;
}

const char* compression_name(ChunkCompression c) {
  switch (c) {
    case ChunkCompression::kZstd:
      return "zstd";
    case ChunkCompression::kLz4:
      return "lz4";
    case ChunkCompression::kNone:
      break;
  }
  return "";
}

}  // namespace

McapWriter::~McapWriter() {
  {
    std::lock_guard lock(mutex_);
    stop_ = true;
  }
  work_.notify_one();
  if (worker_.joinable()) {
    worker_.join();
  }
  ZSTD_freeCCtx(static_cast<ZSTD_CCtx*>(zstd_));
}

void McapWriter::set_chunks(ChunkCompression compression, size_t target) {
  compression_ = compression;
  chunk_target_ = target;
}

char* McapWriter::packed_room(size_t size) {
  if (packed_capacity_ < size) {
    packed_ = std::make_unique_for_overwrite<char[]>(size);
    packed_capacity_ = size;
  }
  return packed_.get();
}

bool McapWriter::compress_chunk() {
  packed_size_ = 0;
  if (compression_ == ChunkCompression::kZstd) {
    if (zstd_ == nullptr) {
      zstd_ = ZSTD_createCCtx();
      if (zstd_ == nullptr) {
        return false;
      }
    }
    const size_t bound = ZSTD_compressBound(out_chunk_.size());
    const size_t n = ZSTD_compressCCtx(static_cast<ZSTD_CCtx*>(zstd_), packed_room(bound), bound,
                                       out_chunk_.data(), out_chunk_.size(), kZstdLevel);
    if (ZSTD_isError(n) || n >= out_chunk_.size()) {
      return false;
    }
    packed_size_ = n;
    return true;
  }
  if (compression_ == ChunkCompression::kLz4) {
    // MCAP readers take lz4 as the frame format, one frame a chunk.
    LZ4F_preferences_t preferences{};
    preferences.frameInfo.contentSize = out_chunk_.size();
    const size_t bound = LZ4F_compressFrameBound(out_chunk_.size(), &preferences);
    const size_t n = LZ4F_compressFrame(packed_room(bound), bound, out_chunk_.data(),
                                        out_chunk_.size(), &preferences);
    if (LZ4F_isError(n) || n >= out_chunk_.size()) {
      return false;
    }
    packed_size_ = n;
    return true;
  }
  return false;
}

bool McapWriter::open(FILE* file, const std::string& profile, std::string* error) {
  file_ = file;
  if (file_ == nullptr) {
    *error = std::string("cannot write the MCAP file: ") + strerror(errno);
    return false;
  }
  file_start_ = ftello(file_);
  // The data section's CRC runs from the first byte of the file, magic and
  // header included, to the last record before the data end.
  write(std::string(kMagic, kMagicSize));
  std::string body;
  put_string(&body, profile);
  put_string(&body, "quorvin-rnr-bag");
  write_record(kHeader, body);
  return !failed_;
}

void McapWriter::write(const std::string& bytes) {
  write(bytes.data(), bytes.size());
}

void McapWriter::write(const char* bytes, size_t size) {
  if (!failed_ && fwrite(bytes, 1, size, file_) != size) {
    failed_ = true;
    failed_errno_ = errno;
  }
  (in_summary_ ? summary_crc_ : data_crc_).update(bytes, size);
  offset_ += size;
}

void McapWriter::write_record(uint8_t opcode, const std::string& body) {
  write(record(opcode, body));
}

void McapWriter::add_schema(uint16_t id, const std::string& name, const std::string& encoding,
                            const std::string& data) {
  std::string body;
  put<uint16_t>(&body, id);
  put_string(&body, name);
  put_string(&body, encoding);
  put_string(&body, data);
  schemas_.push_back(record(kSchema, body));
  write(schemas_.back());
}

void McapWriter::add_channel(uint16_t id, uint16_t schema_id, const std::string& topic,
                             const std::string& message_encoding, const StringPairs& metadata) {
  std::string body;
  put<uint16_t>(&body, id);
  put<uint16_t>(&body, schema_id);
  put_string(&body, topic);
  put_string(&body, message_encoding);
  put_pairs(&body, metadata);
  channels_.push_back(record(kChannel, body));
  write(channels_.back());
  if (channel_counts_.size() <= id) {
    channel_counts_.resize(id + 1u);
  }
  has_channel_.resize(channel_counts_.size());
  has_channel_[id] = true;
}

void McapWriter::add_metadata(const std::string& name, const StringPairs& entries) {
  flush_chunk();  // metadata records stand outside chunks
  wait_written();
  std::string body;
  put_string(&body, name);
  put_pairs(&body, entries);
  const uint64_t at = offset_;
  const std::string bytes = record(kMetadata, body);
  write(bytes);
  std::string index;
  put<uint64_t>(&index, at);
  put<uint64_t>(&index, bytes.size());
  put_string(&index, name);
  metadata_indexes_.push_back(record(kMetadataIndex, index));
  ++metadata_count_;
}

void McapWriter::add_message(uint16_t channel_id, uint32_t sequence, uint64_t log_time,
                             uint64_t publish_time, const uint8_t* data, size_t size) {
  if (chunk_.empty()) {
    chunk_start_ = chunk_end_ = log_time;
  }
  chunk_start_ = std::min(chunk_start_, log_time);
  chunk_end_ = std::max(chunk_end_, log_time);
  if (chunk_messages_.size() <= channel_id) {
    chunk_messages_.resize(channel_id + 1u);
  }
  chunk_messages_[channel_id].emplace_back(log_time, chunk_.size());
  // Opcode, length, channel, sequence, log time, publish time.
  char head[1 + 8 + 2 + 4 + 8 + 8];
  head[0] = static_cast<char>(kMessage);
  put_at<uint64_t>(head + 1, 2 + 4 + 8 + 8 + size);
  put_at<uint16_t>(head + 9, channel_id);
  put_at<uint32_t>(head + 11, sequence);
  put_at<uint64_t>(head + 15, log_time);
  put_at<uint64_t>(head + 23, publish_time);
  chunk_.append(head, sizeof head);
  chunk_.append(reinterpret_cast<const char*>(data), size);

  if (message_count_ == 0) {
    message_start_ = message_end_ = log_time;
  }
  message_start_ = std::min(message_start_, log_time);
  message_end_ = std::max(message_end_, log_time);
  ++message_count_;
  if (channel_counts_.size() <= channel_id) {
    channel_counts_.resize(channel_id + 1u);
    has_channel_.resize(channel_counts_.size());
  }
  ++channel_counts_[channel_id];
  if (chunk_.size() >= chunk_target_) {
    flush_chunk();
  }
}

// The chunk being filled changes places with the one the writing thread
// has finished, so that reading the bag and compressing and writing chunks
// go on side by side.
void McapWriter::flush_chunk() {
  if (chunk_.empty()) {
    return;
  }
  std::unique_lock lock(mutex_);
  idle_.wait(lock, [&] { return !pending_; });
  std::swap(chunk_, out_chunk_);
  std::swap(chunk_messages_, out_messages_);
  out_start_ = chunk_start_;
  out_end_ = chunk_end_;
  chunk_.clear();
  for (auto& entries : chunk_messages_) {
    entries.clear();
  }
  pending_ = true;
  if (!worker_.joinable()) {
    worker_ = std::thread([this] { write_chunks(); });
  }
  lock.unlock();
  work_.notify_one();
}

void McapWriter::wait_written() {
  std::unique_lock lock(mutex_);
  idle_.wait(lock, [&] { return !pending_; });
}

void McapWriter::write_chunks() {
  std::unique_lock lock(mutex_);
  for (;;) {
    work_.wait(lock, [&] { return pending_ || stop_; });
    if (!pending_) {
      return;
    }
    lock.unlock();
    write_chunk();
    start_writeback();
    lock.lock();
    pending_ = false;
    idle_.notify_all();
  }
}

// Starts the disk writing the chunks written so far, without waiting for
// it: the caller's fsync at the end then waits only for the last of them,
// not for the whole file, and the dirty pages of a big export do not pile
// up. A file that cannot seek (a pipe) has nothing to write back.
void McapWriter::start_writeback() {
  if (failed_ || file_start_ < 0) {
    return;
  }
  if (fflush(file_) != 0) {
    failed_ = true;
    failed_errno_ = errno;
    return;
  }
  const int fd = fileno(file_);
  if (fd >= 0 && offset_ > written_back_) {
    // Only a hint: a file system that cannot do it writes at the fsync.
    (void)sync_file_range(fd, file_start_ + static_cast<off_t>(written_back_),
                          static_cast<off_t>(offset_ - written_back_), SYNC_FILE_RANGE_WRITE);
    written_back_ = offset_;
  }
}

void McapWriter::write_chunk() {
  Crc32 crc;
  crc.update(out_chunk_.data(), out_chunk_.size());
  const bool packed = compression_ != ChunkCompression::kNone && compress_chunk();
  const char* stored = packed ? packed_.get() : out_chunk_.data();
  const size_t stored_size = packed ? packed_size_ : out_chunk_.size();
  std::string head;
  put<uint64_t>(&head, out_start_);
  put<uint64_t>(&head, out_end_);
  put<uint64_t>(&head, out_chunk_.size());
  put<uint32_t>(&head, crc.value());
  put_string(&head, packed ? compression_name(compression_) : "");
  put<uint64_t>(&head, stored_size);

  ChunkIndex index{};
  index.start_time = out_start_;
  index.end_time = out_end_;
  index.offset = offset_;
  index.size = out_chunk_.size();
  index.stored_size = stored_size;
  index.compression = packed ? compression_name(compression_) : "";
  // The chunk record is written in two parts so that its records are not
  // copied once more.
  std::string prefix;
  prefix.push_back(static_cast<char>(kChunk));
  put<uint64_t>(&prefix, head.size() + stored_size);
  write(prefix);
  write(head);
  write(stored, stored_size);
  index.length = offset_ - index.offset;

  const uint64_t indexes_start = offset_;
  for (size_t channel = 0; channel < out_messages_.size(); ++channel) {
    const auto& entries = out_messages_[channel];
    if (entries.empty()) {
      continue;
    }
    std::string body;
    put<uint16_t>(&body, static_cast<uint16_t>(channel));
    put<uint32_t>(&body, static_cast<uint32_t>(entries.size() * 16));
    for (const auto& [time, at] : entries) {
      put<uint64_t>(&body, time);
      put<uint64_t>(&body, at);
    }
    index.index_offsets[static_cast<uint16_t>(channel)] = offset_;
    write_record(kMessageIndex, body);
  }
  index.index_length = offset_ - indexes_start;
  chunk_indexes_.push_back(std::move(index));
}

bool McapWriter::finish(std::string* error) {
  flush_chunk();
  wait_written();
  std::string data_end;
  put<uint32_t>(&data_end, data_crc_.value());
  write_record(kDataEnd, data_end);

  // The summary: one group per record kind, each listed in a summary offset.
  const uint64_t summary_start = offset_;
  in_summary_ = true;
  struct Group {
    uint8_t opcode;
    uint64_t start, length;
  };
  std::vector<Group> groups;
  auto group = [&](uint8_t opcode, const std::vector<std::string>& records) {
    if (records.empty()) {
      return;
    }
    const uint64_t start = offset_;
    for (const auto& r : records) {
      write(r);
    }
    groups.push_back({opcode, start, offset_ - start});
  };
  group(kSchema, schemas_);
  group(kChannel, channels_);

  std::string stats;
  put<uint64_t>(&stats, message_count_);
  put<uint16_t>(&stats, static_cast<uint16_t>(schemas_.size()));
  put<uint32_t>(&stats, static_cast<uint32_t>(channels_.size()));
  put<uint32_t>(&stats, 0);  // attachments
  put<uint32_t>(&stats, metadata_count_);
  put<uint32_t>(&stats, static_cast<uint32_t>(chunk_indexes_.size()));
  put<uint64_t>(&stats, message_start_);
  put<uint64_t>(&stats, message_end_);
  std::string counts;
  for (size_t channel = 0; channel < channel_counts_.size(); ++channel) {
    if (has_channel_[channel] || channel_counts_[channel] > 0) {
      put<uint16_t>(&counts, static_cast<uint16_t>(channel));
      put<uint64_t>(&counts, channel_counts_[channel]);
    }
  }
  put_string(&stats, counts);
  group(kStatistics, {record(kStatistics, stats)});
  group(kMetadataIndex, metadata_indexes_);

  std::vector<std::string> chunk_records;
  for (const auto& c : chunk_indexes_) {
    std::string body;
    put<uint64_t>(&body, c.start_time);
    put<uint64_t>(&body, c.end_time);
    put<uint64_t>(&body, c.offset);
    put<uint64_t>(&body, c.length);
    std::string offsets;
    for (const auto& [channel, at] : c.index_offsets) {
      put<uint16_t>(&offsets, channel);
      put<uint64_t>(&offsets, at);
    }
    put_string(&body, offsets);
    put<uint64_t>(&body, c.index_length);
    put_string(&body, c.compression);
    put<uint64_t>(&body, c.stored_size);
    put<uint64_t>(&body, c.size);
    chunk_records.push_back(record(kChunkIndex, body));
  }
  group(kChunkIndex, chunk_records);

  const uint64_t offsets_start = offset_;
  for (const auto& g : groups) {
    std::string body;
    put<uint8_t>(&body, g.opcode);
    put<uint64_t>(&body, g.start);
    put<uint64_t>(&body, g.length);
    write_record(kSummaryOffset, body);
  }

  // The summary CRC covers the summary, its offsets and the footer up to
  // the CRC itself.
  std::string footer;
  footer.push_back(static_cast<char>(kFooter));
  put<uint64_t>(&footer, 8 + 8 + 4);
  put<uint64_t>(&footer, summary_start);
  put<uint64_t>(&footer, offsets_start);
  write(footer);
  std::string tail;
  put<uint32_t>(&tail, summary_crc_.value());
  tail.append(kMagic, kMagicSize);
  write(tail);

  const bool flushed = fflush(file_) == 0 && !ferror(file_);
  const int flush_errno = errno;
  file_ = nullptr;
  if (failed_ || !flushed) {
    // The first failure names the cause (a full disk, say); errno may have
    // been changed by the calls since.
    const int cause = failed_errno_ != 0 ? failed_errno_ : flush_errno;
    *error = std::string("cannot write the MCAP file: ") +
             (cause != 0 ? strerror(cause) : "write error");
    return false;
  }
  return true;
}

}  // namespace rnr::bagtool
