// The text form of a writer's QoS (what the bag stores) and the partitions
// a reader asks for to match a writer.
#include <gtest/gtest.h>

#include "types/qos_policies.h"

namespace {

using namespace rnr::qos;

// Every policy away from its default survives the round trip, partitions
// with the characters the list escapes and user data bytes included.
TEST(QosText, EveryPolicyRoundTrips) {
  WriterQos q;
  q.reliability = Reliability::best_effort;
  q.max_blocking_time_ns = kInfinite;
  q.durability = Durability::transient_local;
  q.durability_service = {5, History::keep_all, 7, 100, 10, -1};
  q.deadline_ns = 200000000;
  q.latency_budget_ns = 100000000;
  q.liveliness = Liveliness::manual_by_topic;
  q.lease_duration_ns = 500000000;
  q.ownership = Ownership::exclusive;
  q.ownership_strength = -3;
  q.destination_order = DestinationOrder::by_source_timestamp;
  q.presentation = {AccessScope::group, true, true};
  q.partitions = {"sensors", "a,b", "100%", "line\nbreak", ""};
  q.lifespan_ns = 1;
  q.representations = {2, 0};
  q.user_data = {0x00, 0xff, 0x3d, 0x0a};
  q.history = {History::keep_last, 10, HistorySource::observed};
  const std::string text = to_text(q);
  EXPECT_EQ(text.find("\n\n"), std::string::npos) << text;
  const auto back = from_text(text);
  ASSERT_TRUE(back.has_value()) << text;
  EXPECT_TRUE(*back == q) << text << "\n---\n" << to_text(*back);
  EXPECT_TRUE(from_text(to_text(WriterQos{})) == WriterQos{});
  // An unknown history writes no lines: such a text reads as before.
  EXPECT_EQ(to_text(WriterQos{}).find("\nhistory"), std::string::npos);
}

// Unknown lines are skipped (a later version's policies); malformed values
// give nothing rather than a wrong QoS.
TEST(QosText, UnknownLinesSkippedMalformedRefused) {
  const auto q = from_text("ownership=exclusive\nfuture_policy=42\n");
  ASSERT_TRUE(q.has_value());
  EXPECT_EQ(q->ownership, Ownership::exclusive);
  EXPECT_EQ(q->reliability, Reliability::reliable);
  for (const char* bad :
       {"deadline=soon\n", "reliability=maybe\n", "user_data=abc\n", "partition=%zz\n",
        "no equals sign\n", "ownership.strength=1x\n", "partition=ab%4\n"}) {
    EXPECT_FALSE(from_text(bad).has_value()) << bad;
  }
  // A name too long to keep is still checked for its escapes.
  EXPECT_FALSE(from_text("partition=" + std::string(800, 'a') + "%zz\n").has_value());
  TextLimitsHit hit;
  const auto limited = from_text("partition=" + std::string(800, 'a') + ",b%2c,c\n", &hit);
  ASSERT_TRUE(limited.has_value());
  EXPECT_EQ(limited->partitions, (std::vector<std::string>{"b,", "c"}));
  EXPECT_EQ(hit.partition_names_too_long, 1u);
}

// A wildcard expression matches no other expression, so a reader is put
// into a name the expression matches; plain names stay as they are.
TEST(QosPartitions, ReaderNamesMatchTheWritersExpressions) {
  EXPECT_EQ(partitions_matching({"sensors", "sens*", "a?c", "[bc]x", "[!x]y", "q\\*"}),
            (std::vector<std::string>{"sensors", "sens", "axc", "bx", "yy", "q*"}));
  EXPECT_TRUE(partitions_matching({}).empty());
  EXPECT_EQ(policy_name(10), "PARTITION");
  EXPECT_EQ(policy_name(4), "DEADLINE");
  EXPECT_EQ(policy_name(99), "policy 99");
}

}  // namespace
