#include "control/messages.h"

#include <algorithm>
#include <cstring>

namespace rnr::control {
namespace {

// Appends fields in XCDR1 little-endian: each aligned to its size (at most
// 8), counted from behind the 4-byte encapsulation header.
class Encoder {
 public:
  Encoder() : out_{0x00, 0x01, 0x00, 0x00} {}  // CDR_LE, no options

  void u32(uint32_t value) { put(value, 4); }
  void u64(uint64_t value) { put(value, 8); }
  void boolean(bool value) { out_.push_back(value ? 1 : 0); }
  // Length with the terminating NUL, the characters, the NUL.
  void string(const std::string& text) {
    const size_t length = std::min(text.size(), std::strlen(text.c_str()));
    u32(static_cast<uint32_t>(length + 1));
    out_.insert(out_.end(), text.begin(), text.begin() + static_cast<std::ptrdiff_t>(length));
    out_.push_back(0);
  }
  std::vector<uint8_t> take() { return std::move(out_); }

 private:
  void put(uint64_t value, size_t size) {
    while ((out_.size() - 4) % size != 0) {
      out_.push_back(0);
    }
    for (size_t i = 0; i < size; ++i) {
      out_.push_back(static_cast<uint8_t>(value >> (8 * i)));
    }
  }
  std::vector<uint8_t> out_;
};

// Reads fields of a final type in the byte order and alignment rule the
// encapsulation header names: CDR (XCDR1, 8-byte fields aligned to 8) or
// CDR2 (XCDR2, aligned to 4 at most), big- or little-endian. Every read
// checks the bounds; a failed read makes every later one fail.
class Decoder {
 public:
  Decoder(const uint8_t* data, size_t size) : data_(data), size_(size) {
    if (data == nullptr || size < 4 || data[0] != 0x00) {
      ok_ = false;
      return;
    }
    switch (data[1]) {
      case 0x00:
        little_ = false, max_align_ = 8;
        break;
      case 0x01:
        little_ = true, max_align_ = 8;
        break;
      case 0x06:
        little_ = false, max_align_ = 4;
        break;
      case 0x07:
        little_ = true, max_align_ = 4;
        break;
      default:
        ok_ = false;
        return;
    }
    pos_ = 4;
  }

  uint32_t u32() { return static_cast<uint32_t>(get(4)); }
  uint64_t u64() { return get(8); }
  bool boolean() {
    if (!ok_ || pos_ >= size_ || data_[pos_] > 1) {
      ok_ = false;
      return false;
    }
    return data_[pos_++] == 1;
  }
  std::string string() {
    const uint32_t length = u32();
    if (!ok_ || length == 0 || length > size_ - pos_ || data_[pos_ + length - 1] != 0) {
      ok_ = false;
      return {};
    }
    std::string text(reinterpret_cast<const char*>(data_ + pos_), length - 1);
    pos_ += length;
    if (text.find('\0') != std::string::npos) {
      ok_ = false;
      return {};
    }
    return text;
  }
  bool ok() const { return ok_; }

 private:
  uint64_t get(size_t size) {
    const size_t align = std::min(size, max_align_);
    if (ok_) {
      const size_t offset = pos_ - 4;
      const size_t padding = (align - offset % align) % align;
      if (padding + size > size_ - pos_) {
        ok_ = false;
      } else {
        pos_ += padding;
      }
    }
    if (!ok_) {
      return 0;
    }
    uint64_t value = 0;
    for (size_t i = 0; i < size; ++i) {
      const uint64_t byte = data_[pos_ + i];
      value |= byte << (8 * (little_ ? i : size - 1 - i));
    }
    pos_ += size;
    return value;
  }

  const uint8_t* data_;
  size_t size_;
  size_t pos_ = 0;
  size_t max_align_ = 8;
  bool little_ = true;
  bool ok_ = true;
};

}  // namespace

std::vector<uint8_t> encode(const CommandMessage& message) {
  Encoder e;
  e.string(message.target);
  e.string(message.action);
  e.string(message.sender);
  e.u64(message.id);
  return e.take();
}

std::vector<uint8_t> encode(const AckMessage& message) {
  Encoder e;
  e.string(message.recorder);
  e.string(message.sender);
  e.u64(message.id);
  e.boolean(message.ok);
  e.string(message.detail);
  return e.take();
}

std::vector<uint8_t> encode(const RecorderStatus& status) {
  Encoder e;
  e.string(status.name);
  e.string(status.host);
  e.u64(static_cast<uint64_t>(status.pid));
  e.string(status.state);
  e.string(status.current_file);
  e.u64(status.samples);
  e.u64(status.bytes);
  e.u64(status.lost);
  e.u64(status.topics);
  e.u64(status.free_disk);
  return e.take();
}

bool decode(const uint8_t* data, size_t size, CommandMessage* message) {
  Decoder d(data, size);
  CommandMessage m;
  m.target = d.string();
  m.action = d.string();
  m.sender = d.string();
  m.id = d.u64();
  if (!d.ok()) {
    return false;
  }
  *message = std::move(m);
  return true;
}

bool decode(const uint8_t* data, size_t size, AckMessage* message) {
  Decoder d(data, size);
  AckMessage m;
  m.recorder = d.string();
  m.sender = d.string();
  m.id = d.u64();
  m.ok = d.boolean();
  m.detail = d.string();
  if (!d.ok()) {
    return false;
  }
  *message = std::move(m);
  return true;
}

bool decode(const uint8_t* data, size_t size, RecorderStatus* status) {
  Decoder d(data, size);
  RecorderStatus s;
  s.name = d.string();
  s.host = d.string();
  s.pid = static_cast<int64_t>(d.u64());
  s.state = d.string();
  s.current_file = d.string();
  s.samples = d.u64();
  s.bytes = d.u64();
  s.lost = d.u64();
  s.topics = d.u64();
  s.free_disk = d.u64();
  if (!d.ok()) {
    return false;
  }
  *status = std::move(s);
  return true;
}

}  // namespace rnr::control
