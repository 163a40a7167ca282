// Raw readers and writers against typed Cyclone applications: the bytes a
// typed writer sends arrive unchanged, and the bytes a raw writer sends decode
// to the original values, in-process and across processes.
#include <gtest/gtest.h>

#include <algorithm>
#include <set>

#include "byte_multiset.h"
#include "binding_test_util.h"
#include "child_process.h"
#include "peer_common.h"

using rnr::peers::Kind;
using rnr::peers::TopicArg;
using namespace rnr::test;
using namespace std::chrono_literals;

namespace {

dds_DataReader* raw_reader(Participant& part, const TopicArg& topic_arg, bool keyed) {
  dds_Topic* t = part.topic(topic_arg.name.c_str(), rnr::peers::type_name(topic_arg.kind), keyed);
  if (t == nullptr)
    return nullptr;
  return dds_Subscriber_create_datareader(part.sub, t, nullptr, nullptr, 0);
}

// A raw writer advertising the representation its bytes are encoded in.
dds_DataWriter* raw_writer(Participant& part, const TopicArg& topic_arg, bool xcdr2,
                           bool transient_local = false) {
  dds_Topic* t = part.topic(topic_arg.name.c_str(), rnr::peers::type_name(topic_arg.kind),
                            topic_arg.kind == Kind::keyed);
  if (t == nullptr)
    return nullptr;
  dds_DataWriterQos q;
  dds_Publisher_get_default_datawriter_qos(part.pub, &q);
  q.representation.length = 1;
  q.representation.value[0] = xcdr2 ? dds_XCDR2_DATA_REPRESENTATION : dds_XCDR_DATA_REPRESENTATION;
  if (transient_local) {
    q.durability.kind = dds_TRANSIENT_LOCAL_DURABILITY_QOS;
  }
  dds_DataWriter* w = dds_Publisher_create_datawriter(part.pub, t, &q, nullptr, 0);
  dds_DataWriterQos_finalize(&q);
  return w;
}

ByteMultiset expected_set(Kind kind, int count, size_t payload, bool xcdr2) {
  ByteMultiset out;
  for (int i = 0; i < count; i++) {
    out.insert(rnr::peers::expected_bytes(kind, static_cast<uint64_t>(i), payload, xcdr2));
  }
  return out;
}

ByteMultiset as_set(const std::vector<std::vector<uint8_t>>& v) {
  return {v.begin(), v.end()};
}

// The three sequences of a raw take, all of one capacity.
struct TakeSeqs {
  explicit TakeSeqs(uint32_t capacity)
      : data(dds_DataSeq_create(capacity)),
        infos(dds_SampleInfoSeq_create(capacity)),
        sizes(dds_UnsignedLongSeq_create(capacity)) {}
  ~TakeSeqs() {
    dds_DataSeq_delete(data);
    dds_SampleInfoSeq_delete(infos);
    dds_UnsignedLongSeq_delete(sizes);
  }
  TakeSeqs(const TakeSeqs&) = delete;
  TakeSeqs& operator=(const TakeSeqs&) = delete;
  bool ok() const { return data != nullptr && infos != nullptr && sizes != nullptr; }
  // Takes whatever is there; on success, `each` sees every sample (buffer,
  // size, valid flag) and the loan is returned.
  template <typename Each>
  dds_ReturnCode_t take(dds_DataReader* r, Each each) {
    const dds_ReturnCode_t rc =
        dds_DataReader_raw_take(r, dds_HANDLE_NIL, data, infos, sizes, -1, dds_ANY_SAMPLE_STATE,
                                dds_ANY_VIEW_STATE, dds_ANY_INSTANCE_STATE);
    if (rc == dds_RETCODE_OK) {
      for (uint32_t k = 0; k < dds_DataSeq_length(data); k++) {
        each(static_cast<const uint8_t*>(dds_DataSeq_get(data, k)),
             dds_UnsignedLongSeq_get(sizes, k), dds_SampleInfoSeq_get(infos, k)->valid_data);
      }
      dds_DataReader_raw_return_loan(r, data, infos, sizes);
    }
    return rc;
  }
  dds_DataSeq* data;
  dds_SampleInfoSeq* infos;
  dds_UnsignedLongSeq* sizes;
};

struct Case {
  TopicArg topic_arg;
  bool xcdr2;
  size_t payload;
};

// Typed writers in a second participant of this process publish; raw readers
// of the binding must receive exactly the serialized bytes.
void typed_to_raw_in_process(int domain, const std::vector<Case>& cases) {
  constexpr int kCount = 6;
  std::vector<std::unique_ptr<Collector>> collectors;  // outlive the participant
  Participant part(domain);
  ASSERT_NE(part.p, nullptr);
  std::vector<std::unique_ptr<rnr::peers::TypedWriter>> writers;
  for (const Case& c : cases) {
    dds_DataReader* r = raw_reader(part, c.topic_arg, c.topic_arg.kind == Kind::keyed);
    ASSERT_NE(r, nullptr) << c.topic_arg.name;
    collectors.push_back(std::make_unique<Collector>());
    collectors.back()->attach(r);
    rnr::peers::EndpointOptions o;
    o.xcdr2 = c.xcdr2;
    writers.push_back(std::make_unique<rnr::peers::TypedWriter>(domain, c.topic_arg, o));
    ASSERT_TRUE(writers.back()->ok());
    ASSERT_TRUE(writers.back()->wait_for_readers(1, 10000)) << c.topic_arg.name;
  }
  for (int i = 0; i < kCount; i++) {
    for (size_t k = 0; k < cases.size(); k++) {
      ASSERT_TRUE(writers[k]->write(static_cast<uint64_t>(i), cases[k].payload));
    }
  }
  for (size_t k = 0; k < cases.size(); k++) {
    const Case& c = cases[k];
    const bool xcdr2 = c.xcdr2 || rnr::peers::default_xcdr2(c.topic_arg.kind);
    EXPECT_TRUE(wait_until([&] { return collectors[k]->count() >= kCount; }, 10000ms))
        << c.topic_arg.name;
    EXPECT_EQ(as_set(collectors[k]->copy()),
              expected_set(c.topic_arg.kind, kCount, c.payload, xcdr2))
        << c.topic_arg.name;
  }
}

TEST(RawSamples, TypedWriterToRawReaderInProcessKeepsExactBytes) {
  typed_to_raw_in_process(10, {{{Kind::keyed, "k_xcdr1"}, false, 16},
                               {{Kind::keyless, "l_xcdr2"}, false, 16},
                               {{Kind::keyed, "k_xcdr2"}, true, 3}});
}

TEST(RawSamples, FragmentedSamplesInProcessArriveIntact) {
  typed_to_raw_in_process(11, {{{Kind::keyed, "big_keyed"}, false, 200000},
                               {{Kind::keyless, "big_keyless"}, false, 70001}});
}

// The keyed flag decides matching: a keyless raw reader of a keyed topic gets
// nothing, the keyed one gets everything.
TEST(RawSamples, KeyFlagMustAgreeWithTheWriterForAMatch) {
  constexpr int kDomain = 12;
  Collector cg, cb;
  Participant part(kDomain);
  ASSERT_NE(part.p, nullptr);
  const TopicArg topic_arg{Kind::keyed, "keyflag"};
  dds_Topic* keyed = part.topic("keyflag", rnr::peers::type_name(Kind::keyed), true);
  dds_DataReader* good = dds_Subscriber_create_datareader(part.sub, keyed, nullptr, nullptr, 0);
  Participant other(kDomain);
  dds_Topic* keyless = other.topic("keyflag", rnr::peers::type_name(Kind::keyed), false);
  dds_DataReader* bad = dds_Subscriber_create_datareader(other.sub, keyless, nullptr, nullptr, 0);
  ASSERT_NE(good, nullptr);
  ASSERT_NE(bad, nullptr);
  cg.attach(good);
  cb.attach(bad);
  rnr::peers::TypedWriter w(kDomain, topic_arg);
  ASSERT_TRUE(w.wait_for_readers(1, 10000));
  for (int i = 0; i < 3; i++)
    ASSERT_TRUE(w.write(static_cast<uint64_t>(i), 8));
  EXPECT_TRUE(wait_until([&] { return cg.count() >= 3; }, 10000ms));
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_EQ(w.matched_readers(), 1u);
  EXPECT_EQ(cb.count(), 0u);
}

// Raw writers of the binding publish stored bytes; typed readers must decode
// the original values and see the same bytes.
TEST(RawSamples, RawWriterToTypedReaderInProcessDecodesOriginalValues) {
  constexpr int kDomain = 13;
  constexpr int kCount = 5;
  Participant part(kDomain);
  ASSERT_NE(part.p, nullptr);
  const std::vector<Case> cases = {{{Kind::keyed, "rw_keyed"}, false, 12},
                                   {{Kind::keyless, "rw_keyless"}, true, 9},
                                   {{Kind::keyed, "rw_keyed2"}, true, 100000}};
  for (const Case& c : cases) {
    dds_DataWriter* w = raw_writer(part, c.topic_arg, c.xcdr2);
    ASSERT_NE(w, nullptr);
    rnr::peers::TypedReader reader(kDomain, c.topic_arg);
    ASSERT_TRUE(reader.wait_for_writers(1, 10000)) << c.topic_arg.name;
    for (int i = 0; i < kCount; i++) {
      const auto bytes = rnr::peers::expected_bytes(c.topic_arg.kind, static_cast<uint64_t>(i),
                                                    c.payload, c.xcdr2);
      ASSERT_EQ(dds_DataWriter_raw_write(w, bytes.data(), bytes.size()), dds_RETCODE_OK);
    }
    const auto got = reader.take_until(kCount, 10000);
    ASSERT_EQ(got.size(), static_cast<size_t>(kCount)) << c.topic_arg.name;
    std::multiset<std::string> want, have;
    for (int i = 0; i < kCount; i++) {
      want.insert(
          rnr::peers::expected_description(c.topic_arg.kind, static_cast<uint64_t>(i), c.payload));
    }
    for (const auto& r : got) {
      have.insert(r.description);
    }
    EXPECT_EQ(have, want) << c.topic_arg.name;
  }
  // A missing writer or an impossible sample is refused.
  const uint8_t header[4] = {0, 1, 0, 0};
  EXPECT_NE(dds_DataWriter_raw_write(nullptr, header, 4), dds_RETCODE_OK);
  dds_DataWriter* w = raw_writer(part, {Kind::keyless, "rw_refuse"}, false);
  EXPECT_NE(dds_DataWriter_raw_write(w, header, 3), dds_RETCODE_OK);
  EXPECT_NE(dds_DataWriter_raw_write(w, nullptr, 8), dds_RETCODE_OK);
}

// Raw readers take the reliability and durability they are given: a
// transient-local reader gets what a transient-local writer kept, a volatile
// one does not; a best-effort writer matches only a best-effort reader.
TEST(RawSamples, ReaderReliabilityAndDurabilityAreTheCallers) {
  constexpr int kDomain = 23;
  Collector late_tl, late_volatile, reliable, best_effort;
  Participant part(kDomain);
  ASSERT_NE(part.p, nullptr);
  rnr::peers::EndpointOptions tl;
  tl.transient_local = true;
  rnr::peers::TypedWriter kept(kDomain, {Kind::keyed, "kept"}, tl);
  ASSERT_TRUE(kept.ok());
  for (int i = 0; i < 5; i++)
    ASSERT_TRUE(kept.write(static_cast<uint64_t>(i), 8));

  auto make = [&](const char* topic, Kind kind, dds_DurabilityQosPolicyKind d,
                  dds_ReliabilityQosPolicyKind r) {
    dds_Topic* t = part.topic(topic, rnr::peers::type_name(kind), kind == Kind::keyed);
    dds_DataReaderQos q;
    dds_Subscriber_get_default_datareader_qos(part.sub, &q);
    q.durability.kind = d;
    q.reliability.kind = r;
    dds_DataReader* reader = dds_Subscriber_create_datareader(part.sub, t, &q, nullptr, 0);
    dds_DataReaderQos_finalize(&q);
    return reader;
  };
  late_tl.attach(
      make("kept", Kind::keyed, dds_TRANSIENT_LOCAL_DURABILITY_QOS, dds_RELIABLE_RELIABILITY_QOS));
  late_volatile.attach(
      make("kept", Kind::keyed, dds_VOLATILE_DURABILITY_QOS, dds_RELIABLE_RELIABILITY_QOS));
  EXPECT_TRUE(wait_until([&] { return late_tl.count() >= 5; }, 10000ms));
  EXPECT_EQ(as_set(late_tl.copy()), expected_set(Kind::keyed, 5, 8, false));

  rnr::peers::EndpointOptions be;
  be.reliable = false;
  rnr::peers::TypedWriter loose(kDomain, {Kind::keyless, "loose"}, be);
  reliable.attach(
      make("loose", Kind::keyless, dds_VOLATILE_DURABILITY_QOS, dds_RELIABLE_RELIABILITY_QOS));
  best_effort.attach(
      make("loose", Kind::keyless, dds_VOLATILE_DURABILITY_QOS, dds_BEST_EFFORT_RELIABILITY_QOS));
  ASSERT_TRUE(loose.wait_for_readers(1, 10000));
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_EQ(loose.matched_readers(), 1u);
  for (int i = 0; i < 3; i++)
    ASSERT_TRUE(loose.write(static_cast<uint64_t>(i), 8));
  EXPECT_TRUE(wait_until([&] { return best_effort.count() >= 3; }, 10000ms));
  EXPECT_EQ(reliable.count(), 0u);
  EXPECT_EQ(late_volatile.count(), 0u);
}

// A sequence's capacity bounds a take but is not allocated up front:
// sequences of the largest capacity can be created, and takes with them hand
// out every sample that arrived, in order.
TEST(RawSamples, LargestSequenceCapacitiesTakeEverySample) {
  constexpr int kDomain = 24;
  constexpr int kCount = 5000;
  Participant part(kDomain);
  ASSERT_NE(part.p, nullptr);
  const TopicArg arg{Kind::keyless, "largest_capacity"};
  dds_DataReader* r = raw_reader(part, arg, false);
  dds_DataWriter* w = raw_writer(part, arg, false);
  ASSERT_NE(r, nullptr);
  ASSERT_NE(w, nullptr);
  TakeSeqs seqs(UINT32_MAX);
  ASSERT_TRUE(seqs.ok());
  for (int i = 0; i < kCount; i++) {
    const uint8_t sample[8] = {0, 1, 0, 0, static_cast<uint8_t>(i), static_cast<uint8_t>(i >> 8),
                               0, 0};
    ASSERT_EQ(dds_DataWriter_raw_write(w, sample, sizeof sample), dds_RETCODE_OK);
  }
  std::vector<int> seen;
  dds_ReturnCode_t last = dds_RETCODE_OK;
  wait_until(
      [&] {
        last = seqs.take(r, [&](const uint8_t* b, uint32_t size, bool) {
          if (b != nullptr && size == 8) {
            seen.push_back(b[4] | (b[5] << 8));
          }
        });
        return seen.size() >= kCount || (last != dds_RETCODE_OK && last != dds_RETCODE_NO_DATA);
      },
      10000ms);
  EXPECT_TRUE(last == dds_RETCODE_OK || last == dds_RETCODE_NO_DATA)
      << dds_ReturnCode_to_string(last);
  ASSERT_EQ(seen.size(), static_cast<size_t>(kCount));
  for (int i = 0; i < kCount; i++) {
    ASSERT_EQ(seen[static_cast<size_t>(i)], i & 0xffff);
  }
}

// --- across processes ------------------------------------------------------

TEST(RawSamples, TalkerProcessToRawReaderKeepsExactBytes) {
  constexpr int kDomain = 14;
  constexpr int kCount = 8;
  std::vector<std::unique_ptr<Collector>> collectors;
  Participant part(kDomain);
  ASSERT_NE(part.p, nullptr);
  const std::vector<TopicArg> specs = {
      {Kind::keyed, "xp_keyed"}, {Kind::keyless, "xp_keyless"}, {Kind::keyed, "xp_big"}};
  for (const auto& s : specs) {
    dds_DataReader* r = raw_reader(part, s, s.kind == Kind::keyed);
    ASSERT_NE(r, nullptr);
    collectors.push_back(std::make_unique<Collector>());
    collectors.back()->attach(r);
  }
  // Two talkers: small samples, and samples far above 64 KiB (fragmented).
  Child small({RNR_TALKER, "--domain", std::to_string(kDomain), "--topic", "keyed:xp_keyed",
               "--topic", "keyless:xp_keyless", "--count", std::to_string(kCount), "--rate", "100",
               "--payload", "21", "--wait-readers", "1"});
  Child big({RNR_TALKER, "--domain", std::to_string(kDomain), "--topic", "keyed:xp_big", "--count",
             std::to_string(kCount), "--rate", "50", "--payload", "150000", "--xcdr2",
             "--wait-readers", "1"});
  ASSERT_TRUE(small.started());
  ASSERT_TRUE(big.started());
  EXPECT_EQ(small.wait(), 0);
  EXPECT_EQ(big.wait(), 0);
  std::map<std::string, ByteMultiset> sent;
  for (Child* c : {&small, &big}) {
    for (const auto& line : c->out_lines()) {
      const auto f = rnr::test::split(line, 8);
      if (f.size() == 8 && f[0] == "SAMPLE") {
        std::vector<uint8_t> bytes(f[7].size() / 2);
        for (size_t k = 0; k < bytes.size(); k++) {
          bytes[k] = static_cast<uint8_t>(std::stoi(f[7].substr(2 * k, 2), nullptr, 16));
        }
        sent[f[1]].insert(bytes);
      }
    }
  }
  for (size_t k = 0; k < specs.size(); k++) {
    ASSERT_EQ(sent[specs[k].name].size(), static_cast<size_t>(kCount)) << specs[k].name;
    EXPECT_TRUE(wait_until([&] { return collectors[k]->count() >= kCount; }, 10000ms));
    EXPECT_EQ(as_set(collectors[k]->copy()), sent[specs[k].name]) << specs[k].name;
  }
}

TEST(RawSamples, RawWriterToListenerProcessDecodesOriginalValues) {
  constexpr int kDomain = 15;
  constexpr int kCount = 6;
  Participant part(kDomain);
  ASSERT_NE(part.p, nullptr);
  const TopicArg keyed{Kind::keyed, "xw_keyed"}, keyless{Kind::keyless, "xw_keyless"};
  // Transient-local on both sides: a reader that matched before the writer
  // noticed it still gets every sample.
  dds_DataWriter* wk = raw_writer(part, keyed, false, true);
  dds_DataWriter* wl = raw_writer(part, keyless, true, true);
  ASSERT_NE(wk, nullptr);
  ASSERT_NE(wl, nullptr);
  Child listener({RNR_LISTENER, "--domain", std::to_string(kDomain), "--topic", "keyed:xw_keyed",
                  "--topic", "keyless:xw_keyless", "--count", std::to_string(2 * kCount),
                  "--timeout-ms", "20000", "--transient-local"});
  ASSERT_TRUE(listener.started());
  ASSERT_TRUE(wait_until(
      [&] {
        return listener.has_line_starting("MATCHED xw_keyed") &&
               listener.has_line_starting("MATCHED xw_keyless");
      },
      15000ms));
  // Keyed samples go out with their alignment padding cut off: the bytes
  // then end off a 4-byte boundary and must still travel intact.
  std::multiset<std::string> want;
  for (int i = 0; i < kCount; i++) {
    auto bk = rnr::peers::expected_bytes(Kind::keyed, static_cast<uint64_t>(i), 70000 + i, false);
    const size_t pad = bk[3] & 3u;
    bk.resize(bk.size() - pad);
    bk[3] = 0;
    ASSERT_EQ(dds_DataWriter_raw_write(wk, bk.data(), bk.size()), dds_RETCODE_OK);
    const auto bl = rnr::peers::expected_bytes(Kind::keyless, static_cast<uint64_t>(i), 5, true);
    ASSERT_EQ(dds_DataWriter_raw_write(wl, bl.data(), bl.size()), dds_RETCODE_OK);
    want.insert("xw_keyed " +
                rnr::peers::expected_description(Kind::keyed, static_cast<uint64_t>(i), 70000 + i));
    want.insert("xw_keyless " +
                rnr::peers::expected_description(Kind::keyless, static_cast<uint64_t>(i), 5));
  }
  EXPECT_EQ(listener.wait(), 0);
  std::multiset<std::string> have;
  for (const auto& line : listener.out_lines()) {
    const auto f = rnr::test::split(line, 6);
    if (f.size() == 6 && f[0] == "SAMPLE") {
      have.insert(f[1] + " " + f[5]);
    }
  }
  EXPECT_EQ(have, want);
}

// When a keyed writer goes, its instances change state by samples without
// valid data: these hand out no buffer, only the valid sample has bytes.
TEST(RawSamples, SamplesWithoutValidDataHaveNoBuffer) {
  constexpr int kDomain = 26;
  Participant part(kDomain);
  ASSERT_NE(part.p, nullptr);
  const TopicArg arg{Kind::keyed, "goes_away"};
  dds_DataReader* r = raw_reader(part, arg, true);
  ASSERT_NE(r, nullptr);
  TakeSeqs seqs(16);
  ASSERT_TRUE(seqs.ok());
  int valid = 0, invalid = 0;
  auto take = [&] {
    seqs.take(r, [&](const uint8_t* b, uint32_t size, bool valid_data) {
      if (valid_data) {
        valid++;
        EXPECT_NE(b, nullptr);
      } else {
        invalid++;
        EXPECT_EQ(b, nullptr);
        EXPECT_EQ(size, 0u);
      }
    });
  };
  // Its unregistrations arrive over the network.
  Child talker({RNR_TALKER, "--domain", std::to_string(kDomain), "--topic", "keyed:goes_away",
                "--count", "1", "--wait-readers", "1", "--linger-ms", "1500"});
  ASSERT_TRUE(talker.started());
  // Taken first: a state change of an instance whose last sample is still
  // unread travels with that sample instead of a sample of its own.
  EXPECT_TRUE(wait_until([&] { return take(), valid == 1; }, 10000ms));
  EXPECT_EQ(talker.wait(), 0);
  EXPECT_TRUE(wait_until([&] { return take(), invalid > 0; }, 10000ms));
  EXPECT_EQ(valid, 1);
}

}  // namespace
