// Entities, disabled entities, built-in publications and the listener
// threads of the binding.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>

#include "byte_multiset.h"
#include "middleware/binding_internal.h"
#include "binding_test_util.h"
#include "child_process.h"
#include "peer_common.h"

using rnr::peers::Kind;
using rnr::peers::TopicArg;
using namespace rnr::test;
using namespace std::chrono_literals;

namespace {

dds_DomainParticipantFactory* factory() {
  return dds_DomainParticipantFactory_get_instance();
}

void set_autoenable(bool on) {
  dds_DomainParticipantFactoryQos q{};
  q.entity_factory.autoenable_created_entities = on;
  ASSERT_EQ(dds_DomainParticipantFactory_set_qos(factory(), &q), dds_RETCODE_OK);
}

TEST(Entities, MissingEntitiesAndUnusableDomainsAreRefused) {
  set_autoenable(true);
  for (dds_DomainId_t bad : {-1, -100, 233, 1000, 0x7fffffff}) {
    EXPECT_EQ(dds_DomainParticipantFactory_create_participant(
                  factory(), bad, &dds_PARTICIPANT_QOS_DEFAULT, nullptr, 0),
              nullptr)
        << bad;
  }
  EXPECT_EQ(dds_DomainParticipant_create_subscriber(nullptr, nullptr, nullptr, 0), nullptr);
  EXPECT_EQ(dds_DomainParticipant_get_builtin_subscriber(nullptr), nullptr);
  EXPECT_EQ(dds_Subscriber_get_contained_datareader_by_name(nullptr, "dds_BuiltinPublications"),
            nullptr);
  EXPECT_EQ(dds_DataReader_set_listener(nullptr, nullptr, 0), dds_RETCODE_BAD_PARAMETER);
  EXPECT_NE(dds_DomainParticipant_enable(nullptr), dds_RETCODE_OK);
  EXPECT_NE(dds_Subscriber_enable(nullptr), dds_RETCODE_OK);
  EXPECT_NE(dds_DataReader_enable(nullptr), dds_RETCODE_OK);
  EXPECT_NE(dds_DataWriter_enable(nullptr), dds_RETCODE_OK);
  EXPECT_NE(dds_Entity_set_context(static_cast<dds_DataReader*>(nullptr), 0, nullptr),
            dds_RETCODE_OK);
  EXPECT_EQ(dds_Entity_get_context(static_cast<const dds_DataWriter*>(nullptr), 1), nullptr);
  EXPECT_NE(dds_TypeSupport_register_type(nullptr, nullptr, "T"), dds_RETCODE_OK);
  EXPECT_STREQ(dds_ReturnCode_to_string(dds_RETCODE_NO_DATA), "dds_RETCODE_NO_DATA");
  EXPECT_STREQ(dds_ReturnCode_to_string(dds_RETCODE_OK), "dds_RETCODE_OK");
  EXPECT_NE(dds_ReturnCode_to_string(99), nullptr);

  Collector c;  // outlives the participant whose readers use it
  Participant part(16);
  ASSERT_NE(part.p, nullptr);
  // A topic needs its type registered first.
  EXPECT_EQ(dds_DomainParticipant_create_topic(part.p, "t", "Unregistered", nullptr, nullptr, 0),
            nullptr);
  dds_Topic* t = part.topic("t", "T", false);
  ASSERT_NE(t, nullptr);
  dds_DataReader* r = dds_Subscriber_create_datareader(part.sub, t, nullptr, nullptr, 0);
  dds_DataWriter* w = dds_Publisher_create_datawriter(part.pub, t, nullptr, nullptr, 0);
  ASSERT_NE(r, nullptr);
  ASSERT_NE(w, nullptr);
  int a = 0, b = 0;
  EXPECT_EQ(dds_Entity_set_context(r, 0, &a), dds_RETCODE_OK);
  EXPECT_EQ(dds_Entity_set_context(r, 1, &b), dds_RETCODE_OK);
  EXPECT_NE(dds_Entity_set_context(r, 2, &b), dds_RETCODE_OK);
  EXPECT_EQ(dds_Entity_get_context(r, 0), &a);
  EXPECT_EQ(dds_Entity_get_context(r, 1), &b);
  EXPECT_EQ(dds_Entity_set_context(w, 1, &a), dds_RETCODE_OK);
  EXPECT_EQ(dds_Entity_get_context(w, 1), &a);
  // A topic in use cannot go; the reader's take on an empty reader says so.
  EXPECT_EQ(dds_DomainParticipant_delete_topic(part.p, t), dds_RETCODE_PRECONDITION_NOT_MET);
  EXPECT_EQ(c.take_from(r), dds_RETCODE_NO_DATA);
  // A writer created disabled sends nothing until enabled.
  dds_PublisherQos pq;
  dds_DomainParticipant_get_default_publisher_qos(part.p, &pq);
  pq.entity_factory.autoenable_created_entities = false;
  dds_Publisher* pub = dds_DomainParticipant_create_publisher(part.p, &pq, nullptr, 0);
  dds_PublisherQos_finalize(&pq);
  dds_DataWriter* dw = dds_Publisher_create_datawriter(pub, t, nullptr, nullptr, 0);
  ASSERT_NE(dw, nullptr);
  const uint8_t sample[8] = {0, 1, 0, 0, 1, 2, 3, 4};
  EXPECT_EQ(dds_DataWriter_raw_write(dw, sample, sizeof sample), dds_RETCODE_NOT_ENABLED);
  EXPECT_EQ(dds_DataWriter_enable(dw), dds_RETCODE_OK);
  EXPECT_EQ(dds_DataWriter_raw_write(dw, sample, sizeof sample), dds_RETCODE_OK);
  EXPECT_TRUE(wait_until([&] { return c.take_from(r) == dds_RETCODE_OK; }, 5000ms));
  ASSERT_EQ(c.count(), 1u);
  EXPECT_EQ(c.copy()[0], std::vector<uint8_t>(sample, sample + sizeof sample));
  EXPECT_EQ(dds_Publisher_delete_datawriter(pub, dw), dds_RETCODE_OK);
  EXPECT_EQ(dds_DomainParticipant_delete_publisher(part.p, pub), dds_RETCODE_OK);
  // The built-in reader is not read raw, and raw readers not as publications.
  dds_DataReader* builtin = dds_Subscriber_get_contained_datareader_by_name(
      dds_DomainParticipant_get_builtin_subscriber(part.p), "dds_BuiltinPublications");
  ASSERT_NE(builtin, nullptr);
  EXPECT_EQ(c.take_from(builtin), dds_RETCODE_ILLEGAL_OPERATION);
  EXPECT_EQ(dds_Subscriber_get_contained_datareader_by_name(
                dds_DomainParticipant_get_builtin_subscriber(part.p), "other"),
            nullptr);
}

// With auto-enable off, a reader does nothing before its enable: no sample,
// no callback; afterwards it receives what is published.
TEST(Entities, DisabledReaderIsSilentUntilEnabled) {
  constexpr int kDomain = 17;
  set_autoenable(false);
  dds_DomainParticipantQos pq;
  dds_DomainParticipantFactory_get_default_participant_qos(factory(), &pq);
  dds_DomainParticipant* p =
      dds_DomainParticipantFactory_create_participant(factory(), kDomain, &pq, nullptr, 0);
  dds_DomainParticipantQos_finalize(&pq);
  set_autoenable(true);
  ASSERT_NE(p, nullptr);
  dds_SubscriberQos sq;
  dds_DomainParticipant_get_default_subscriber_qos(p, &sq);
  sq.entity_factory.autoenable_created_entities = false;
  dds_Subscriber* sub = dds_DomainParticipant_create_subscriber(p, &sq, nullptr, 0);
  ASSERT_NE(sub, nullptr);

  // Built-in publications are reported only once the participant is enabled.
  std::atomic<int> builtin_calls{0};
  dds_DataReader* builtin = dds_Subscriber_get_contained_datareader_by_name(
      dds_DomainParticipant_get_builtin_subscriber(p), "dds_BuiltinPublications");
  ASSERT_NE(builtin, nullptr);
  dds_Entity_set_context(builtin, 0, &builtin_calls);
  dds_DataReaderListener bl{};
  bl.on_data_available = [](dds_DataReader* r) {
    static_cast<std::atomic<int>*>(dds_Entity_get_context(r, 0))->fetch_add(1);
  };
  ASSERT_EQ(dds_DataReader_set_listener(builtin, &bl, dds_DATA_AVAILABLE_STATUS), dds_RETCODE_OK);

  const TopicArg topic_arg{Kind::keyless, "disabled"};
  rnr::peers::TypedWriter w(kDomain, topic_arg);
  ASSERT_TRUE(w.ok());
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  EXPECT_EQ(builtin_calls.load(), 0);
  EXPECT_EQ(dds_Subscriber_enable(sub), dds_RETCODE_PRECONDITION_NOT_MET);

  ASSERT_EQ(dds_DomainParticipant_enable(p), dds_RETCODE_OK);
  ASSERT_EQ(dds_Subscriber_enable(sub), dds_RETCODE_OK);
  EXPECT_TRUE(wait_until([&] { return builtin_calls.load() > 0; }, 10000ms));

  dds_TypeSupport* ts = dds_TypeSupport_raw_create();
  dds_TypeSupport_register_type(ts, p, rnr::peers::type_name(Kind::keyless));
  dds_TypeSupport_delete(ts);
  dds_Topic* t = dds_DomainParticipant_create_topic(
      p, "disabled", rnr::peers::type_name(Kind::keyless), nullptr, nullptr, 0);
  dds_DataReader* r = dds_Subscriber_create_datareader(sub, t, nullptr, nullptr, 0);
  ASSERT_NE(r, nullptr);
  Collector c;
  c.attach(r);
  for (int i = 0; i < 5; i++)
    ASSERT_TRUE(w.write(static_cast<uint64_t>(i), 4));
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  EXPECT_EQ(w.matched_readers(), 0u);
  EXPECT_EQ(c.calls.load(), 0);
  EXPECT_EQ(c.take_from(r), dds_RETCODE_NOT_ENABLED);

  ASSERT_EQ(dds_DataReader_enable(r), dds_RETCODE_OK);
  ASSERT_TRUE(w.wait_for_readers(1, 10000));
  for (int i = 5; i < 10; i++)
    ASSERT_TRUE(w.write(static_cast<uint64_t>(i), 4));
  EXPECT_TRUE(wait_until([&] { return c.count() >= 5; }, 10000ms));
  ByteMultiset want;
  for (int i = 5; i < 10; i++) {
    want.insert(rnr::peers::expected_bytes(Kind::keyless, static_cast<uint64_t>(i), 4, true));
  }
  const auto got = c.copy();
  EXPECT_EQ(ByteMultiset(got.begin(), got.end()), want);
  EXPECT_EQ(dds_DomainParticipantFactory_delete_participant(factory(), p), dds_RETCODE_OK);
}

struct Publications {
  std::mutex mutex;
  std::vector<std::pair<dds_PublicationBuiltinTopicData, dds_SampleInfo>> seen;
  std::atomic<bool> slow_reader_busy{false};
  std::atomic<bool> seen_while_busy{false};

  static void on_data(dds_DataReader* r) {
    auto* self = static_cast<Publications*>(dds_Entity_get_context(r, 0));
    dds_DataSeq* data = dds_DataSeq_create(8);
    dds_SampleInfoSeq* infos = dds_SampleInfoSeq_create(8);
    if (dds_DataReader_take(r, data, infos, 8, dds_ANY_SAMPLE_STATE, dds_ANY_VIEW_STATE,
                            dds_ANY_INSTANCE_STATE) == dds_RETCODE_OK) {
      std::lock_guard<std::mutex> lock(self->mutex);
      for (uint32_t i = 0; i < dds_DataSeq_length(data); i++) {
        const auto* pub =
            static_cast<const dds_PublicationBuiltinTopicData*>(dds_DataSeq_get(data, i));
        if (dds_SampleInfoSeq_get(infos, i)->valid_data) {
          self->seen.emplace_back(*pub, *dds_SampleInfoSeq_get(infos, i));
          if (self->slow_reader_busy.load()) {
            self->seen_while_busy = true;
          }
        }
      }
    }
    dds_DataReader_return_loan(r, data, infos);
    dds_DataSeq_delete(data);
    dds_SampleInfoSeq_delete(infos);
  }
  bool find(const std::string& topic, dds_PublicationBuiltinTopicData* pub, dds_SampleInfo* info) {
    std::lock_guard<std::mutex> lock(mutex);
    for (const auto& [p, i] : seen) {
      if (topic == p.topic_name) {
        *pub = p;
        *info = i;
        return true;
      }
    }
    return false;
  }
};

void listen_to_publications(dds_DomainParticipant* p, Publications* pubs) {
  dds_DataReader* builtin = dds_Subscriber_get_contained_datareader_by_name(
      dds_DomainParticipant_get_builtin_subscriber(p), "dds_BuiltinPublications");
  ASSERT_NE(builtin, nullptr);
  dds_Entity_set_context(builtin, 0, pubs);
  dds_DataReaderListener l{};
  l.on_data_available = &Publications::on_data;
  ASSERT_EQ(dds_DataReader_set_listener(builtin, &l, dds_DATA_AVAILABLE_STATUS), dds_RETCODE_OK);
}

// A publication reports the writer as the writer reports itself; the
// writers live in talker processes, as remote applications do.
TEST(BuiltinPublications, ReportWriterGuidNamesKindAndQos) {
  constexpr int kDomain = 18;
  Publications pubs;  // outlives the participant whose callbacks use it
  Participant part(kDomain);
  ASSERT_NE(part.p, nullptr);
  listen_to_publications(part.p, &pubs);
  const std::string domain = std::to_string(kDomain);
  rnr::test::Child keyed({RNR_TALKER, "--domain", domain, "--topic", "keyed:bp_keyed", "--count",
                          "1", "--transient-local", "--linger-ms", "4000"});
  rnr::test::Child keyless({RNR_TALKER, "--domain", domain, "--topic", "keyless:bp_keyless",
                            "--count", "1", "--best-effort", "--linger-ms", "4000"});
  ASSERT_TRUE(keyed.started());
  ASSERT_TRUE(keyless.started());

  struct Expect {
    rnr::test::Child* talker;
    const char* topic;
    Kind kind;
    uint8_t entity_kind;
    dds_DurabilityQosPolicyKind durability;
    dds_ReliabilityQosPolicyKind reliability;
    dds_DataRepresentationId_t representation;
  };
  for (const Expect& e :
       {Expect{&keyed, "bp_keyed", Kind::keyed, 0x02, dds_TRANSIENT_LOCAL_DURABILITY_QOS,
               dds_RELIABLE_RELIABILITY_QOS, dds_XCDR_DATA_REPRESENTATION},
        Expect{&keyless, "bp_keyless", Kind::keyless, 0x03, dds_VOLATILE_DURABILITY_QOS,
               dds_BEST_EFFORT_RELIABILITY_QOS, dds_XCDR2_DATA_REPRESENTATION}}) {
    dds_PublicationBuiltinTopicData pub{};
    dds_SampleInfo info{};
    ASSERT_TRUE(wait_until([&] { return pubs.find(e.topic, &pub, &info); }, 10000ms)) << e.topic;
    // The GUID the talker printed for its writer, as Cyclone's bytes.
    std::string text;
    for (const auto& line : e.talker->out_lines()) {
      if (line.rfind(std::string("WRITER ") + e.topic + " ", 0) == 0) {
        text = line.substr(8 + std::strlen(e.topic));
      }
    }
    ASSERT_EQ(text.size(), 35u) << e.topic;
    std::vector<uint8_t> g;
    for (size_t k = 0; k < text.size(); k += 2) {
      if (text[k] == ' ')
        k++;
      g.push_back(static_cast<uint8_t>(std::stoi(text.substr(k, 2), nullptr, 16)));
    }
    ASSERT_EQ(g.size(), 16u);
    const uint32_t eid = (static_cast<uint32_t>(g[12]) << 24) |
                         (static_cast<uint32_t>(g[13]) << 16) |
                         (static_cast<uint32_t>(g[14]) << 8) | g[15];
    uint8_t handle[16];
    std::memcpy(handle, g.data(), 12);
    std::memcpy(handle + 12, &eid, 4);
    EXPECT_EQ(std::memcmp(info.instance_handle.value, handle, 16), 0) << e.topic;
    EXPECT_EQ(eid & 0xffu, e.entity_kind);
    EXPECT_EQ(pub.key.value[0], eid);
    EXPECT_EQ(std::memcmp(&pub.key.value[1], g.data() + 4, 8), 0);
    EXPECT_EQ(std::memcmp(pub.participant_key, g.data(), 12), 0);
    // The writer map key: the publication key followed by the participant
    // key's first four bytes.
    uint8_t first16[16];
    std::memcpy(first16, &pub, 16);
    EXPECT_EQ(std::memcmp(first16 + 12, g.data(), 4), 0);
    EXPECT_STREQ(pub.type_name, rnr::peers::type_name(e.kind));
    EXPECT_EQ(pub.durability.kind, e.durability);
    EXPECT_EQ(pub.reliability.kind, e.reliability);
    ASSERT_GE(pub.representation.length, 1);
    EXPECT_EQ(pub.representation.value[0], e.representation);
    // The type information the writer announced is kept for type lookup.
    EXPECT_EQ(rnr::mw::announced_type_info_count(part.p, rnr::peers::type_name(e.kind)), 1u);
  }
  EXPECT_EQ(rnr::mw::announced_type_info_count(part.p, "no::Such"), 0u);
  EXPECT_EQ(keyed.wait(), 0);
  EXPECT_EQ(keyless.wait(), 0);
}

// The participant's own writers are not discovered; raw writers of another
// participant are, without type information.
TEST(BuiltinPublications, OwnWritersAreNotReported) {
  constexpr int kDomain = 19;
  Publications pubs;
  Participant part(kDomain), other(kDomain);
  ASSERT_NE(part.p, nullptr);
  listen_to_publications(part.p, &pubs);
  dds_Topic* mine = part.topic("own", "OwnType", true);
  ASSERT_NE(dds_Publisher_create_datawriter(part.pub, mine, nullptr, nullptr, 0), nullptr);
  dds_Topic* theirs = other.topic("theirs", "TheirType", false);
  ASSERT_NE(dds_Publisher_create_datawriter(other.pub, theirs, nullptr, nullptr, 0), nullptr);
  dds_PublicationBuiltinTopicData pub{};
  dds_SampleInfo info{};
  ASSERT_TRUE(wait_until([&] { return pubs.find("theirs", &pub, &info); }, 10000ms));
  EXPECT_EQ(pub.key.value[0] & 0xffu, 0x03u);
  EXPECT_STREQ(pub.type_name, "TheirType");
  EXPECT_FALSE(pubs.find("own", &pub, &info));
  EXPECT_EQ(rnr::mw::announced_type_info_count(part.p, "TheirType"), 0u);
}

// Names of up to 255 characters work end to end and are discovered whole;
// longer ones are refused, however long, and nothing crashes.
TEST(BuiltinPublications, NamesLongerThanTheirFieldsAreRefused) {
  constexpr int kDomain = 25;
  Publications pubs;
  Participant part(kDomain), other(kDomain);
  ASSERT_NE(part.p, nullptr);
  ASSERT_NE(other.p, nullptr);
  listen_to_publications(part.p, &pubs);
  const std::string longest_topic(255, 't');
  const std::string longest_type(255, 'T');
  dds_Topic* t = other.topic(longest_topic.c_str(), longest_type.c_str(), true);
  ASSERT_NE(t, nullptr);
  ASSERT_NE(dds_Publisher_create_datawriter(other.pub, t, nullptr, nullptr, 0), nullptr);
  dds_PublicationBuiltinTopicData pub{};
  dds_SampleInfo info{};
  ASSERT_TRUE(wait_until([&] { return pubs.find(longest_topic, &pub, &info); }, 10000ms));
  EXPECT_EQ(std::string(pub.type_name), longest_type);

  dds_TypeSupport* ts = dds_TypeSupport_raw_create_w_key();
  for (size_t length : {256u, 65530u, 1u << 20}) {
    const std::string name(length, 'n');
    EXPECT_EQ(dds_TypeSupport_register_type(ts, other.p, name.c_str()), dds_RETCODE_BAD_PARAMETER)
        << length;
    EXPECT_EQ(dds_DomainParticipant_create_topic(other.p, name.c_str(), longest_type.c_str(),
                                                 nullptr, nullptr, 0),
              nullptr)
        << length;
  }
  dds_TypeSupport_delete(ts);
}

// A callback that sleeps holds up neither another reader nor discovery.
TEST(ListenerThreads, SleepingCallbackDelaysNoOtherReaderNorDiscovery) {
  constexpr int kDomain = 20;
  // Everything the callbacks use outlives the participant.
  Publications pubs;
  struct Slow {
    Publications* pubs;
    std::atomic<int> calls{0};
  } slow{&pubs};
  Participant part(kDomain);
  ASSERT_NE(part.p, nullptr);
  listen_to_publications(part.p, &pubs);
  dds_Topic* ts = part.topic("slow", rnr::peers::type_name(Kind::keyless), false);
  dds_DataReader* rs = dds_Subscriber_create_datareader(part.sub, ts, nullptr, nullptr, 0);
  ASSERT_NE(rs, nullptr);
  dds_Entity_set_context(rs, 0, &slow);
  dds_DataReaderListener sl{};
  sl.on_data_available = [](dds_DataReader* r) {
    auto* s = static_cast<Slow*>(dds_Entity_get_context(r, 0));
    Collector c;
    c.take_from(r);
    s->calls++;
    s->pubs->slow_reader_busy = true;
    std::this_thread::sleep_for(std::chrono::seconds(2));
    s->pubs->slow_reader_busy = false;
  };
  dds_DataReader_set_listener(rs, &sl, dds_DATA_AVAILABLE_STATUS);

  dds_Topic* tf = part.topic("fast", rnr::peers::type_name(Kind::keyless), false);
  dds_DataReader* rf = dds_Subscriber_create_datareader(part.sub, tf, nullptr, nullptr, 0);
  ASSERT_NE(rf, nullptr);
  struct Fast {
    Publications* pubs;
    std::atomic<int> while_busy{0};
  } fast{&pubs};
  dds_Entity_set_context(rf, 0, &fast);
  dds_DataReaderListener fl{};
  fl.on_data_available = [](dds_DataReader* r) {
    auto* f = static_cast<Fast*>(dds_Entity_get_context(r, 0));
    Collector c;
    c.take_from(r);
    if (f->pubs->slow_reader_busy.load() && c.count() > 0) {
      f->while_busy++;
    }
  };
  dds_DataReader_set_listener(rf, &fl, dds_DATA_AVAILABLE_STATUS);

  rnr::peers::TypedWriter ws(kDomain, {Kind::keyless, "slow"});
  rnr::peers::TypedWriter wf(kDomain, {Kind::keyless, "fast"});
  ASSERT_TRUE(ws.wait_for_readers(1, 10000));
  ASSERT_TRUE(wf.wait_for_readers(1, 10000));
  ASSERT_TRUE(ws.write(0, 1));
  ASSERT_TRUE(wait_until([&] { return pubs.slow_reader_busy.load(); }, 5000ms));
  // While the slow callback sleeps: samples of the other reader, and a new
  // writer's discovery, arrive.
  ASSERT_TRUE(wf.write(1, 1));
  rnr::peers::TypedWriter late(kDomain, {Kind::keyed, "late"});
  dds_PublicationBuiltinTopicData pub{};
  dds_SampleInfo info{};
  EXPECT_TRUE(wait_until([&] { return fast.while_busy.load() > 0; }, 1500ms));
  EXPECT_TRUE(wait_until([&] { return pubs.find("late", &pub, &info); }, 1500ms));
  EXPECT_TRUE(pubs.seen_while_busy.load());
}

// Many readers share the callback pool: no thread is added per reader, each
// reader's callback never runs twice at once, and every sample is taken.
TEST(ListenerThreads, ManyReadersShareAFixedPoolOneRunPerReaderAtATime) {
  constexpr int kDomain = 123;
  constexpr int kReaders = 40;
  struct Watch {
    Collector c;
    std::atomic<int> inside{0};
    std::atomic<int> overlaps{0};
  };
  std::vector<std::unique_ptr<Watch>> watches;
  Participant part(kDomain);
  ASSERT_NE(part.p, nullptr);
  dds_DataReaderListener l{};
  l.on_data_available = [](dds_DataReader* r) {
    auto* w = static_cast<Watch*>(dds_Entity_get_context(r, 1));
    if (w->inside.fetch_add(1) != 0) {
      w->overlaps++;
    }
    w->c.take_from(r);
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    w->inside--;
  };
  std::vector<std::unique_ptr<rnr::peers::TypedWriter>> writers;
  size_t threads_with_one_reader = 0;
  for (int k = 0; k < kReaders; k++) {
    const std::string name = "pool" + std::to_string(k);
    dds_Topic* t = part.topic(name.c_str(), rnr::peers::type_name(Kind::keyless), false);
    dds_DataReader* r = dds_Subscriber_create_datareader(part.sub, t, nullptr, nullptr, 0);
    ASSERT_NE(r, nullptr);
    watches.push_back(std::make_unique<Watch>());
    dds_Entity_set_context(r, 1, watches.back().get());
    dds_DataReader_set_listener(r, &l, dds_DATA_AVAILABLE_STATUS);
    writers.push_back(
        std::make_unique<rnr::peers::TypedWriter>(kDomain, TopicArg{Kind::keyless, name}));
    if (k == 0) {
      threads_with_one_reader = thread_count();
    }
  }
  for (auto& w : writers) {
    ASSERT_TRUE(w->wait_for_readers(1, 10000));
  }
  // The writers' participants add Cyclone threads of their own: none.
  EXPECT_EQ(thread_count(), threads_with_one_reader);
  for (uint64_t i = 0; i < 5; i++) {
    for (auto& w : writers) {
      ASSERT_TRUE(w->write(i, 16));
    }
  }
  for (auto& w : watches) {
    EXPECT_TRUE(wait_until([&] { return w->c.count() == 5; }, 10000ms));
    EXPECT_EQ(w->overlaps.load(), 0);
  }
  EXPECT_EQ(thread_count(), threads_with_one_reader);
}

// A callback that takes fewer samples than are waiting runs again without a
// new arrival, until everything was taken.
TEST(ListenerThreads, CutTakesRunTheCallbackAgain) {
  constexpr int kDomain = 21;
  Collector c;
  Participant part(kDomain);
  ASSERT_NE(part.p, nullptr);
  dds_Topic* t = part.topic("cut", rnr::peers::type_name(Kind::keyed), true);
  dds_DataReader* r = dds_Subscriber_create_datareader(part.sub, t, nullptr, nullptr, 0);
  ASSERT_NE(r, nullptr);
  c.max_take = 2;
  rnr::peers::TypedWriter w(kDomain, {Kind::keyed, "cut"});
  ASSERT_TRUE(w.wait_for_readers(1, 10000));
  // Samples arrive before the callback exists: setting it must take them.
  for (int i = 0; i < 7; i++)
    ASSERT_TRUE(w.write(static_cast<uint64_t>(i), 2));
  ASSERT_TRUE(w.wait_for_acks(5000));
  c.attach(r);
  EXPECT_TRUE(wait_until([&] { return c.count() == 7; }, 5000ms));
  EXPECT_GE(c.calls.load(), 4);
}

// Deleting readers while samples flow: no callback afterwards, also when a
// reader deletes itself from its own callback or the participant goes.
TEST(ListenerThreads, DeletingReadersWhileSamplesFlow) {
  constexpr int kDomain = 22;
  struct Watch {
    std::atomic<bool> deleted{false};
    std::atomic<int> after_delete{0};
    std::atomic<int> calls{0};
    dds_Subscriber* sub = nullptr;
    std::atomic<bool> self_deleted{false};
  };
  Watch watch[3];  // outlives the participant whose callbacks use it
  std::atomic<bool> stop{false};
  std::vector<std::thread> writers;
  struct JoinWriters {
    std::atomic<bool>& stop;
    std::vector<std::thread>& threads;
    ~JoinWriters() {
      stop = true;
      for (auto& t : threads)
        t.join();
    }
  } join_writers{stop, writers};
  auto part = std::make_unique<Participant>(kDomain);
  ASSERT_NE(part->p, nullptr);
  dds_DataReader* readers[3];
  for (int k = 0; k < 3; k++) {
    const std::string name = "flow" + std::to_string(k);
    dds_Topic* t = part->topic(name.c_str(), rnr::peers::type_name(Kind::keyless), false);
    readers[k] = dds_Subscriber_create_datareader(part->sub, t, nullptr, nullptr, 0);
    ASSERT_NE(readers[k], nullptr);
    watch[k].sub = part->sub;
    dds_Entity_set_context(readers[k], 0, &watch[k]);
    dds_Entity_set_context(readers[k], 1, reinterpret_cast<void*>(static_cast<intptr_t>(k)));
  }
  dds_DataReaderListener l{};
  l.on_data_available = [](dds_DataReader* r) {
    auto* w = static_cast<Watch*>(dds_Entity_get_context(r, 0));
    const auto k = reinterpret_cast<intptr_t>(dds_Entity_get_context(r, 1));
    if (w->deleted.load()) {
      w->after_delete++;
    }
    Collector c;
    c.take_from(r);
    w->calls++;
    if (k == 1 && w->calls.load() == 3) {
      // Reader 1 deletes itself from its own callback.
      EXPECT_EQ(dds_Subscriber_delete_datareader(w->sub, r), dds_RETCODE_OK);
      w->self_deleted = true;
      w->deleted = true;
      return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  };
  for (auto* r : readers)
    dds_DataReader_set_listener(r, &l, dds_DATA_AVAILABLE_STATUS);

  for (int k = 0; k < 3; k++) {
    writers.emplace_back([&, k] {
      rnr::peers::TypedWriter w(kDomain, {Kind::keyless, "flow" + std::to_string(k)});
      w.wait_for_readers(1, 10000);
      for (uint64_t i = 0; !stop.load(); i++) {
        w.write(i, 64);
        std::this_thread::sleep_for(std::chrono::microseconds(200));
      }
    });
  }
  ASSERT_TRUE(wait_until([&] { return watch[0].calls.load() > 20; }, 10000ms));
  ASSERT_EQ(dds_Subscriber_delete_datareader(part->sub, readers[0]), dds_RETCODE_OK);
  watch[0].deleted = true;
  EXPECT_TRUE(wait_until([&] { return watch[1].self_deleted.load(); }, 10000ms));
  ASSERT_TRUE(wait_until([&] { return watch[2].calls.load() > 20; }, 10000ms));
  // The participant goes while reader 2's callbacks still run.
  part.reset();
  watch[2].deleted = true;
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  for (auto& w : watch) {
    EXPECT_EQ(w.after_delete.load(), 0);
  }
}

}  // namespace
