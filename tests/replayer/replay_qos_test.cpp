// The QoS a replay writer offers, merged from a topic's recorded writers.
#include <gtest/gtest.h>

#include "replayer/replay_qos.h"

namespace {

using namespace rnr::qos;

// Three writers of one topic: the merge reaches every subscriber any of
// them reached, policy by policy.
TEST(ReplayQosMerge, ReachesEverySubscriberOfEveryWriter) {
  WriterQos plain;  // volatile, default partition, shared
  plain.reliability = Reliability::best_effort;
  WriterQos latched;
  latched.durability = Durability::transient_local;
  latched.durability_service.depth = 5;
  latched.partitions = {"maps"};
  latched.deadline_ns = 300000000;
  latched.liveliness = Liveliness::manual_by_participant;
  latched.lease_duration_ns = 900000000;
  WriterQos ordered;
  ordered.partitions = {"sensors", "maps"};
  ordered.deadline_ns = 100000000;
  ordered.latency_budget_ns = 0;
  ordered.liveliness = Liveliness::manual_by_topic;
  ordered.lease_duration_ns = 2000000000;
  ordered.destination_order = DestinationOrder::by_source_timestamp;
  ordered.presentation = {AccessScope::topic, false, true};
  ordered.lifespan_ns = 5000000000;
  ordered.user_data = {1, 2};

  const auto m = rnr_replay_merge_qos({plain, latched, ordered});
  ASSERT_TRUE(m.has_value());
  EXPECT_EQ(m->reliability, Reliability::reliable);
  EXPECT_EQ(m->durability, Durability::transient_local);
  EXPECT_EQ(m->durability_service.depth, 5);
  EXPECT_EQ(m->partitions, (std::vector<std::string>{"", "maps", "sensors"}));
  EXPECT_EQ(m->deadline_ns, 100000000);
  EXPECT_EQ(m->liveliness, Liveliness::manual_by_topic);
  EXPECT_EQ(m->lease_duration_ns, 900000000);
  EXPECT_EQ(m->destination_order, DestinationOrder::by_source_timestamp);
  EXPECT_EQ(m->presentation, (Presentation{AccessScope::topic, false, true}));
  EXPECT_EQ(m->ownership, Ownership::shared);
  EXPECT_EQ(m->lifespan_ns, kInfinite);  // the plain writer's samples never expired
  EXPECT_TRUE(m->user_data.empty());

  dds_DataWriterQos w{};
  dds_PublisherQos p{};
  rnr_replay_apply_qos(*m, &w, &p);
  ASSERT_TRUE(w.durability_service.has_value());
  EXPECT_EQ(w.durability_service->depth, 5);
  EXPECT_EQ(w.history.kind, dds_KEEP_ALL_HISTORY_QOS);
  EXPECT_EQ(w.durability.kind, dds_TRANSIENT_LOCAL_DURABILITY_QOS);
  EXPECT_EQ(p.partitions, m->partitions);
  EXPECT_TRUE(rnr_replay_needs_own_publisher(p));
}

// Exclusive ownership only when every writer had it, with the highest
// strength; the largest durability service of the durable writers; nothing
// without recorded writers.
TEST(ReplayQosMerge, OwnershipAndDurabilityService) {
  WriterQos a;
  a.ownership = Ownership::exclusive;
  a.ownership_strength = 3;
  a.durability = Durability::transient_local;
  a.durability_service.depth = 2;
  a.durability_service.max_samples = 10;
  WriterQos b = a;
  b.ownership_strength = 9;
  b.durability_service.depth = 4;
  b.durability_service.max_samples = -1;
  WriterQos volatile_one = a;
  volatile_one.durability = Durability::volatile_;
  volatile_one.durability_service.depth = 50;  // not durable: does not count
  auto m = rnr_replay_merge_qos({a, b, volatile_one});
  ASSERT_TRUE(m.has_value());
  EXPECT_EQ(m->ownership, Ownership::exclusive);
  EXPECT_EQ(m->ownership_strength, 9);
  EXPECT_EQ(m->durability_service.depth, 4);
  EXPECT_EQ(m->durability_service.max_samples, -1);
  EXPECT_TRUE(m->partitions.empty());

  WriterQos shared;
  m = rnr_replay_merge_qos({a, shared});
  ASSERT_TRUE(m.has_value());
  EXPECT_EQ(m->ownership, Ownership::shared);
  EXPECT_EQ(m->ownership_strength, 0);
  EXPECT_FALSE(rnr_replay_merge_qos({}).has_value());

  // A writer's known history stands for its durability service's: what
  // its late joiners got (a Fast DDS writer announces depth 1 whatever it keeps).
  WriterQos observed = a;
  observed.durability_service.depth = 1;
  observed.durability_service.max_samples_per_instance = 1;
  observed.history = {History::keep_last, 10, HistorySource::observed};
  m = rnr_replay_merge_qos({observed});
  ASSERT_TRUE(m.has_value());
  EXPECT_EQ(m->durability_service.history, History::keep_last);
  EXPECT_EQ(m->durability_service.depth, 10);
  EXPECT_EQ(m->durability_service.max_samples_per_instance, -1);  // else Cyclone refuses depth 10
  observed.history.kind = History::keep_all;
  EXPECT_EQ(rnr_replay_merge_qos({a, observed})->durability_service.history, History::keep_all);

  dds_PublisherQos p{};
  dds_DataWriterQos w{};
  rnr_replay_apply_qos(*rnr_replay_merge_qos({shared}), &w, &p);
  EXPECT_FALSE(rnr_replay_needs_own_publisher(p));
  EXPECT_FALSE(w.durability_service.has_value());
}

}  // namespace
