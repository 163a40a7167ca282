// Typed DDS endpoints of the test types (tests/peers/rnr_test_types.idl) on
// Cyclone DDS, behind an interface free of Cyclone headers, so that tests of
// the binding can talk to real typed applications in-process and the talker
// and listener peers share one definition of the published values.
//
// Sample i of a topic is fully determined by (kind, i, payload size): both
// sides can compute the expected values and the expected serialized bytes.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace rnr::peers {

enum class Kind { keyed, keyless };

struct TopicArg {
  Kind kind = Kind::keyed;
  std::string name;
};

// "keyed:NAME" or "keyless:NAME"; false for anything else.
bool parse_topic_arg(const std::string& text, TopicArg* topic_arg);

// The type name each kind registers ("rnr_test::KeyedSample", ...).
const char* type_name(Kind kind);

// The serialized form of sample i (encapsulation header first), as a
// Cyclone writer using representation XCDR2 (`xcdr2`) or XCDR1 sends it.
std::vector<uint8_t> expected_bytes(Kind kind, uint64_t i, size_t payload, bool xcdr2);
// A one-line description of sample i's values, as `describe` gives it.
std::string expected_description(Kind kind, uint64_t i, size_t payload);
// Whether a kind's writers use XCDR2 unless told otherwise.
bool default_xcdr2(Kind kind);

std::string hex(const uint8_t* data, size_t size);
// Decodes the serialized bytes of a sample; false when they do not decode.
bool decode(Kind kind, const uint8_t* data, size_t size, std::string* description,
            std::string* key);

struct EndpointOptions {
  bool reliable = true;
  bool transient_local = false;
  bool xcdr2 = false;  // writers: force XCDR2 (otherwise the type's default)
  // Transient-local writers: how many samples per instance late joiners
  // get (0: all of them).
  int32_t durability_depth = 0;
  std::vector<std::string> partitions;  // of the publisher or subscriber
  bool exclusive = false;               // exclusive ownership
  int32_t strength = 0;                 // writers: ownership strength
  int64_t latency_budget_ms = 0;
  int64_t deadline_ms = 0;           // 0: infinite
  int64_t manual_liveliness_ms = 0;  // manual by topic with this lease; 0: automatic
  bool group_ordered = false;        // group presentation, ordered access, by-source order
};
// Reads one endpoint option of the talker and listener command lines into
// `options` (`next` is the argument behind it, if any); returns how many
// arguments it used (0: not an option of these, -1: a bad value).
int parse_endpoint_option(const std::string& arg, const char* next, EndpointOptions* options);

// A participant with one typed writer.
class TypedWriter {
 public:
  TypedWriter(int domain, const TopicArg& topic, const EndpointOptions& options = {});
  ~TypedWriter();
  TypedWriter(const TypedWriter&) = delete;
  TypedWriter& operator=(const TypedWriter&) = delete;

  bool ok() const { return writer_ > 0; }
  // Writes sample i with the given payload size; false on failure.
  bool write(uint64_t i, size_t payload);
  // The writer's GUID in the 35-character text form.
  std::string guid_text() const;
  // The 16 GUID bytes as Cyclone reports them (entity id big-endian).
  std::vector<uint8_t> guid_bytes() const;
  uint32_t matched_readers() const;
  // Waits until at least n readers matched, up to timeout_ms.
  bool wait_for_readers(uint32_t n, int timeout_ms) const;
  // Waits until every sample was acknowledged, up to timeout_ms.
  bool wait_for_acks(int timeout_ms) const;

 private:
  TopicArg topic_;
  int32_t participant_ = 0;
  int32_t writer_ = 0;
};

struct Received {
  std::vector<uint8_t> bytes;
  std::string key;          // the key value for keyed topics, "-" otherwise
  std::string description;  // the decoded values
  int64_t reception_ns = 0;
  bool valid = false;
};

// A participant with one typed reader.
class TypedReader {
 public:
  TypedReader(int domain, const TopicArg& topic, const EndpointOptions& options = {});
  ~TypedReader();
  TypedReader(const TypedReader&) = delete;
  TypedReader& operator=(const TypedReader&) = delete;

  bool ok() const { return reader_ > 0; }
  // Takes what has arrived (valid samples only).
  std::vector<Received> take();
  // Takes until `count` samples arrived in total or timeout_ms passed.
  std::vector<Received> take_until(size_t count, int timeout_ms);
  uint32_t matched_writers() const;
  bool wait_for_writers(uint32_t n, int timeout_ms) const;

 private:
  TopicArg topic_;
  int32_t participant_ = 0;
  int32_t reader_ = 0;
};

}  // namespace rnr::peers
