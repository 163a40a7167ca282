#include "peer_common.h"

#include <chrono>
#include <cstdlib>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <sstream>
#include <thread>

#include <dds/dds.h>
#include <dds/ddsi/ddsi_cdrstream.h>
#include <dds/ddsi/ddsi_serdata.h>
#include <dds/ddsi/ddsi_sertype.h>
#include <dds/ddsi/q_protocol.h>

#include "rnr_test_types.h"

namespace rnr::peers {
namespace {

const dds_topic_descriptor_t* descriptor(Kind kind) {
  return kind == Kind::keyed ? &rnr_test_KeyedSample_desc : &rnr_test_KeylessSample_desc;
}

ddsi_sertype_extensibility extensibility(Kind kind) {
  return kind == Kind::keyed ? DDSI_SERTYPE_EXT_FINAL : DDSI_SERTYPE_EXT_APPENDABLE;
}

uint8_t payload_byte(uint64_t i, size_t j) {
  return static_cast<uint8_t>((i + j * 31u) & 0xffu);
}

char* dup_string(const std::string& s) {
  char* p = static_cast<char*>(dds_alloc(s.size() + 1));
  std::memcpy(p, s.c_str(), s.size() + 1);
  return p;
}

void fill_payload(dds_sequence_octet* seq, uint64_t i, size_t payload) {
  seq->_length = seq->_maximum = static_cast<uint32_t>(payload);
  seq->_release = true;
  seq->_buffer = payload == 0 ? nullptr : static_cast<uint8_t*>(dds_alloc(payload));
  for (size_t j = 0; j < payload; j++) {
    seq->_buffer[j] = payload_byte(i, j);
  }
}

void fill_keyed(rnr_test_KeyedSample* s, uint64_t i, size_t payload) {
  std::memset(s, 0, sizeof *s);
  s->id = static_cast<int32_t>(i % 5);
  s->seq = i;
  s->inner.id = static_cast<int32_t>(i * 7);
  s->inner.label = dup_string("inner-" + std::to_string(i));
  s->inner.color = static_cast<rnr_test_Color>(i % 3);
  s->text = dup_string("keyed sample " + std::to_string(i));
  s->values[0] = static_cast<int16_t>(i);
  s->values[1] = static_cast<int16_t>(-static_cast<int64_t>(i));
  s->values[2] = static_cast<int16_t>(2 * i);
  s->values[3] = 3;
  fill_payload(&s->payload, i, payload);
}

void fill_keyless(rnr_test_KeylessSample* s, uint64_t i, size_t payload) {
  std::memset(s, 0, sizeof *s);
  s->seq = i;
  s->text = dup_string("keyless sample " + std::to_string(i));
  const uint32_t n = static_cast<uint32_t>(1 + i % 4);
  s->numbers._length = s->numbers._maximum = n;
  s->numbers._release = true;
  s->numbers._buffer = static_cast<int32_t*>(dds_alloc(n * sizeof(int32_t)));
  for (uint32_t k = 0; k < n; k++) {
    s->numbers._buffer[k] = static_cast<int32_t>(i + k);
  }
  s->points[0].x = static_cast<double>(i);
  s->points[0].y = 0.5;
  s->points[1].x = -1.25;
  s->points[1].y = static_cast<double>(i) * 2;
  s->color = static_cast<rnr_test_Color>((i + 1) % 3);
  fill_payload(&s->payload, i, payload);
}

// A payload is described by its length and a checksum of its bytes.
std::string describe_payload(const dds_sequence_octet& p) {
  uint32_t sum = 0;
  for (uint32_t j = 0; j < p._length; j++) {
    sum = sum * 31u + p._buffer[j];
  }
  return "payload=" + std::to_string(p._length) + "/" + std::to_string(sum);
}

std::string describe_keyed(const rnr_test_KeyedSample& s) {
  std::ostringstream out;
  out << "id=" << s.id << " seq=" << s.seq << " inner=(" << s.inner.id << ","
      << (s.inner.label ? s.inner.label : "") << "," << static_cast<int>(s.inner.color)
      << ") text=" << (s.text ? s.text : "") << " values=[" << s.values[0] << "," << s.values[1]
      << "," << s.values[2] << "," << s.values[3] << "] " << describe_payload(s.payload);
  return out.str();
}

std::string describe_keyless(const rnr_test_KeylessSample& s) {
  std::ostringstream out;
  out << "seq=" << s.seq << " text=" << (s.text ? s.text : "") << " numbers=[";
  for (uint32_t k = 0; k < s.numbers._length; k++) {
    out << (k ? "," : "") << s.numbers._buffer[k];
  }
  out << "] points=[(" << s.points[0].x << "," << s.points[0].y << "),(" << s.points[1].x << ","
      << s.points[1].y << ")] color=" << static_cast<int>(s.color) << " "
      << describe_payload(s.payload);
  return out.str();
}

// A typed sample of either kind, released on scope exit.
struct AnySample {
  explicit AnySample(Kind k) : kind(k) { std::memset(&u, 0, sizeof u); }
  ~AnySample() { dds_sample_free(&u, descriptor(kind), DDS_FREE_CONTENTS); }
  AnySample(const AnySample&) = delete;
  AnySample& operator=(const AnySample&) = delete;
  void fill(uint64_t i, size_t payload) {
    if (kind == Kind::keyed) {
      fill_keyed(&u.keyed, i, payload);
    } else {
      fill_keyless(&u.keyless, i, payload);
    }
  }
  std::string describe() const {
    return kind == Kind::keyed ? describe_keyed(u.keyed) : describe_keyless(u.keyless);
  }
  std::string key() const { return kind == Kind::keyed ? std::to_string(u.keyed.id) : "-"; }
  Kind kind;
  union {
    rnr_test_KeyedSample keyed;
    rnr_test_KeylessSample keyless;
  } u;
};

dds_entity_t make_topic(dds_entity_t pp, const TopicArg& topic) {
  return dds_create_topic(pp, descriptor(topic.kind), topic.name.c_str(), nullptr, nullptr);
}

dds_qos_t* make_qos(const EndpointOptions& o) {
  dds_qos_t* q = dds_create_qos();
  dds_qset_reliability(q, o.reliable ? DDS_RELIABILITY_RELIABLE : DDS_RELIABILITY_BEST_EFFORT,
                       DDS_SECS(1));
  dds_qset_history(q, DDS_HISTORY_KEEP_ALL, 0);
  dds_qset_durability(q,
                      o.transient_local ? DDS_DURABILITY_TRANSIENT_LOCAL : DDS_DURABILITY_VOLATILE);
  if (o.transient_local) {
    // Late joiners get every sample, not just the last of each instance,
    // unless a depth is given.
    dds_qset_durability_service(
        q, 0, o.durability_depth > 0 ? DDS_HISTORY_KEEP_LAST : DDS_HISTORY_KEEP_ALL,
        o.durability_depth > 0 ? o.durability_depth : 1, DDS_LENGTH_UNLIMITED, DDS_LENGTH_UNLIMITED,
        DDS_LENGTH_UNLIMITED);
    if (o.durability_depth > 0) {
      dds_qset_history(q, DDS_HISTORY_KEEP_LAST, o.durability_depth);
    }
  }
  if (o.exclusive) {
    dds_qset_ownership(q, DDS_OWNERSHIP_EXCLUSIVE);
    dds_qset_ownership_strength(q, o.strength);
  }
  if (o.latency_budget_ms > 0) {
    dds_qset_latency_budget(q, DDS_MSECS(o.latency_budget_ms));
  }
  if (o.deadline_ms > 0) {
    dds_qset_deadline(q, DDS_MSECS(o.deadline_ms));
  }
  if (o.manual_liveliness_ms > 0) {
    dds_qset_liveliness(q, DDS_LIVELINESS_MANUAL_BY_TOPIC, DDS_MSECS(o.manual_liveliness_ms));
  }
  if (o.group_ordered) {
    dds_qset_destination_order(q, DDS_DESTINATIONORDER_BY_SOURCE_TIMESTAMP);
  }
  return q;
}

// The publisher or subscriber of the options' partitions and presentation,
// or the participant itself when they ask for neither.
dds_entity_t make_group(dds_entity_t pp, const EndpointOptions& o, bool publisher) {
  if (o.partitions.empty() && !o.group_ordered) {
    return pp;
  }
  dds_qos_t* q = dds_create_qos();
  if (!o.partitions.empty()) {
    std::vector<const char*> names;
    for (const std::string& p : o.partitions) {
      names.push_back(p.c_str());
    }
    dds_qset_partition(q, static_cast<uint32_t>(names.size()), names.data());
  }
  if (o.group_ordered) {
    dds_qset_presentation(q, DDS_PRESENTATION_GROUP, false, true);
  }
  const dds_entity_t g =
      publisher ? dds_create_publisher(pp, q, nullptr) : dds_create_subscriber(pp, q, nullptr);
  dds_delete_qos(q);
  return g;
}

int64_t now_ns() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

// Polls `matched` until it reaches n; false when timeout_ms passed first.
template <typename Matched>
bool wait_for_matches(Matched matched, uint32_t n, int timeout_ms) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  while (matched() < n) {
    if (std::chrono::steady_clock::now() > deadline) {
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

}  // namespace

bool parse_topic_arg(const std::string& text, TopicArg* topic_arg) {
  const auto colon = text.find(':');
  if (colon == std::string::npos || colon + 1 >= text.size()) {
    return false;
  }
  const std::string kind = text.substr(0, colon);
  if (kind == "keyed") {
    topic_arg->kind = Kind::keyed;
  } else if (kind == "keyless") {
    topic_arg->kind = Kind::keyless;
  } else {
    return false;
  }
  topic_arg->name = text.substr(colon + 1);
  return true;
}

const char* type_name(Kind kind) {
  return descriptor(kind)->m_typename;
}

bool default_xcdr2(Kind kind) {
  return kind == Kind::keyless;
}

std::vector<uint8_t> expected_bytes(Kind kind, uint64_t i, size_t payload, bool xcdr2) {
  AnySample sample(kind);
  sample.fill(i, payload);
  const uint32_t version = xcdr2 ? CDR_ENC_VERSION_2 : CDR_ENC_VERSION_1;
  dds_ostream_t os;
  dds_ostream_init(&os, 0, version);
  dds_stream_write(&os, reinterpret_cast<const char*>(&sample.u), descriptor(kind)->m_ops);
  const uint32_t pad = (4u - (os.m_index % 4u)) % 4u;
  std::vector<uint8_t> bytes(4 + os.m_index + pad, 0);
  const uint16_t id = ddsi_sertype_get_native_enc_identifier(
      version, ddsi_sertype_extensibility_enc_format(extensibility(kind)));
  std::memcpy(bytes.data(), &id, 2);
  bytes[3] = static_cast<uint8_t>(pad);
  std::memcpy(bytes.data() + 4, os.m_buffer, os.m_index);
  dds_ostream_fini(&os);
  return bytes;
}

std::string expected_description(Kind kind, uint64_t i, size_t payload) {
  AnySample sample(kind);
  sample.fill(i, payload);
  return sample.describe();
}

std::string hex(const uint8_t* data, size_t size) {
  static const char digits[] = "0123456789abcdef";
  std::string out(size * 2, '0');
  for (size_t k = 0; k < size; k++) {
    out[2 * k] = digits[data[k] >> 4];
    out[2 * k + 1] = digits[data[k] & 0xf];
  }
  return out;
}

bool decode(Kind kind, const uint8_t* data, size_t size, std::string* description,
            std::string* key) {
  if (data == nullptr || size < 4 || size > UINT32_MAX) {
    return false;
  }
  const uint8_t id = data[1];
  const bool little = (id & 1u) != 0;
  uint32_t version;
  if (data[0] != 0) {
    return false;
  } else if (id <= 3) {
    version = CDR_ENC_VERSION_1;
  } else if (id >= 6 && id <= 11) {
    version = CDR_ENC_VERSION_2;
  } else {
    return false;
  }
  const uint32_t pad = data[3] & 3u;
  const uint32_t body = static_cast<uint32_t>(size - 4);
  if (pad > body) {
    return false;
  }
  std::vector<char> copy(data + 4, data + size);
  uint32_t off = 0;
  const bool bswap = little != (DDSRT_ENDIAN == DDSRT_LITTLE_ENDIAN);
  if (dds_stream_normalize_data(copy.data(), &off, body - pad, bswap, version,
                                descriptor(kind)->m_ops) == nullptr) {
    return false;
  }
  AnySample sample(kind);
  dds_istream_t is;
  dds_istream_init(&is, body - pad, copy.data(), version);
  dds_stream_read(&is, reinterpret_cast<char*>(&sample.u), descriptor(kind)->m_ops);
  dds_istream_fini(&is);
  *description = sample.describe();
  *key = sample.key();
  return true;
}

int parse_endpoint_option(const std::string& a, const char* next, EndpointOptions* o) {
  auto number = [next](int64_t* out) {
    if (next == nullptr) {
      return false;
    }
    char* end = nullptr;
    const long long v = std::strtoll(next, &end, 10);
    if (end == next || *end != '\0' || v < 0) {
      return false;
    }
    *out = v;
    return true;
  };
  int64_t v = 0;
  if (a == "--partition") {
    if (next == nullptr) {
      return -1;
    }
    o->partitions.emplace_back(next);
    return 2;
  }
  if (a == "--group-ordered") {
    o->group_ordered = true;
    return 1;
  }
  if (a == "--exclusive" || a == "--latency-budget-ms" || a == "--deadline-ms" ||
      a == "--manual-liveliness-ms" || a == "--durability-depth") {
    if (!number(&v)) {
      return -1;
    }
    if (a == "--exclusive") {
      o->exclusive = true;
      o->strength = static_cast<int32_t>(v);
    } else if (a == "--latency-budget-ms") {
      o->latency_budget_ms = v;
    } else if (a == "--deadline-ms") {
      o->deadline_ms = v;
    } else if (a == "--manual-liveliness-ms") {
      o->manual_liveliness_ms = v;
    } else {
      o->durability_depth = static_cast<int32_t>(v);
    }
    return 2;
  }
  return 0;
}

// --- TypedWriter -----------------------------------------------------------

TypedWriter::TypedWriter(int domain, const TopicArg& topic, const EndpointOptions& options)
    : topic_(topic) {
  participant_ = dds_create_participant(static_cast<dds_domainid_t>(domain), nullptr, nullptr);
  if (participant_ <= 0) {
    return;
  }
  const dds_entity_t tp = make_topic(participant_, topic);
  if (tp <= 0) {
    return;
  }
  dds_qos_t* q = make_qos(options);
  if (options.xcdr2) {
    dds_data_representation_id_t id = DDS_DATA_REPRESENTATION_XCDR2;
    dds_qset_data_representation(q, 1, &id);
  }
  writer_ = dds_create_writer(make_group(participant_, options, true), tp, q, nullptr);
  dds_delete_qos(q);
}

TypedWriter::~TypedWriter() {
  if (participant_ > 0) {
    dds_delete(participant_);
  }
}

bool TypedWriter::write(uint64_t i, size_t payload) {
  AnySample sample(topic_.kind);
  sample.fill(i, payload);
  return dds_write(writer_, &sample.u) == DDS_RETCODE_OK;
}

std::vector<uint8_t> TypedWriter::guid_bytes() const {
  dds_guid_t g{};
  if (dds_get_guid(writer_, &g) != DDS_RETCODE_OK) {
    return {};
  }
  return std::vector<uint8_t>(g.v, g.v + 16);
}

std::string TypedWriter::guid_text() const {
  const std::vector<uint8_t> g = guid_bytes();
  if (g.size() != 16) {
    return "";
  }
  char text[36];
  std::snprintf(text, sizeof text,
                "%02x%02x%02x%02x %02x%02x%02x%02x %02x%02x%02x%02x %02x%02x%02x%02x", g[0], g[1],
                g[2], g[3], g[4], g[5], g[6], g[7], g[8], g[9], g[10], g[11], g[12], g[13], g[14],
                g[15]);
  return text;
}

uint32_t TypedWriter::matched_readers() const {
  dds_publication_matched_status_t st{};
  if (dds_get_publication_matched_status(writer_, &st) != DDS_RETCODE_OK) {
    return 0;
  }
  return st.current_count;
}

bool TypedWriter::wait_for_readers(uint32_t n, int timeout_ms) const {
  return wait_for_matches([this] { return matched_readers(); }, n, timeout_ms);
}

bool TypedWriter::wait_for_acks(int timeout_ms) const {
  return dds_wait_for_acks(writer_, DDS_MSECS(timeout_ms)) == DDS_RETCODE_OK;
}

// --- TypedReader -----------------------------------------------------------

TypedReader::TypedReader(int domain, const TopicArg& topic, const EndpointOptions& options)
    : topic_(topic) {
  participant_ = dds_create_participant(static_cast<dds_domainid_t>(domain), nullptr, nullptr);
  if (participant_ <= 0) {
    return;
  }
  const dds_entity_t tp = make_topic(participant_, topic);
  if (tp <= 0) {
    return;
  }
  dds_qos_t* q = make_qos(options);
  reader_ = dds_create_reader(make_group(participant_, options, false), tp, q, nullptr);
  dds_delete_qos(q);
}

TypedReader::~TypedReader() {
  if (participant_ > 0) {
    dds_delete(participant_);
  }
}

std::vector<Received> TypedReader::take() {
  std::vector<Received> out;
  constexpr uint32_t kBatch = 64;
  for (;;) {
    ddsi_serdata* buf[kBatch] = {};
    dds_sample_info_t si[kBatch];
    const dds_return_t n = dds_takecdr(reader_, buf, kBatch, si, DDS_ANY_STATE);
    if (n <= 0) {
      break;
    }
    const int64_t t = now_ns();
    for (dds_return_t k = 0; k < n; k++) {
      if (si[k].valid_data) {
        Received r;
        r.reception_ns = t;
        const uint32_t size = ddsi_serdata_size(buf[k]);
        r.bytes.resize(size);
        ddsi_serdata_to_ser(buf[k], 0, size, r.bytes.data());
        AnySample sample(topic_.kind);
        r.valid = ddsi_serdata_to_sample(buf[k], &sample.u, nullptr, nullptr);
        if (r.valid) {
          r.description = sample.describe();
          r.key = sample.key();
        }
        out.push_back(std::move(r));
      }
      ddsi_serdata_unref(buf[k]);
    }
    if (static_cast<uint32_t>(n) < kBatch) {
      break;
    }
  }
  return out;
}

std::vector<Received> TypedReader::take_until(size_t count, int timeout_ms) {
  std::vector<Received> all;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  while (all.size() < count && std::chrono::steady_clock::now() < deadline) {
    std::vector<Received> got = take();
    if (got.empty()) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
      continue;
    }
    for (auto& r : got) {
      all.push_back(std::move(r));
    }
  }
  return all;
}

uint32_t TypedReader::matched_writers() const {
  dds_subscription_matched_status_t st{};
  if (dds_get_subscription_matched_status(reader_, &st) != DDS_RETCODE_OK) {
    return 0;
  }
  return st.current_count;
}

bool TypedReader::wait_for_writers(uint32_t n, int timeout_ms) const {
  return wait_for_matches([this] { return matched_writers(); }, n, timeout_ms);
}

}  // namespace rnr::peers
