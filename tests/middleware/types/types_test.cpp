// Type discovery against a peer process, IDL round trips through idlc, and
// the dump of samples published by typed writers.
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <chrono>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include <dds/dds.h>
#include <dds/ddsi/ddsi_xqos.h>
#include <dds/ddsi/ddsi_typelib.h>
#include <dds/ddsi/ddsi_xt_impl.h>
#include <dds/ddsi/ddsi_serdata.h>

#include "idlc.h"
#include "recorder/dump.h"
#include "rich_types.h"
#include "simple_types.h"
#include "middleware/types/dynamic_type_support.h"
#include "middleware/types/type_lookup.h"

namespace {

using namespace std::chrono_literals;
using rnr::types::TypeGraph;
using TypeInfoPtr = std::shared_ptr<const dds_typeinfo_t>;

// The peer process, ended when the test ends.
class Peer {
 public:
  explicit Peer(int domain) {
    int in[2], out[2];
    if (pipe(in) != 0 || pipe(out) != 0) {
      return;
    }
    pid_ = fork();
    if (pid_ == 0) {
      dup2(in[0], STDIN_FILENO);
      dup2(out[1], STDOUT_FILENO);
      close(in[1]);
      close(out[0]);
      std::string d = std::to_string(domain);
      execl(RNR_TYPES_PEER, RNR_TYPES_PEER, d.c_str(), static_cast<char*>(nullptr));
      _exit(127);
    }
    close(in[0]);
    close(out[1]);
    stdin_ = in[1];
    char buf[16] = {};
    ssize_t n = read(out[0], buf, sizeof buf - 1);
    ready_ = n > 0 && strncmp(buf, "ready", 5) == 0;
    close(out[0]);
  }
  ~Peer() {
    if (pid_ > 0) {
      kill(pid_, SIGCONT);
    }
    if (stdin_ >= 0) {
      close(stdin_);
    }
    if (pid_ > 0) {
      int status;
      for (int i = 0; i < 50 && waitpid(pid_, &status, WNOHANG) == 0; ++i) {
        std::this_thread::sleep_for(100ms);
        if (i == 30) {
          kill(pid_, SIGTERM);
        }
      }
    }
  }
  bool ready() const { return ready_; }
  void suspend() { kill(pid_, SIGSTOP); }
  void resume() { kill(pid_, SIGCONT); }

 private:
  pid_t pid_ = -1;
  int stdin_ = -1;
  bool ready_ = false;
};

TypeInfoPtr keep(const dds_typeinfo_t* info) {
  if (info == nullptr) {
    return nullptr;
  }
  return TypeInfoPtr(ddsi_typeinfo_dup(info), [](const dds_typeinfo_t* p) {
    dds_free_typeinfo(const_cast<dds_typeinfo_t*>(p));
  });
}

struct Discovered {
  bool found = false;
  TypeInfoPtr info;  // null when the writer announced none
};

// Waits for the publication of `topic` on the built-in publication reader.
Discovered discover(dds_entity_t participant, const char* topic) {
  Discovered result;
  dds_entity_t reader =
      dds_create_reader(participant, DDS_BUILTIN_TOPIC_DCPSPUBLICATION, nullptr, nullptr);
  if (reader < 0) {
    return result;
  }
  auto deadline = std::chrono::steady_clock::now() + 10s;
  while (!result.found && std::chrono::steady_clock::now() < deadline) {
    void* samples[8] = {};
    dds_sample_info_t infos[8];
    int n = dds_take(reader, samples, infos, 8, 8);
    for (int i = 0; i < n; ++i) {
      auto* ep = static_cast<dds_builtintopic_endpoint_t*>(samples[i]);
      if (infos[i].valid_data && strcmp(ep->topic_name, topic) == 0) {
        const dds_typeinfo_t* info = nullptr;
        if (dds_builtintopic_get_endpoint_type_info(ep, &info) == DDS_RETCODE_OK) {
          result.info = keep(info);
        }
        result.found = true;
      }
    }
    if (n > 0) {
      dds_return_loan(reader, samples, n);
    }
    if (!result.found) {
      std::this_thread::sleep_for(50ms);
    }
  }
  dds_delete(reader);
  return result;
}

// The bytes of equivalence hash of the complete (or minimal) type id.
std::vector<uint8_t> typeid_bytes(const DDS_XTypes_TypeIdentifier& id) {
  std::vector<uint8_t> bytes(15);
  bytes[0] = id._d;
  memcpy(bytes.data() + 1, id._u.equivalence_hash, 14);
  return bytes;
}

bool contains(const std::vector<uint8_t>& hay, const std::vector<uint8_t>& needle) {
  return std::search(hay.begin(), hay.end(), needle.begin(), needle.end()) != hay.end();
}

class Participant {
 public:
  explicit Participant(int domain) : entity_(dds_create_participant(domain, nullptr, nullptr)) {}
  ~Participant() {
    if (entity_ > 0) {
      dds_delete(entity_);
    }
  }
  dds_entity_t get() const { return entity_; }

 private:
  dds_entity_t entity_;
};

// Scoped names written with a leading "::" (not preceded by an identifier).
size_t absolute_names(const std::string& idl) {
  size_t count = 0;
  for (size_t at = idl.find("::"); at != std::string::npos; at = idl.find("::", at + 2)) {
    const unsigned char before = at == 0 ? ' ' : static_cast<unsigned char>(idl[at - 1]);
    count += std::isalnum(before) || before == '_' ? 0 : 1;
  }
  return count;
}

// The metastring of the remote writer's type compiles back to the same type,
// with the absolute form only where a relative name would find another type.
void expect_round_trip(int domain, const char* topic, const char* type_name,
                       size_t expected_absolute_names = 0) {
  Peer peer(domain);
  ASSERT_TRUE(peer.ready());
  Participant participant(domain);
  ASSERT_GT(participant.get(), 0);
  Discovered d = discover(participant.get(), topic);
  ASSERT_TRUE(d.found);
  ASSERT_NE(d.info, nullptr);
  auto graphs = rnr::mw::lookup_type_graphs(participant.get(), {d.info}, 5000ms);
  ASSERT_EQ(graphs.size(), 1u);
  EXPECT_EQ(graphs[0]->type_name, type_name);
  std::string error;
  auto idl = rnr::types::render_idl(*graphs[0], &error);
  ASSERT_TRUE(idl) << error;
  EXPECT_EQ(absolute_names(*idl), expected_absolute_names) << *idl;
  std::string message;
  auto info_bytes = rnr::test::idlc_type_info(RNR_IDLC, *idl, type_name, &message);
  ASSERT_FALSE(info_bytes.empty()) << message << "\n" << *idl;
  EXPECT_TRUE(contains(info_bytes, typeid_bytes(d.info->x.complete.typeid_with_size.type_id)))
      << "complete type id differs after recompiling:\n"
      << *idl;
  EXPECT_TRUE(contains(info_bytes, typeid_bytes(d.info->x.minimal.typeid_with_size.type_id)))
      << "minimal type id differs after recompiling:\n"
      << *idl;
  printf("%s\n", idl->c_str());
  // The same type gives the same text.
  EXPECT_EQ(*rnr::types::render_idl(*graphs[0], &error), *idl);
  // A second lookup answers from the cache.
  auto again = rnr::mw::lookup_type_graphs(participant.get(), {d.info}, 5000ms);
  ASSERT_EQ(again.size(), 1u);
  EXPECT_EQ(again[0], graphs[0]);
}

TEST(TypeDiscovery, SimpleTypeRoundTripsThroughIdlc) {
  expect_round_trip(50, "simple_topic", "rnr_test::Reading");
}

TEST(TypeDiscovery, RichTypeRoundTripsThroughIdlc) {
  expect_round_trip(51, "rich_topic", "rnr_test::rich::Telemetry");
}

// Inside rnr_test::shadow a nested module "geom" hides the root's "geom":
// the two references to the root's type stay absolute, the nested one not.
TEST(TypeDiscovery, ShadowedNameKeepsTheAbsoluteFormAndRoundTrips) {
  expect_round_trip(59, "shadow_topic", "rnr_test::shadow::Path", 2);
}

TEST(TypeDiscovery, WriterWithoutTypeInformationGivesNothing) {
  Peer peer(52);
  ASSERT_TRUE(peer.ready());
  Participant participant(52);
  Discovered d = discover(participant.get(), "opaque_topic");
  ASSERT_TRUE(d.found);
  EXPECT_EQ(d.info, nullptr);
  auto start = std::chrono::steady_clock::now();
  std::vector<TypeInfoPtr> infos;
  if (d.info) {
    infos.push_back(d.info);
  }
  EXPECT_TRUE(rnr::mw::lookup_type_graphs(participant.get(), infos, 2000ms).empty());
  EXPECT_LT(std::chrono::steady_clock::now() - start, 2000ms);
}

TEST(TypeDiscovery, UnansweredLookupGivesNothingWithinTheBound) {
  Peer peer(53);
  ASSERT_TRUE(peer.ready());
  Participant participant(53);
  Discovered d = discover(participant.get(), "pose_topic");
  ASSERT_TRUE(d.found);
  ASSERT_NE(d.info, nullptr);

  // A type nobody has: the real one with its hash altered.
  auto forged = keep(d.info.get());
  const_cast<dds_typeinfo_t*>(forged.get())
      ->x.complete.typeid_with_size.type_id._u.equivalence_hash[0] ^= 0xff;
  EXPECT_TRUE(rnr::mw::lookup_type_graphs(participant.get(), {forged}, 1000ms).empty());

  // The peer stops answering: the lookup gives up when its bound has passed.
  // (This type is looked up by no other test, so no cache answers it.)
  peer.suspend();
  auto start = std::chrono::steady_clock::now();
  EXPECT_TRUE(rnr::mw::lookup_type_graphs(participant.get(), {d.info}, 1500ms).empty());
  EXPECT_LT(std::chrono::steady_clock::now() - start, 1500ms + 1000ms);

  // Nothing failed is remembered: once the peer answers, the type resolves.
  peer.resume();
  EXPECT_EQ(rnr::mw::lookup_type_graphs(participant.get(), {d.info}, 5000ms).size(), 1u);
}

// Publishes `sample` on a typed writer of this process and returns the
// serialized bytes a reader received, encapsulation header first, and in
// `graph` the writer's type, looked up while the writer still exists.
std::vector<uint8_t> publish_and_take(dds_entity_t participant, const dds_topic_descriptor_t* desc,
                                      const char* topic_name, const void* sample,
                                      dds_data_representation_id_t representation,
                                      std::shared_ptr<const TypeGraph>* graph) {
  std::vector<uint8_t> bytes;
  dds_entity_t topic = dds_create_topic(participant, desc, topic_name, nullptr, nullptr);
  dds_qos_t* qos = dds_create_qos();
  dds_qset_data_representation(qos, 1, &representation);
  dds_qset_reliability(qos, DDS_RELIABILITY_RELIABLE, DDS_SECS(1));
  dds_entity_t writer = dds_create_writer(participant, topic, qos, nullptr);
  dds_entity_t reader = dds_create_reader(participant, topic, qos, nullptr);
  dds_delete_qos(qos);
  if (topic < 0 || writer < 0 || reader < 0) {
    return bytes;
  }
  dds_typeinfo_t* raw_info = nullptr;
  if (dds_get_typeinfo(topic, &raw_info) == DDS_RETCODE_OK) {
    TypeInfoPtr info(raw_info, [](const dds_typeinfo_t* p) {
      dds_free_typeinfo(const_cast<dds_typeinfo_t*>(p));
    });
    auto graphs = rnr::mw::lookup_type_graphs(participant, {info}, 3000ms);
    if (graphs.size() == 1) {
      *graph = graphs[0];
    }
  }
  auto deadline = std::chrono::steady_clock::now() + 10s;
  dds_publication_matched_status_t matched{};
  while (matched.current_count == 0 && std::chrono::steady_clock::now() < deadline) {
    dds_get_publication_matched_status(writer, &matched);
    std::this_thread::sleep_for(10ms);
  }
  if (dds_write(writer, sample) != DDS_RETCODE_OK) {
    return bytes;
  }
  while (bytes.empty() && std::chrono::steady_clock::now() < deadline) {
    struct ddsi_serdata* data = nullptr;
    dds_sample_info_t si;
    if (dds_takecdr(reader, &data, 1, &si, DDS_ANY_STATE) == 1) {
      bytes.resize(ddsi_serdata_size(data));
      ddsi_serdata_to_ser(data, 0, bytes.size(), bytes.data());
      ddsi_serdata_unref(data);
    } else {
      std::this_thread::sleep_for(10ms);
    }
  }
  dds_delete(writer);
  dds_delete(reader);
  dds_delete(topic);
  return bytes;
}

// Decodes through the public operations and prints with dds_dump_data.
std::string dump(const std::shared_ptr<const TypeGraph>& graph, const std::vector<uint8_t>& bytes) {
  auto* support = new rnr::mw::DynamicTypeSupport(graph);
  std::string line;
  void* sample = dds_TypeSupport_deserialize(support, bytes.data(), bytes.size());
  if (sample != nullptr) {
    testing::internal::CaptureStdout();
    int written = dds_dump_data(support, sample);
    line = testing::internal::GetCapturedStdout();
    EXPECT_EQ(written, static_cast<int>(line.size()));
    dds_TypeSupport_free(support, sample);
  }
  dds_DynamicTypeSupport_delete_type_support(support);
  return line;
}

// Publishes `sample` once in each data representation and expects its dump
// to be `expected` both times.
void expect_dump_in_both_encodings(dds_entity_t participant, const dds_topic_descriptor_t* desc,
                                   const char* topic_prefix, const void* sample,
                                   const std::string& expected) {
  int round = 0;
  for (auto representation : {DDS_DATA_REPRESENTATION_XCDR1, DDS_DATA_REPRESENTATION_XCDR2}) {
    SCOPED_TRACE(representation == DDS_DATA_REPRESENTATION_XCDR1 ? "XCDR1" : "XCDR2");
    std::shared_ptr<const TypeGraph> graph;
    const std::string topic = std::string(topic_prefix).append(std::to_string(round++));
    auto bytes = publish_and_take(participant, desc, topic.c_str(), sample, representation, &graph);
    ASSERT_FALSE(bytes.empty());
    ASSERT_NE(graph, nullptr);
    EXPECT_EQ(bytes[1], representation == DDS_DATA_REPRESENTATION_XCDR1 ? 0x01 : 0x07);
    EXPECT_EQ(dump(graph, bytes), expected);
  }
}

rnr_test_Reading reading_at_limits(char* name, char* tag0, char* tag1) {
  rnr_test_Reading r{};
  r.id = 7;
  r.name = name;
  r.pose.x = 1.5;
  r.pose.y = 0.0;
  static char* tags[2];
  tags[0] = tag0;
  tags[1] = tag1;
  r.tags._length = r.tags._maximum = 2;
  r.tags._buffer = tags;
  r.s_min = INT16_MIN;
  r.s_max = INT16_MAX;
  r.us_max = UINT16_MAX;
  r.l_min = INT32_MIN;
  r.l_max = INT32_MAX;
  r.ul_max = UINT32_MAX;
  r.ll_min = INT64_MIN;
  r.ll_max = INT64_MAX;
  r.ull_max = UINT64_MAX;
  r.o = 255;
  r.c = 'q';
  r.b = true;
  r.f = 0.1f;
  r.d = -2.5e-300;
  for (int i = 0; i < 6; ++i) {
    r.grid[i / 3][i % 3] = i - 2;
  }
  return r;
}

TEST(SampleDump, SimpleValuesPrintBackExactlyInBothEncodings) {
  Participant participant(54);
  char name[] = "say \"hi\"\\ \xc3\xa9t\xc3\xa9 \xe2\x82\xac\n";
  char tag0[] = "a";
  char tag1[] = "";
  rnr_test_Reading r = reading_at_limits(name, tag0, tag1);
  const std::string expected =
      "{\"id\": 7, \"name\": \"say \\\"hi\\\"\\\\ \xc3\xa9t\xc3\xa9 \xe2\x82\xac\\n\", "
      "\"pose\": {\"x\": 1.5, \"y\": 0.0}, \"tags\": [\"a\", \"\"], "
      "\"s_min\": -32768, \"s_max\": 32767, \"us_max\": 65535, "
      "\"l_min\": -2147483648, \"l_max\": 2147483647, \"ul_max\": 4294967295, "
      "\"ll_min\": -9223372036854775808, \"ll_max\": 9223372036854775807, "
      "\"ull_max\": 18446744073709551615, \"o\": 255, \"c\": \"q\", \"b\": true, "
      "\"f\": 0.1, \"d\": -2.5e-300, \"empty\": [], \"grid\": [[-2, -1, 0], [1, 2, 3]]}\n";
  expect_dump_in_both_encodings(participant.get(), &rnr_test_Reading_desc, "dump_simple_", &r,
                                expected);
}

// Collections of enums, bitmasks and booleans, whose elements a writer
// serializes without a delimiting header of their own.
TEST(SampleDump, CollectionsOfEnumsBitmasksAndBooleans) {
  Participant participant(221);
  rnr_test_rich_Color colors[] = {rnr_test_rich_BLUE, rnr_test_rich_RED};
  rnr_test_rich_Perm perms[] = {rnr_test_rich_WRITE};
  bool flags[] = {true, false};
  rnr_test_rich_Lists lists{};
  lists.colors._length = lists.colors._maximum = 2;
  lists.colors._buffer = colors;
  lists.perms._length = lists.perms._maximum = 1;
  lists.perms._buffer = perms;
  lists.pair[0] = rnr_test_rich_GREEN;
  lists.pair[1] = rnr_test_rich_BLUE;
  lists.flags._length = lists.flags._maximum = 2;
  lists.flags._buffer = flags;
  const std::string expected =
      "{\"colors\": [\"BLUE\", \"RED\"], \"perms\": [[\"WRITE\"]], "
      "\"pair\": [\"GREEN\", \"BLUE\"], \"flags\": [true, false]}\n";
  expect_dump_in_both_encodings(participant.get(), &rnr_test_rich_Lists_desc, "dump_lists_", &lists,
                                expected);
}

class RichDump : public testing::Test {
 protected:
  void SetUp() override {
    telemetry_.parent.ident = -1;
    telemetry_.color = rnr_test_rich_GREEN;
    telemetry_.perm = rnr_test_rich_READ | rnr_test_rich_EXEC;
    telemetry_.shape._d = rnr_test_rich_RED;
    telemetry_.shape._u.radius = 2.25;
    telemetry_.choice._d = 2;
    telemetry_.choice._u.small = -5;
    telemetry_.detail.e = &external_;
    telemetry_.detail.qa._length = telemetry_.detail.qa._maximum = 2;
    telemetry_.detail.qa._buffer = qa_;
    telemetry_.detail.windows[1]._length = telemetry_.detail.windows[1]._maximum = 1;
    telemetry_.detail.windows[1]._buffer = qa_;
    telemetry_.detail.points._length = telemetry_.detail.points._maximum = 1;
    telemetry_.detail.points._buffer = &point_;
    telemetry_.hashed = 99;
    telemetry_.m[0][0] = 1;
    telemetry_.m[1][1] = -1;
    telemetry_.tiny = -3;
    telemetry_.small_u = 200;
    strcpy(telemetry_.bounded, "abcde");
  }

  std::string publish_and_dump(int domain, const std::string& topic) {
    Participant participant(domain);
    auto bytes = publish_and_take(participant.get(), &rnr_test_rich_Telemetry_desc, topic.c_str(),
                                  &telemetry_, DDS_DATA_REPRESENTATION_XCDR2, &graph_);
    EXPECT_FALSE(bytes.empty());
    EXPECT_NE(graph_, nullptr);
    if (bytes.empty() || graph_ == nullptr) {
      return "";
    }
    bytes_ = bytes;
    return dump(graph_, bytes);
  }

  rnr_test_rich_Telemetry telemetry_{};
  double external_ = 0.5;
  int32_t qa_[2] = {3, 4};
  rnr_test_rich_inner_Point point_{1.5f, -0.25f};
  std::vector<uint8_t> bytes_;
  std::shared_ptr<const TypeGraph> graph_;
};

// The tail every rich sample below shares.
const char* const kRichTail =
    "\"hashed\": 99, \"m\": [[1.0, 0.0], [0.0, -1.0]], \"extra\": null, \"tiny\": \"\\u00fd\", "
    "\"small_u\": 200, \"bounded\": \"abcde\"}\n";

TEST_F(RichDump, AbsentOptionalsAndFirstUnionBranches) {
  std::string expected =
      std::string(
          "{\"ident\": -1, \"frame\": null, \"color\": \"GREEN\", \"perm\": [\"READ\", "
          "\"EXEC\"], ") +
      "\"choice\": {\"_d\": 2, \"small\": -5}, \"shape\": {\"_d\": \"RED\", \"radius\": 2.25}, " +
      "\"detail\": {\"note\": null, \"e\": 0.5, \"nested\": [], \"qa\": [3, 4], " +
      "\"windows\": [[], [3]], \"points\": [{\"x\": 1.5, \"y\": -0.25}]}, " + kRichTail;
  EXPECT_EQ(publish_and_dump(55, "rich_a"), expected);
}

TEST_F(RichDump, PresentOptionalsAndOtherUnionBranches) {
  char frame[] = "map";
  char note[] = "n\xc3\xb6te";
  double sides[3] = {1, 2, 3.5};
  telemetry_.parent.frame = frame;
  telemetry_.detail.note = note;
  telemetry_.choice._d = 10;
  strcpy(telemetry_.choice._u.text, "txt");
  telemetry_.shape._d = rnr_test_rich_BLUE;
  telemetry_.shape._u.sides._length = telemetry_.shape._u.sides._maximum = 3;
  telemetry_.shape._u.sides._buffer = sides;
  std::string expected =
      std::string(
          "{\"ident\": -1, \"frame\": \"map\", \"color\": \"GREEN\", \"perm\": [\"READ\", "
          "\"EXEC\"], ") +
      "\"choice\": {\"_d\": 10, \"text\": \"txt\"}, " +
      "\"shape\": {\"_d\": \"BLUE\", \"sides\": [1.0, 2.0, 3.5]}, " +
      "\"detail\": {\"note\": \"n\xc3\xb6te\", \"e\": 0.5, \"nested\": [], \"qa\": [3, 4], " +
      "\"windows\": [[], [3]], \"points\": [{\"x\": 1.5, \"y\": -0.25}]}, " + kRichTail;
  EXPECT_EQ(publish_and_dump(56, "rich_b"), expected);

  // The default branch of the union, and an absent optional member of a
  // present optional struct.
  telemetry_.choice._d = 77;
  telemetry_.choice._u.perms = rnr_test_rich_WRITE;
  std::string line = publish_and_dump(56, "rich_c");
  EXPECT_NE(line.find("\"choice\": {\"_d\": 77, \"perms\": [\"WRITE\"]}"), std::string::npos)
      << line;
}

TEST_F(RichDump, DamagedSamplesAreRefused) {
  ASSERT_FALSE(publish_and_dump(57, "rich_damaged").empty());
  std::string error;
  // Every cut of the sample is an error, never a crash or an overread.
  for (size_t n = 0; n < bytes_.size(); ++n) {
    std::vector<uint8_t> cut(bytes_.begin(), bytes_.begin() + static_cast<long>(n));
    EXPECT_FALSE(rnr::types::decode_to_json(*graph_, cut.data(), cut.size(), &error)) << n;
    EXPECT_FALSE(error.empty());
  }
  // Every 32-bit word replaced by a huge length: decoding may still succeed
  // where the word is a plain value, but never reads out of bounds.
  size_t refused = 0;
  for (size_t at = 4; at + 4 <= bytes_.size(); at += 4) {
    std::vector<uint8_t> bad = bytes_;
    memset(bad.data() + at, 0xff, 3);
    bad[at + 3] = 0x7f;
    refused += !rnr::types::decode_to_json(*graph_, bad.data(), bad.size(), &error);
  }
  EXPECT_GT(refused, 0u);
  // Flipped bytes, deterministic: must not crash.
  uint32_t seed = 12345;
  for (int i = 0; i < 3000; ++i) {
    std::vector<uint8_t> bad = bytes_;
    for (int k = 0; k < 3; ++k) {
      seed = seed * 1103515245u + 12345u;
      bad[4 + (seed >> 8) % (bad.size() - 4)] ^= static_cast<uint8_t>(seed >> 24);
    }
    rnr::types::decode_to_json(*graph_, bad.data(), bad.size(), &error);
  }
}

}  // namespace
