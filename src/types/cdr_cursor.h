// The byte level of the sample decoder: the encapsulation header, the
// headers that frame members (XCDR1 parameters, XCDR2 member headers) and a
// cursor that reads aligned values in the sample's byte order without ever
// stepping past the end of the region it is in.
// Private to the decoder (src/types/cdr_*.cpp).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>

namespace rnr::types::cdr {

// Thrown for bytes that do not fit the type; decode_to_json turns it into
// its error text.
struct DecodeError {
  std::string text;
};

[[noreturn]] void fail(const std::string& text);

// The encapsulation header: two bytes of representation identifier (big
// endian whatever the sample's byte order) and two bytes of options. The low
// bit of the identifier says the data is little endian. XTypes 1.3, 7.4.3.4
// and 7.4.3.5 describe these and the member headers below.
namespace encapsulation {
constexpr size_t kHeaderSize = 4;
constexpr uint16_t kLittleEndianBit = 0x0001;
// The representation identifiers, big and little endian.
enum Representation : uint16_t {
  // XCDR1, final and appendable types.
  kCdrBe = 0x0000,
  kCdrLe = 0x0001,
  // XCDR1, mutable types (parameter lists).
  kPlCdrBe = 0x0002,
  kPlCdrLe = 0x0003,
  // XCDR2, final types.
  kCdr2Be = 0x0006,
  kCdr2Le = 0x0007,
  // XCDR2, appendable types (delimited by a DHEADER).
  kDCdr2Be = 0x0008,
  kDCdr2Le = 0x0009,
  // XCDR2, mutable types (DHEADER and member headers).
  kPlCdr2Be = 0x000a,
  kPlCdr2Le = 0x000b,
};
// The low two bits of the options: how many bytes of padding an XCDR2 writer
// appended after the data to round it up to a multiple of 4.
constexpr uint16_t kOptionPaddingMask = 0x0003;
}  // namespace encapsulation

// XCDR1 parameter header: a 16-bit parameter id and a 16-bit length, aligned
// to 4. Ids that do not fit, and lengths over 65535, use the extended form:
// id kExtended with length 8, then a 32-bit member id and a 32-bit length.
// The list ends with a kSentinel header.
namespace pid {
constexpr uint16_t kExtended = 0x3f01;  // PID_EXTENDED
constexpr uint16_t kSentinel = 0x3f02;  // PID_LIST_END
// The id without its two flag bits: must-understand (0x4000) and
// implementation extension (0x8000).
constexpr uint16_t kMask = 0x3fff;
// The extended header's own two words (member id, length).
constexpr uint16_t kExtendedLength = 8;
constexpr uint32_t kMemberIdMask = 0x0fffffff;  // member id in an extended header
// Every XCDR1 parameter list ends with a sentinel header of this size.
constexpr size_t kHeaderSize = 4;
}  // namespace pid

// XCDR2 DHEADER: a 32-bit byte length in front of an appendable or mutable
// aggregate, and in front of a collection whose elements are not primitive,
// so that a reader can skip what it does not understand.
constexpr size_t kDheaderSize = 4;

// XCDR2 member header (EMHEADER1): one 32-bit word before each member of a
// mutable type, and before a mutable union's discriminator and branch.
//   bit 31      M_FLAG, the member must be understood by the reader
//   bits 30-28  LC, the length code: how the member's length is given
//   bits 27-0   the member id
namespace emheader {
constexpr uint32_t kMustUnderstand = 0x80000000u;
constexpr unsigned kLengthCodeShift = 28;
constexpr uint32_t kLengthCodeMask = 0x7;  // after the shift
constexpr uint32_t kMemberIdMask = 0x0fffffffu;
// The word that gives the length for LC 4-7.
constexpr size_t kNextIntSize = 4;

// Length codes. LC 0-3: the member is 1, 2, 4 or 8 bytes (1 << LC), no
// further word. LC 4: a NEXTINT word after the header holds the length in
// bytes. LC 5-7: no separate NEXTINT; the member's own first word (the
// DHEADER of an aggregate, the length of a sequence or string) doubles as
// it, and the member is that word plus NEXTINT bytes (LC 5), NEXTINT 4-byte
// units (LC 6) or NEXTINT 8-byte units (LC 7).
// The codes are 0 to 7 in this order.
enum LengthCode : uint32_t {
  kLc1Byte,
  kLc2Bytes,
  kLc4Bytes,
  kLc8Bytes,
  kLcNextInt,
  kLcLeadingBytes,
  kLcLeadingWords4,
  kLcLeadingWords8,
};
static_assert(kLcNextInt == 4 && kLcLeadingWords8 == kLengthCodeMask);
}  // namespace emheader

// An XCDR2 member header taken apart.
struct MemberHeader {
  uint32_t id = 0;
  emheader::LengthCode length_code = emheader::kLc1Byte;
  bool must_understand = false;
};

// Reads a sample region by region. Positions are byte offsets from the
// start of the sample (encapsulation header included), so error texts name
// the byte a reader finds in a hex dump.
//
// Alignment is relative to an origin: the first byte after the encapsulation
// header, and in XCDR1 the first byte of each parameter (a parameter's
// content is aligned as if it started a stream of its own).
class Cursor {
 public:
  // Reads the encapsulation header; fails on a sample shorter than it or an
  // encapsulation this decoder does not know.
  Cursor(const uint8_t* data, size_t size);

  // 1 or 2: which rules of alignment and framing the sample follows.
  int version() const { return version_; }
  bool xcdr2() const { return version_ == 2; }

  size_t pos() const { return pos_; }
  // Bytes left in the current region.
  size_t remaining() const { return limit_ - pos_; }
  // Bytes left beyond the padding that would align the position to 4.
  size_t beyond_padding() const {
    const size_t pad = (4 - (pos_ - origin_) % 4) % 4;
    return remaining() > pad ? remaining() - pad : 0;
  }

  // Skips the padding before a value of `n` bytes. XCDR1 aligns a value to
  // its own size (up to 8); XCDR2 never aligns to more than 4, so a 64-bit
  // value that follows a 32-bit one comes without padding.
  void align(size_t n);

  // The next `n` bytes, unaligned.
  const uint8_t* take(size_t n);

  // An aligned value in the sample's byte order.
  template <typename T>
  T read() {
    align(sizeof(T));
    const uint8_t* p = take(sizeof(T));
    uint8_t bytes[sizeof(T)];
    for (size_t i = 0; i < sizeof(T); ++i) {
      bytes[i] = swap_ ? p[sizeof(T) - 1 - i] : p[i];
    }
    T v;
    memcpy(&v, bytes, sizeof v);
    return v;
  }
  uint32_t read_u32() { return read<uint32_t>(); }

  // Takes `n` bytes and copies them to `out` most significant byte first
  // (for values wider than any integer type, such as a 128-bit float).
  void take_msb_first(uint8_t* out, size_t n);

  // The 16-bit unit at `p` (bytes already taken) in the sample's byte order.
  uint16_t unit16(const uint8_t* p) const {
    return static_cast<uint16_t>(little_ ? p[0] | (p[1] << 8) : (p[0] << 8) | p[1]);
  }

  // XCDR1: the next parameter header, with an extended header's own words
  // skipped; false at the sentinel that ends the list.
  bool parameter_header(uint32_t* id, uint32_t* length);

  // XCDR2: the next member header word, taken apart. A NEXTINT after it is
  // not read: see member_length.
  MemberHeader member_header();

  // XCDR2: the length of the member whose header was just read. For LC 4 it
  // consumes the NEXTINT; for LC 5-7 it only looks at the word that follows,
  // which stays part of the member.
  size_t member_length(const MemberHeader& header);

  // Narrows the cursor to the next `length` bytes (a DHEADER's, a parameter's
  // or a member's extent) and restores the outer region when it goes out of
  // scope. With `reset_origin` alignment restarts at the region's first byte.
  class Region {
   public:
    Region(Cursor* cursor, size_t length, bool reset_origin);
    ~Region();
    // Moves the cursor to the region's end, skipping what was not read (the
    // members a newer writer appended, a member of an unknown id).
    void finish() { c_->pos_ = end_; }
    Region(const Region&) = delete;
    Region& operator=(const Region&) = delete;

   private:
    Cursor* c_;
    size_t limit_, origin_, end_ = 0;
  };

  // When `present`, reads an XCDR2 DHEADER (the byte length of what
  // follows) and narrows the cursor to that extent like a Region; otherwise
  // does nothing.
  class Delimited {
   public:
    Delimited(Cursor* cursor, bool present) {
      if (present) {
        region_.emplace(cursor, cursor->read_u32(), false);
      }
    }
    bool present() const { return region_.has_value(); }
    // Moves the cursor to the end of the extent, when there is one.
    void finish() {
      if (region_) {
        region_->finish();
      }
    }

   private:
    std::optional<Region> region_;
  };

 private:
  [[noreturn]] void cut_short() const;

  const uint8_t* data_;
  size_t limit_;  // end of the current region
  size_t pos_ = encapsulation::kHeaderSize;
  size_t origin_ = encapsulation::kHeaderSize;
  int version_ = 2;
  bool little_ = true;
  bool swap_ = false;  // the sample's byte order is not this machine's
};

}  // namespace rnr::types::cdr
