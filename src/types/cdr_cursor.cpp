// The byte level of the sample decoder: see cdr_cursor.h.
#include "types/cdr_cursor.h"

#include <bit>

namespace rnr::types::cdr {

void fail(const std::string& text) {
  throw DecodeError{text};
}

Cursor::Cursor(const uint8_t* data, size_t size) : data_(data), limit_(size) {
  using namespace encapsulation;
  if (size < kHeaderSize) {
    fail("sample shorter than its encapsulation header");
  }
  const auto representation = static_cast<uint16_t>((data[0] << 8) | data[1]);
  const auto options = static_cast<uint16_t>((data[2] << 8) | data[3]);
  switch (representation) {
    case kCdrBe:
    case kCdrLe:
    case kPlCdrBe:
    case kPlCdrLe:
      version_ = 1;
      break;
    case kCdr2Be:
    case kCdr2Le:
    case kDCdr2Be:
    case kDCdr2Le:
    case kPlCdr2Be:
    case kPlCdr2Le:
      version_ = 2;
      break;
    default:
      fail("unknown encapsulation " + std::to_string(representation));
  }
  // The identifier alone says how the top-level type is framed, but the
  // decoder learns that from the type itself: only the XCDR version and the
  // byte order matter here.
  little_ = (representation & kLittleEndianBit) != 0;
  swap_ = little_ != (std::endian::native == std::endian::little);
  // XCDR2 writers pad the data to a multiple of 4 and say how much in the
  // options; those bytes are no part of the value. XCDR1 leaves the options
  // unused, so they are not trusted there.
  const size_t padding = options & kOptionPaddingMask;
  if (version_ == 2 && padding <= size - kHeaderSize) {
    limit_ = size - padding;
  }
}

void Cursor::cut_short() const {
  fail("sample cut short at byte " + std::to_string(pos_));
}

void Cursor::align(size_t n) {
  if (version_ == 2 && n > 4) {
    n = 4;
  }
  const size_t rel = pos_ - origin_;
  const size_t pad = (n - rel % n) % n;
  if (pad > limit_ - pos_) {
    cut_short();
  }
  pos_ += pad;
}

const uint8_t* Cursor::take(size_t n) {
  if (n > limit_ - pos_) {
    cut_short();
  }
  const uint8_t* p = data_ + pos_;
  pos_ += n;
  return p;
}

void Cursor::take_msb_first(uint8_t* out, size_t n) {
  const uint8_t* p = take(n);
  for (size_t i = 0; i < n; ++i) {
    out[i] = p[little_ ? n - 1 - i : i];
  }
}

bool Cursor::parameter_header(uint32_t* id, uint32_t* length) {
  align(4);
  const uint16_t raw_id = read<uint16_t>();
  const uint16_t raw_length = read<uint16_t>();
  if ((raw_id & pid::kMask) == pid::kSentinel) {
    return false;
  }
  if ((raw_id & pid::kMask) != pid::kExtended) {
    *id = raw_id & pid::kMask;
    *length = raw_length;
    return true;
  }
  if (raw_length < pid::kExtendedLength) {
    fail("extended parameter header too short");
  }
  *id = read_u32() & pid::kMemberIdMask;
  *length = read_u32();
  // The short header's length covers the two words just read and whatever
  // a writer put after them before the member starts.
  const size_t rest = raw_length - pid::kExtendedLength;
  if (rest > remaining()) {
    fail("parameter runs past the end");
  }
  pos_ += rest;
  return true;
}

MemberHeader Cursor::member_header() {
  using namespace emheader;
  const uint32_t word = read_u32();
  MemberHeader header;
  header.id = word & kMemberIdMask;
  // Three bits: every value is a length code.
  header.length_code = static_cast<LengthCode>((word >> kLengthCodeShift) & kLengthCodeMask);
  header.must_understand = (word & kMustUnderstand) != 0;
  return header;
}

size_t Cursor::member_length(const MemberHeader& header) {
  using namespace emheader;
  switch (header.length_code) {
    case kLc1Byte:
    case kLc2Bytes:
    case kLc4Bytes:
    case kLc8Bytes:
      return size_t{1} << header.length_code;
    case kLcNextInt:
      return read_u32();
    case kLcLeadingBytes:
    case kLcLeadingWords4:
    case kLcLeadingWords8:
      break;
  }
  // LC 5-7: the next word is both the length and the member's first word, so
  // it is looked at here and read again by the member's own decoding.
  align(kNextIntSize);
  if (remaining() < kNextIntSize) {
    fail("member header cut short");
  }
  uint32_t next;
  memcpy(&next, data_ + pos_, kNextIntSize);
  if (swap_) {
    next = __builtin_bswap32(next);
  }
  const uint64_t unit = header.length_code == kLcLeadingBytes    ? 1
                        : header.length_code == kLcLeadingWords4 ? 4
                                                                 : 8;
  const uint64_t total = kNextIntSize + uint64_t{next} * unit;
  if (total > remaining()) {
    fail("member length runs past the end");
  }
  return static_cast<size_t>(total);
}

Cursor::Region::Region(Cursor* cursor, size_t length, bool reset_origin)
    : c_(cursor), limit_(cursor->limit_), origin_(cursor->origin_) {
  if (length > cursor->remaining()) {
    fail("length " + std::to_string(length) + " at byte " + std::to_string(cursor->pos_) +
         " runs past the end of the sample");
  }
  end_ = cursor->pos_ + length;
  cursor->limit_ = end_;
  if (reset_origin) {
    cursor->origin_ = cursor->pos_;
  }
}

Cursor::Region::~Region() {
  c_->limit_ = limit_;
  c_->origin_ = origin_;
}

}  // namespace rnr::types::cdr
