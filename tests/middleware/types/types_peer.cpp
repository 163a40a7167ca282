// Test peer: publishes the test types from a process of its own, so that the
// test process learns them through discovery and type lookup only.
//   rnr_types_peer <domain id>
// Prints "ready" once its writers exist; ends when its standard input closes.
#include <cstdio>
#include <cstdlib>
#include <unistd.h>

#include <dds/dds.h>

#include "opaque_types.h"
#include "rich_types.h"
#include "simple_types.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: rnr_types_peer <domain id>\n");
    return 2;
  }
  const dds_domainid_t domain = static_cast<dds_domainid_t>(atoi(argv[1]));
  const dds_entity_t participant = dds_create_participant(domain, nullptr, nullptr);
  if (participant < 0) {
    fprintf(stderr, "cannot create participant: %s\n", dds_strretcode(participant));
    return 1;
  }
  struct {
    const char* topic;
    const dds_topic_descriptor_t* descriptor;
  } const topics[] = {{"simple_topic", &rnr_test_Reading_desc},
                      {"rich_topic", &rnr_test_rich_Telemetry_desc},
                      {"opaque_topic", &rnr_test_Opaque_desc},
                      {"pose_topic", &rnr_test_Pose_desc},
                      {"shadow_topic", &rnr_test_shadow_Path_desc}};
  for (const auto& t : topics) {
    dds_entity_t topic = dds_create_topic(participant, t.descriptor, t.topic, nullptr, nullptr);
    if (topic < 0 || dds_create_writer(participant, topic, nullptr, nullptr) < 0) {
      fprintf(stderr, "cannot create writer of %s\n", t.topic);
      dds_delete(participant);
      return 1;
    }
  }
  printf("ready\n");
  fflush(stdout);
  char buf[64];
  while (read(STDIN_FILENO, buf, sizeof buf) > 0) {
  }
  dds_delete(participant);
  return 0;
}
