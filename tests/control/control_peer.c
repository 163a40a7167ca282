/* rnr_test_control_peer: an ordinary Cyclone DDS application built from
 * idl/quorvin_rnr_control.idl with idlc, with nothing of quorvin-rnr in it.
 * It waits for the status of the recorder TARGET, sends it COMMAND, and
 * waits for the answer, sending the command again every 500 ms meanwhile.
 *
 * Usage: rnr_test_control_peer DOMAIN TARGET COMMAND
 * Output, one line each:
 *   STATUS name host pid state file samples bytes lost topics free_disk
 *   ACK recorder ok|failed detail
 * Exit status: 0 once answered, 1 when nothing came within 10 s, 2 bad
 * arguments, 4 DDS failure. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "dds/dds.h"
#include "quorvin_rnr_control.h"

#define SENDER "control-peer"
#define COMMAND_ID 7u

static dds_time_t now(void) {
  return dds_time();
}

int main(int argc, char** argv) {
  if (argc != 4) {
    fprintf(stderr, "usage: rnr_test_control_peer DOMAIN TARGET COMMAND\n");
    return 2;
  }
  const dds_domainid_t domain = (dds_domainid_t)atoi(argv[1]);
  const dds_entity_t participant = dds_create_participant(domain, NULL, NULL);
  if (participant < 0) {
    return 4;
  }
  const dds_entity_t command_topic = dds_create_topic(
      participant, &quorvin_rnr_control_Command_desc, "quorvin_rnr/command", NULL, NULL);
  const dds_entity_t ack_topic =
      dds_create_topic(participant, &quorvin_rnr_control_Ack_desc, "quorvin_rnr/ack", NULL, NULL);
  const dds_entity_t status_topic = dds_create_topic(participant, &quorvin_rnr_control_Status_desc,
                                                     "quorvin_rnr/status", NULL, NULL);

  dds_qos_t* qos = dds_create_qos();
  dds_qset_reliability(qos, DDS_RELIABILITY_RELIABLE, DDS_SECS(1));
  dds_qset_history(qos, DDS_HISTORY_KEEP_ALL, 0);
  const dds_entity_t command_writer = dds_create_writer(participant, command_topic, qos, NULL);
  const dds_entity_t ack_reader = dds_create_reader(participant, ack_topic, qos, NULL);
  dds_qset_durability(qos, DDS_DURABILITY_TRANSIENT_LOCAL);
  dds_qset_history(qos, DDS_HISTORY_KEEP_LAST, 1);
  const dds_entity_t status_reader = dds_create_reader(participant, status_topic, qos, NULL);
  dds_delete_qos(qos);
  if (command_writer < 0 || ack_reader < 0 || status_reader < 0) {
    dds_delete(participant);
    return 4;
  }

  const dds_time_t deadline = now() + DDS_SECS(10);
  int status_seen = 0;
  int answered = 0;
  dds_time_t next_send = 0;
  while (!answered && now() < deadline) {
    void* samples[1] = {NULL};
    dds_sample_info_t info;
    if (!status_seen && dds_take(status_reader, samples, &info, 1, 1) > 0) {
      const quorvin_rnr_control_Status* s = samples[0];
      if (info.valid_data && strcmp(s->name, argv[2]) == 0) {
        printf("STATUS %s %s %lld %s %s %llu %llu %llu %llu %llu\n", s->name, s->host,
               (long long)s->pid, s->state, s->current_file[0] ? s->current_file : "-",
               (unsigned long long)s->samples, (unsigned long long)s->bytes,
               (unsigned long long)s->lost, (unsigned long long)s->topics,
               (unsigned long long)s->free_disk);
        fflush(stdout);
        status_seen = 1;
      }
      dds_return_loan(status_reader, samples, 1);
      continue;
    }
    if (status_seen && now() >= next_send) {
      quorvin_rnr_control_Command command = {
          .target = argv[2], .action = argv[3], .sender = SENDER, .id = COMMAND_ID};
      dds_write(command_writer, &command);
      next_send = now() + DDS_MSECS(500);
    }
    samples[0] = NULL;
    if (dds_take(ack_reader, samples, &info, 1, 1) > 0) {
      const quorvin_rnr_control_Ack* a = samples[0];
      if (info.valid_data && strcmp(a->sender, SENDER) == 0 && a->id == COMMAND_ID) {
        printf("ACK %s %s %s\n", a->recorder, a->ok ? "ok" : "failed", a->detail);
        fflush(stdout);
        answered = 1;
      }
      dds_return_loan(ack_reader, samples, 1);
      continue;
    }
    dds_sleepfor(DDS_MSECS(10));
  }
  dds_delete(participant);
  return answered ? 0 : 1;
}
