// Batching raw writers towards a typed application in another process: what
// a batching writer holds goes out on flush, complete and in order, and the
// binding's other writers keep sending every sample at once.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "binding_test_util.h"
#include "child_process.h"
#include "middleware/dds_api.h"
#include "peer_common.h"

using rnr::peers::Kind;
using namespace rnr::test;
using namespace std::chrono_literals;

namespace {

dds_DataWriter* transient_local_writer(Participant& part, const char* name, Kind kind, bool xcdr2,
                                       bool batch) {
  dds_Topic* t = part.topic(name, rnr::peers::type_name(kind), kind == Kind::keyed);
  if (t == nullptr) {
    return nullptr;
  }
  dds_DataWriterQos q;
  dds_Publisher_get_default_datawriter_qos(part.pub, &q);
  q.representation.length = 1;
  q.representation.value[0] = xcdr2 ? dds_XCDR2_DATA_REPRESENTATION : dds_XCDR_DATA_REPRESENTATION;
  // A reader that matched before the writer noticed it still gets every sample.
  q.durability.kind = dds_TRANSIENT_LOCAL_DURABILITY_QOS;
  q.batch.enable = batch;
  dds_DataWriter* w = dds_Publisher_create_datawriter(part.pub, t, &q, nullptr, 0);
  dds_DataWriterQos_finalize(&q);
  return w;
}

// The decoded values of the listener's samples of `topic`, in arrival order.
std::vector<std::string> heard(Child& listener, const std::string& topic) {
  std::vector<std::string> out;
  for (const auto& line : listener.out_lines()) {
    const auto f = rnr::test::split(line, 6);
    if (f.size() == 6 && f[0] == "SAMPLE" && f[1] == topic) {
      out.push_back(f[5]);
    }
  }
  return out;
}

TEST(Batching, FlushSendsEverySampleInOrderAndOtherWritersStayUnbatched) {
  constexpr int kDomain = 40;
  constexpr int kBatched = 240;
  constexpr int kPlain = 5;
  Participant part(kDomain);
  ASSERT_NE(part.p, nullptr);
  dds_DataWriter* batched = transient_local_writer(part, "bt_batched", Kind::keyless, true, true);
  // Created after the batching writer, in the same process and domain.
  dds_DataWriter* plain = transient_local_writer(part, "bt_plain", Kind::keyed, false, false);
  ASSERT_NE(batched, nullptr);
  ASSERT_NE(plain, nullptr);
  EXPECT_EQ(dds_DataWriter_flush(nullptr), dds_RETCODE_BAD_PARAMETER);
  EXPECT_EQ(dds_DataWriter_flush(plain), dds_RETCODE_OK);

  Child listener({RNR_LISTENER, "--domain", std::to_string(kDomain), "--topic",
                  "keyless:bt_batched", "--topic", "keyed:bt_plain", "--count",
                  std::to_string(kBatched + kPlain), "--timeout-ms", "30000", "--transient-local"});
  ASSERT_TRUE(listener.started());
  ASSERT_TRUE(wait_until(
      [&] {
        return listener.has_line_starting("MATCHED bt_batched") &&
               listener.has_line_starting("MATCHED bt_plain");
      },
      15000ms));

  // Never flushed: they must go out on their own.
  std::vector<std::string> want_plain;
  for (int i = 0; i < kPlain; i++) {
    const auto b = rnr::peers::expected_bytes(Kind::keyed, static_cast<uint64_t>(i), 8, false);
    ASSERT_EQ(dds_DataWriter_raw_write(plain, b.data(), b.size()), dds_RETCODE_OK);
    want_plain.push_back(
        rnr::peers::expected_description(Kind::keyed, static_cast<uint64_t>(i), 8));
  }
  EXPECT_TRUE(wait_until([&] { return heard(listener, "bt_plain").size() == kPlain; }, 10000ms));

  // Small samples packed together, with samples large enough to be sent in
  // fragments among them.
  std::vector<std::string> want_batched;
  for (int i = 0; i < kBatched; i++) {
    const size_t payload = i % 20 == 7 ? 20000 : 12;
    const auto b =
        rnr::peers::expected_bytes(Kind::keyless, static_cast<uint64_t>(i), payload, true);
    ASSERT_EQ(dds_DataWriter_raw_write(batched, b.data(), b.size()), dds_RETCODE_OK);
    want_batched.push_back(
        rnr::peers::expected_description(Kind::keyless, static_cast<uint64_t>(i), payload));
  }
  EXPECT_EQ(dds_DataWriter_flush(batched), dds_RETCODE_OK);
  EXPECT_EQ(listener.wait(), 0);
  EXPECT_EQ(heard(listener, "bt_plain"), want_plain);
  EXPECT_EQ(heard(listener, "bt_batched"), want_batched);
}

}  // namespace
