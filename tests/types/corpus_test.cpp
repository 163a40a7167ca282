// The type corpus end to end, as the recorder and the bag tool see it: the
// corpus peer publishes every corpus type; for each, the type that its
// participant delivers is written as the recorder stores it, and that text
//  - compiled again by idlc gives the type information idlc gave the peer,
//  - decodes the published sample (through the binding, as the recorder's
//    dump does, and read back as IDL, as `json` does) to the expected JSON;
// for the types with inheritance, the MCAP file of a bag holding that text
// and the sample is read back by the viewers' MCAP, IDL and CDR libraries.
#include <chrono>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "bag_files.h"
#include "child_process.h"
#include "corpus_cases.h"
#include "files.h"
#include "idlc.h"
#include "middleware/dds_api.h"
#include "recorder/dump.h"
#include "types/idl_parse.h"
#include "types/type_model.h"

namespace {

using namespace std::chrono_literals;
using rnr::test::Child;
using rnr::test::ChildOptions;
using rnr::test::TempDir;

constexpr int kDomain = 143;

std::vector<uint8_t> from_hex(const std::string& hex) {
  std::vector<uint8_t> bytes;
  for (size_t i = 0; i + 1 < hex.size(); i += 2) {
    bytes.push_back(static_cast<uint8_t>(std::stoul(hex.substr(i, 2), nullptr, 16)));
  }
  return bytes;
}

struct Published {
  std::vector<uint8_t> type_info;
  std::vector<uint8_t> sample;
};

// The metastring of the delivered type, as the recorder extracts it, and the
// sample dumped through the same type support; empty when none came.
std::pair<std::string, std::string> learn(dds_DomainParticipant* participant, const char* type,
                                          const std::vector<uint8_t>& sample) {
  dds_DataSeq* supports = nullptr;
  for (auto deadline = std::chrono::steady_clock::now() + 10s;
       supports == nullptr && std::chrono::steady_clock::now() < deadline;) {
    supports = dds_DomainParticipant_lookup_delivered_types(participant, type);
    if (supports == nullptr) {
      std::this_thread::sleep_for(50ms);
    }
  }
  std::pair<std::string, std::string> result;
  if (supports == nullptr || dds_DataSeq_length(supports) != 1) {
    return result;
  }
  auto* support = static_cast<dds_TypeSupport*>(dds_DataSeq_get(supports, 0));
  if (char* idl = dds_TypeSupport_extract_metastring(support)) {
    result.first = idl;
    free(idl);
  }
  if (void* data = dds_TypeSupport_deserialize(support, sample.data(), sample.size())) {
    testing::internal::CaptureStdout();
    dds_dump_data(support, data);
    result.second = testing::internal::GetCapturedStdout();
    dds_TypeSupport_free(support, data);
  }
  dds_DynamicTypeSupport_delete_type_support(support);
  dds_DataSeq_delete(supports);
  return result;
}

// A bag with `idl` as the topic's type description and `sample`, exported
// with `mcap` and read back by the viewers' libraries, which must decode the
// sample to `json`.
void expect_viewers_decode(const rnr::test::CorpusCase& c, const std::string& idl,
                           const std::vector<uint8_t>& sample, const std::string& json) {
  TempDir dir;
  const std::string bag = dir.file("corpus.sqlite3");
  {
    rnr::test::BagWriter writer(bag);
    writer.add_sample(writer.add_topic(c.topic, c.type, 0, idl.c_str()), rnr::test::kBase, sample);
  }
  Child mcap({RNR_BAG_TOOL_PATH, "mcap", bag, dir.file("out.mcap")});
  ASSERT_EQ(mcap.wait(60s), 0) << mcap.err();
  std::ostringstream expected;
  expected << "{\"messages\":[{\"topic\":\"" << c.topic << "\",\"sequence\":1,\"log_time\":\""
           << rnr::test::kBase << "\",\"value\":" << json << "}],\"topics\":{\"" << c.topic
           << "\":{\"count\":1,\"schema\":true}},\"writers\":[]}";
  rnr::test::write_file(dir.file("expected.json"), expected.str());
  Child check({RNR_NODE_PATH, RNR_MCAP_CHECK, dir.file("out.mcap"), dir.file("expected.json")},
              ChildOptions{.cwd = RNR_MCAP_CHECK_DIR});
  EXPECT_EQ(check.wait(60s), 0) << check.out() << check.err();
  EXPECT_EQ(check.out(), "OK 1\n");
}

TEST(TypeCorpus, StoredTextsCompileToTheSameTypesAndDecodeThePublishedSamples) {
  Child peer({RNR_CORPUS_PEER, std::to_string(kDomain)});
  ASSERT_TRUE(peer.wait_for_output("ready\n", 30s)) << peer.out() << peer.err();
  std::map<std::string, Published> published;
  for (const auto& line : peer.out_lines()) {
    std::istringstream words(line);
    std::string tag, topic, info, sample;
    if (words >> tag >> topic >> info >> sample && tag == "TOPIC") {
      published[topic] = {from_hex(info), from_hex(sample)};
    }
  }
  dds_DomainParticipantFactory* factory = dds_DomainParticipantFactory_get_instance();
  dds_DomainParticipant* participant = dds_DomainParticipantFactory_create_participant(
      factory, kDomain, &dds_PARTICIPANT_QOS_DEFAULT, nullptr, 0);
  ASSERT_NE(participant, nullptr);

  for (const auto& c : rnr::test::kCorpus) {
    SCOPED_TRACE(c.type);
    const auto& p = published[c.topic];
    ASSERT_FALSE(p.type_info.empty());
    auto [idl, dumped] = learn(participant, c.type, p.sample);
    ASSERT_FALSE(idl.empty());
    std::string message;
    EXPECT_EQ(rnr::test::idlc_type_info(RNR_IDLC, idl, c.type, &message), p.type_info)
        << message << idl;
    if (c.json == nullptr) {
      continue;
    }
    EXPECT_EQ(dumped, std::string(c.dump_json != nullptr ? c.dump_json : c.json) + "\n") << idl;

    std::string error;
    auto graph = rnr::types::type_graph_from_idl(idl, c.type, &error);
    ASSERT_TRUE(graph) << error;
    auto json = rnr::types::decode_to_json(*graph, p.sample.data(), p.sample.size(), &error);
    ASSERT_TRUE(json) << error;
    EXPECT_EQ(*json, c.json) << idl;
    if (c.viewers) {
      expect_viewers_decode(c, idl, p.sample, c.viewer_json != nullptr ? c.viewer_json : c.json);
    }
  }
  EXPECT_EQ(dds_DomainParticipantFactory_delete_participant(factory, participant), dds_RETCODE_OK);
}

}  // namespace
