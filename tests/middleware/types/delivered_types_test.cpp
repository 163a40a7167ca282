// The public operations end to end: a binding participant learns the test
// peers' types from a talker process, writes them as IDL that idlc compiles
// back to the same type information, and dumps the talker's samples.
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "child_process.h"
#include "idlc.h"
#include "middleware/dds_api.h"
#include "recorder/dump.h"
#include "peer_common.h"
#include "rnr_test_types.h"

namespace {

using namespace std::chrono_literals;

std::string dump_line(dds_TypeSupport* support, const std::vector<uint8_t>& bytes) {
  void* sample = dds_TypeSupport_deserialize(support, bytes.data(), bytes.size());
  if (sample == nullptr) {
    return "(not decoded)";
  }
  testing::internal::CaptureStdout();
  dds_dump_data(support, sample);
  std::string line = testing::internal::GetCapturedStdout();
  dds_TypeSupport_free(support, sample);
  return line;
}

TEST(DeliveredTypes, TalkerTypesThroughTheBinding) {
  rnr::test::Child talker({RNR_TEST_TALKER, "--domain", "58", "--topic", "keyed:types_keyed",
                           "--topic", "keyless:types_keyless", "--count", "100", "--rate", "10",
                           "--payload", "0"});
  ASSERT_TRUE(talker.wait_for_output("SAMPLE types_keyless 0", 10s));

  dds_DomainParticipantFactory* factory = dds_DomainParticipantFactory_get_instance();
  dds_DomainParticipant* participant = dds_DomainParticipantFactory_create_participant(
      factory, 58, &dds_PARTICIPANT_QOS_DEFAULT, nullptr, 0);
  ASSERT_NE(participant, nullptr);

  struct Case {
    rnr::peers::Kind kind;
    const dds_topic_descriptor_t* descriptor;
    std::vector<std::string> lines;  // dumps of samples 0, 1, 2
  };
  const Case cases[] = {
      {rnr::peers::Kind::keyed,
       &rnr_test_KeyedSample_desc,
       {"{\"id\": 0, \"seq\": 0, \"inner\": {\"id\": 0, \"label\": \"inner-0\", \"color\": "
        "\"RED\"}, "
        "\"text\": \"keyed sample 0\", \"values\": [0, 0, 0, 3], \"payload\": []}\n",
        "{\"id\": 1, \"seq\": 1, \"inner\": {\"id\": 7, \"label\": \"inner-1\", \"color\": "
        "\"GREEN\"}, \"text\": \"keyed sample 1\", \"values\": [1, -1, 2, 3], \"payload\": []}\n",
        "{\"id\": 2, \"seq\": 2, \"inner\": {\"id\": 14, \"label\": \"inner-2\", \"color\": "
        "\"BLUE\"}, \"text\": \"keyed sample 2\", \"values\": [2, -2, 4, 3], \"payload\": []}\n"}},
      {rnr::peers::Kind::keyless,
       &rnr_test_KeylessSample_desc,
       {"{\"seq\": 0, \"text\": \"keyless sample 0\", \"numbers\": [0], \"points\": [{\"x\": 0.0, "
        "\"y\": 0.5}, {\"x\": -1.25, \"y\": 0.0}], \"color\": \"GREEN\", \"payload\": []}\n",
        "{\"seq\": 1, \"text\": \"keyless sample 1\", \"numbers\": [1, 2], \"points\": [{\"x\": "
        "1.0, \"y\": 0.5}, {\"x\": -1.25, \"y\": 2.0}], \"color\": \"BLUE\", \"payload\": []}\n",
        "{\"seq\": 2, \"text\": \"keyless sample 2\", \"numbers\": [2, 3, 4], \"points\": "
        "[{\"x\": 2.0, \"y\": 0.5}, {\"x\": -1.25, \"y\": 4.0}], \"color\": \"RED\", "
        "\"payload\": []}\n"}},
  };
  for (const Case& c : cases) {
    const char* type_name = rnr::peers::type_name(c.kind);
    SCOPED_TRACE(type_name);
    dds_DataSeq* supports = nullptr;
    for (auto deadline = std::chrono::steady_clock::now() + 10s;
         supports == nullptr && std::chrono::steady_clock::now() < deadline;) {
      supports = dds_DomainParticipant_lookup_delivered_types(participant, type_name);
      if (supports == nullptr) {
        std::this_thread::sleep_for(50ms);
      }
    }
    ASSERT_NE(supports, nullptr);
    ASSERT_EQ(dds_DataSeq_length(supports), 1u);
    auto* support = static_cast<dds_TypeSupport*>(dds_DataSeq_get(supports, 0));
    EXPECT_TRUE(dds_TypeSupport_is_dynamic(support));

    char* idl = dds_TypeSupport_extract_metastring(support);
    ASSERT_NE(idl, nullptr);
    const auto* original = c.descriptor->type_information.data;
    std::vector<uint8_t> expected(original, original + c.descriptor->type_information.sz);
    std::string message;
    EXPECT_EQ(rnr::test::idlc_type_info(RNR_IDLC, idl, type_name, &message), expected)
        << message << idl;
    free(idl);

    const bool xcdr2 = rnr::peers::default_xcdr2(c.kind);
    for (uint64_t i = 0; i < 3; ++i) {
      EXPECT_EQ(dump_line(support, rnr::peers::expected_bytes(c.kind, i, 0, xcdr2)), c.lines[i]);
    }
    dds_DynamicTypeSupport_delete_type_support(support);
    dds_DataSeq_delete(supports);
  }

  // A type nobody publishes, and no participant.
  EXPECT_EQ(dds_DomainParticipant_lookup_delivered_types(participant, "rnr_test::Nothing"),
            nullptr);
  EXPECT_EQ(dds_DomainParticipant_lookup_delivered_types(nullptr, "rnr_test::KeyedSample"),
            nullptr);
  EXPECT_EQ(dds_DomainParticipantFactory_delete_participant(factory, participant), dds_RETCODE_OK);
  talker.signal(SIGTERM);
  talker.wait();
}

}  // namespace
