// Factory, participants, publishers, subscribers, topics, readers and
// writers on Cyclone DDS, with emulated disabled entities (see entities.h).
#include "middleware/entities.h"

#include <algorithm>
#include <cstring>
#include <new>

#include <dds/ddsi/ddsi_typelib.h>

#include "middleware/mlog.h"
#include "middleware/participant_internal.h"
#include "middleware/raw_type.h"

using rnr::mw::Dispatcher;
using rnr::mw::PublicationItem;

namespace {

// RTPS port mapping with Cyclone's defaults (port base 7400, domain gain
// 250, unicast offset 11 and participant gain 2, up to 60 participants)
// leaves the 16-bit port range after domain 232.
constexpr dds_DomainId_t kMaxDomainId = 232;
constexpr int64_t kDefaultMaxBlockingNs = 1000000000;  // 1 s
// The most samples one raw take hands out, whatever the sequences' capacity:
// its buffers are sized by the count asked for. A take cut by this limit
// makes the reader's callback run again, so nothing waits.
constexpr uint32_t kMaxRawTake = 4096;

// The longest topic or type name the binding accepts: what the 256-byte
// fields of a built-in publication sample can carry, so the longest name that
// can ever be discovered. (Cyclone itself crashes on names near 64 KiB.)
constexpr size_t kMaxNameLength = 255;

bool usable_name(const char* name) {
  if (name == nullptr || name[0] == '\0') {
    return false;
  }
  return strnlen(name, kMaxNameLength + 1) <= kMaxNameLength;
}

// Set once a batching writer has been created: writers created on other
// threads at that moment may have been made to batch too, so from then on
// the binding flushes after each write of a writer that does not batch.
std::atomic<bool> g_batching_switched_on{false};

dds_ReturnCode_t from_cyclone(dds_return_t rc) {
  if (rc >= 0) {
    return dds_RETCODE_OK;
  }
  const dds_return_t code = -rc;
  return code >= 1 && code <= 12 ? static_cast<dds_ReturnCode_t>(code) : dds_RETCODE_ERROR;
}

void log_cyclone_failure(const char* what, dds_return_t rc) {
  mlog_write(MLOG_GLOBAL_INSTANCE, 4, 0, 0, 0, "Middleware %s failed: %s", what,
             dds_strretcode(rc));
}

template <typename T>
bool erase_from(std::vector<T*>& list, T* item) {
  auto it = std::find(list.begin(), list.end(), item);
  if (it == list.end()) {
    return false;
  }
  list.erase(it);
  return true;
}

dds_durability_kind_t to_cyclone(dds_DurabilityQosPolicyKind kind) {
  switch (kind) {
    case dds_TRANSIENT_LOCAL_DURABILITY_QOS:
      return DDS_DURABILITY_TRANSIENT_LOCAL;
    case dds_TRANSIENT_DURABILITY_QOS:
      return DDS_DURABILITY_TRANSIENT;
    case dds_PERSISTENT_DURABILITY_QOS:
      return DDS_DURABILITY_PERSISTENT;
    default:
      return DDS_DURABILITY_VOLATILE;
  }
}

dds_DurabilityQosPolicyKind from_cyclone(dds_durability_kind_t kind) {
  switch (kind) {
    case DDS_DURABILITY_TRANSIENT_LOCAL:
      return dds_TRANSIENT_LOCAL_DURABILITY_QOS;
    case DDS_DURABILITY_TRANSIENT:
      return dds_TRANSIENT_DURABILITY_QOS;
    case DDS_DURABILITY_PERSISTENT:
      return dds_PERSISTENT_DURABILITY_QOS;
    default:
      return dds_VOLATILE_DURABILITY_QOS;
  }
}

void set_reliability(dds_qos_t* q, const dds_ReliabilityQosPolicy& r) {
  const int64_t blocking = r.max_blocking_time_ns < 0 ? DDS_INFINITY : r.max_blocking_time_ns;
  dds_qset_reliability(q,
                       r.kind == dds_RELIABLE_RELIABILITY_QOS ? DDS_RELIABILITY_RELIABLE
                                                              : DDS_RELIABILITY_BEST_EFFORT,
                       blocking);
}

void set_history(dds_qos_t* q, const dds_HistoryQosPolicy& h) {
  if (h.kind == dds_KEEP_LAST_HISTORY_QOS) {
    dds_qset_history(q, DDS_HISTORY_KEEP_LAST, h.depth > 0 ? h.depth : 1);
  } else {
    dds_qset_history(q, DDS_HISTORY_KEEP_ALL, 0);
  }
}

bool valid_representation(dds_DataRepresentationId_t id) {
  return id == dds_XCDR_DATA_REPRESENTATION || id == dds_XCDR2_DATA_REPRESENTATION;
}

// Builds the Cyclone QoS of a raw reader; null for an unusable QoS.
dds_qos_t* reader_qos(const dds_DataReaderQos& qos) {
  dds_data_representation_id_t ids[2] = {DDS_DATA_REPRESENTATION_XCDR1,
                                         DDS_DATA_REPRESENTATION_XCDR2};
  uint32_t n = 2;
  if (qos.representation.length > 0) {
    if (qos.representation.length > 2) {
      return nullptr;
    }
    n = static_cast<uint32_t>(qos.representation.length);
    for (uint32_t i = 0; i < n; i++) {
      if (!valid_representation(qos.representation.value[i])) {
        return nullptr;
      }
      ids[i] = qos.representation.value[i];
    }
  }
  dds_qos_t* q = dds_create_qos();
  set_reliability(q, qos.reliability);
  dds_qset_durability(q, to_cyclone(qos.durability.kind));
  set_history(q, qos.history);
  dds_qset_data_representation(q, n, ids);
  return q;
}

dds_qos_t* writer_qos(const dds_DataWriterQos& qos) {
  dds_data_representation_id_t id = DDS_DATA_REPRESENTATION_XCDR1;
  if (qos.representation.length > 0) {
    if (qos.representation.length > 2 || !valid_representation(qos.representation.value[0])) {
      return nullptr;
    }
    id = qos.representation.value[0];
  }
  dds_qos_t* q = dds_create_qos();
  set_reliability(q, qos.reliability);
  dds_qset_durability(q, to_cyclone(qos.durability.kind));
  set_history(q, qos.history);
  if (qos.durability.kind != dds_VOLATILE_DURABILITY_QOS) {
    // What late joiners receive is governed by the durability service
    // history: keep as much as the writer's own history does.
    const bool all = qos.history.kind == dds_KEEP_ALL_HISTORY_QOS;
    dds_qset_durability_service(q, 0, all ? DDS_HISTORY_KEEP_ALL : DDS_HISTORY_KEEP_LAST,
                                all ? 1 : std::max(1, qos.history.depth), DDS_LENGTH_UNLIMITED,
                                DDS_LENGTH_UNLIMITED, DDS_LENGTH_UNLIMITED);
  }
  dds_qset_data_representation(q, 1, &id);
  return q;
}

void on_cyclone_data_available(dds_entity_t reader, void* arg) {
  (void)reader;
  static_cast<Dispatcher*>(arg)->notify();
}

dds_listener_t* make_listener(Dispatcher* dispatcher) {
  dds_listener_t* l = dds_create_listener(dispatcher);
  dds_lset_data_available(l, on_cyclone_data_available);
  return l;
}

// --- sample conversion ---------------------------------------------------------

uint32_t entity_id_host(const dds_guid_t& g) {
  return (static_cast<uint32_t>(g.v[12]) << 24) | (static_cast<uint32_t>(g.v[13]) << 16) |
         (static_cast<uint32_t>(g.v[14]) << 8) | static_cast<uint32_t>(g.v[15]);
}

// The dds_guid layout: 12 prefix bytes as on the wire, then the entity id as
// a host-order word (Cyclone's GUID bytes carry it big-endian).
void guid_to_handle(const dds_guid_t& g, dds_InstanceHandle_t* h) {
  std::memcpy(h->value, g.v, 12);
  const uint32_t eid = entity_id_host(g);
  std::memcpy(h->value + 12, &eid, 4);
}

void cyclone_handle_to_handle(dds_instance_handle_t ih, dds_InstanceHandle_t* h) {
  std::memset(h->value, 0, sizeof h->value);
  std::memcpy(h->value, &ih, sizeof ih);
}

// A name that does not fit its 256-byte field is reported empty rather than
// cut, so that it can never be taken for another (shorter) name.
void copy_name(char (&dst)[256], const char* src) {
  dst[0] = '\0';
  if (src == nullptr) {
    return;
  }
  const size_t n = std::strlen(src);
  if (n < sizeof dst) {
    std::memcpy(dst, src, n + 1);
  }
}

void fill_states(const dds_sample_info_t& si, dds_SampleInfo* out) {
  out->sample_state = si.sample_state == DDS_SST_READ ? 1u : 2u;
  out->view_state = si.view_state == DDS_VST_NEW ? 1u : 2u;
  switch (si.instance_state) {
    case DDS_IST_ALIVE:
      out->instance_state = 1u;
      break;
    case DDS_IST_NOT_ALIVE_DISPOSED:
      out->instance_state = 2u;
      break;
    default:
      out->instance_state = 4u;
      break;
  }
  const int64_t ts = si.source_timestamp;
  if (ts >= 0 && ts != DDS_NEVER) {
    out->source_timestamp.sec = static_cast<int32_t>(ts / 1000000000);
    out->source_timestamp.nanosec = static_cast<uint32_t>(ts % 1000000000);
  } else {
    out->source_timestamp.sec = 0;
    out->source_timestamp.nanosec = 0;
  }
  out->valid_data = si.valid_data;
}

// The Cyclone state mask for the standard DDS state bits; 0 when a group
// admits no state at all (Cyclone would read 0 as "any").
uint32_t state_mask(dds_SampleStateMask ss, dds_ViewStateMask vs, dds_InstanceStateMask is) {
  uint32_t s = 0, v = 0, i = 0;
  if (ss & 1u)
    s |= DDS_READ_SAMPLE_STATE;
  if (ss & 2u)
    s |= DDS_NOT_READ_SAMPLE_STATE;
  if (vs & 1u)
    v |= DDS_NEW_VIEW_STATE;
  if (vs & 2u)
    v |= DDS_NOT_NEW_VIEW_STATE;
  if (is & 1u)
    i |= DDS_ALIVE_INSTANCE_STATE;
  if (is & 2u)
    i |= DDS_NOT_ALIVE_DISPOSED_INSTANCE_STATE;
  if (is & 4u)
    i |= DDS_NOT_ALIVE_NO_WRITERS_INSTANCE_STATE;
  if (s == 0 || v == 0 || i == 0) {
    return 0;
  }
  return s | v | i;
}

void record_typeinfo(dds_DomainParticipant* p, const char* type_name,
                     const dds_builtintopic_endpoint_t* ep) {
  const dds_typeinfo_t* ti = nullptr;
  if (type_name == nullptr ||
      dds_builtintopic_get_endpoint_type_info(const_cast<dds_builtintopic_endpoint_t*>(ep), &ti) !=
          DDS_RETCODE_OK ||
      ti == nullptr) {
    return;
  }
  std::lock_guard<std::mutex> lock(p->typeinfo_mutex);
  auto& list = p->typeinfos[type_name];
  for (const auto& known : list) {
    if (ddsi_typeinfo_equal(known.get(), ti, DDSI_TYPE_INCLUDE_DEPS)) {
      return;
    }
  }
  ddsi_typeinfo_t* copy = ddsi_typeinfo_dup(ti);
  if (copy == nullptr) {
    return;
  }
  try {
    list.emplace_back(copy, [](const dds_typeinfo_t* t) {
      auto* m = const_cast<dds_typeinfo_t*>(t);
      ddsi_typeinfo_fini(m);
      dds_free(m);
    });
  } catch (const std::bad_alloc&) {
  }
}

// The publication data of a discovered endpoint, in the binding's form.
void fill_publication(const dds_builtintopic_endpoint_t* ep, bool valid_data,
                      dds_PublicationBuiltinTopicData* data) {
  const uint32_t eid = entity_id_host(ep->key);
  data->key.value[0] = eid;
  std::memcpy(&data->key.value[1], ep->key.v + 4, 8);
  std::memcpy(data->participant_key, ep->participant_key.v, 12);
  if (!valid_data) {
    return;
  }
  copy_name(data->topic_name, ep->topic_name);
  copy_name(data->type_name, ep->type_name);
  dds_durability_kind_t dk = DDS_DURABILITY_VOLATILE;
  if (dds_qget_durability(ep->qos, &dk)) {
    data->durability.kind = from_cyclone(dk);
  }
  dds_reliability_kind_t rk = DDS_RELIABILITY_RELIABLE;
  dds_duration_t blocking = 0;
  data->reliability.kind = dds_RELIABLE_RELIABILITY_QOS;
  if (dds_qget_reliability(ep->qos, &rk, &blocking)) {
    data->reliability.kind = rk == DDS_RELIABILITY_RELIABLE ? dds_RELIABLE_RELIABILITY_QOS
                                                            : dds_BEST_EFFORT_RELIABILITY_QOS;
    data->reliability.max_blocking_time_ns = blocking;
  }
  uint32_t nrep = 0;
  dds_data_representation_id_t* reps = nullptr;
  data->representation.length = 1;
  data->representation.value[0] = dds_XCDR_DATA_REPRESENTATION;
  if (dds_qget_data_representation(ep->qos, &nrep, &reps) && nrep > 0) {
    data->representation.length = 0;
    for (uint32_t k = 0; k < nrep && data->representation.length < 2; k++) {
      if (valid_representation(static_cast<dds_DataRepresentationId_t>(reps[k]))) {
        data->representation.value[data->representation.length++] =
            static_cast<dds_DataRepresentationId_t>(reps[k]);
      }
    }
  }
  dds_free(reps);
}

// Keeps what discovery announced of a remote writer under its Cyclone handle
// (the handle its samples' publication handle carries), so that samples a
// reader still holds from a writer that has gone can be told apart too.
void remember_publication(dds_DomainParticipant* p, dds_instance_handle_t ih, const dds_guid_t& key,
                          const dds_PublicationBuiltinTopicData& data) {
  std::lock_guard<std::mutex> lock(p->publications_mutex);
  try {
    rnr::mw::KnownPublication& known = p->publications[ih];
    dds_InstanceHandle_t h{};
    guid_to_handle(key, &h);
    std::memcpy(known.guid, h.value, sizeof known.guid);
    known.data = data;
  } catch (const std::bad_alloc&) {
  }
}

// Moves what Cyclone's built-in publication reader holds into the binding's
// queue, recording the type information of every announced writer.
void drain_builtin(dds_DataReader* r) {
  const dds_entity_t rd = r->cyclone.load();
  if (rd <= 0) {
    return;
  }
  dds_DomainParticipant* p = r->subscriber->participant;
  constexpr int kBatch = 32;
  std::lock_guard<std::mutex> lock(r->queue_mutex);
  for (;;) {
    void* buf[kBatch] = {};
    dds_sample_info_t si[kBatch];
    const dds_return_t n = dds_take(rd, buf, si, kBatch, kBatch);
    if (n <= 0) {
      return;
    }
    for (dds_return_t i = 0; i < n; i++) {
      const auto* ep = static_cast<const dds_builtintopic_endpoint_t*>(buf[i]);
      if (ep == nullptr) {
        continue;
      }
      if (std::memcmp(ep->participant_key.v, p->guid.v, sizeof p->guid.v) == 0) {
        continue;  // this participant's own writers are not discovered
      }
      PublicationItem item{};
      fill_publication(ep, si[i].valid_data, &item.data);
      if (si[i].valid_data) {
        record_typeinfo(p, ep->type_name, ep);
        remember_publication(p, si[i].instance_handle, ep->key, item.data);
      }
      fill_states(si[i], &item.info);
      guid_to_handle(ep->key, &item.info.instance_handle);
      item.info.publication_handle = item.info.instance_handle;
      try {
        r->queue.push_back(item);
      } catch (const std::bad_alloc&) {
      }
    }
    dds_return_loan(rd, buf, n);
    if (n < kBatch) {
      return;
    }
  }
}

// --- enabling (participant mutex held) -----------------------------------------

dds_ReturnCode_t materialize_topic(dds_DomainParticipant* p, dds_Topic* t) {
  if (t->cyclone > 0) {
    return dds_RETCODE_OK;
  }
  ddsi_sertype* st = rnr::mw::raw_sertype_create(t->type_name, t->keyed);
  if (st == nullptr) {
    return dds_RETCODE_OUT_OF_RESOURCES;
  }
  ddsi_sertype* own = st;
  dds_qos_t* q = dds_create_qos();
  set_reliability(q, t->qos.reliability);
  dds_qset_durability(q, to_cyclone(t->qos.durability.kind));
  const dds_entity_t tp =
      dds_create_topic_sertype(p->cyclone.load(), t->name.c_str(), &st, q, nullptr, nullptr);
  dds_delete_qos(q);
  if (tp < 0) {
    ddsi_sertype_unref(own);
    log_cyclone_failure("creating a topic", tp);
    return from_cyclone(tp);
  }
  t->cyclone = tp;
  t->sertype = st;
  return dds_RETCODE_OK;
}

dds_ReturnCode_t enable_reader_locked(dds_DataReader* r);
dds_ReturnCode_t enable_writer_locked(dds_DataWriter* w);

// Creates the Cyclone counterpart of a publisher or subscriber, then enables
// the children that wait for it.
template <typename Group, typename Child>
dds_ReturnCode_t enable_group_locked(Group* g,
                                     dds_entity_t (*create)(dds_entity_t, const dds_qos_t*,
                                                            const dds_listener_t*),
                                     const char* what, std::vector<Child*> Group::*children,
                                     dds_ReturnCode_t (*enable_child_locked)(Child*)) {
  dds_DomainParticipant* p = g->participant;
  if (g->enabled) {
    return dds_RETCODE_OK;
  }
  if (!p->enabled) {
    return dds_RETCODE_PRECONDITION_NOT_MET;
  }
  const dds_entity_t handle = create(p->cyclone.load(), nullptr, nullptr);
  if (handle < 0) {
    log_cyclone_failure(what, handle);
    return from_cyclone(handle);
  }
  g->cyclone = handle;
  g->enabled = true;
  for (Child* c : g->*children) {
    if (c->enable_with_parent) {
      (void)enable_child_locked(c);
    }
  }
  return dds_RETCODE_OK;
}

dds_ReturnCode_t enable_subscriber_locked(dds_Subscriber* s) {
  return enable_group_locked(s, dds_create_subscriber, "creating a subscriber",
                             &dds_Subscriber::readers, enable_reader_locked);
}

dds_ReturnCode_t enable_publisher_locked(dds_Publisher* pub) {
  return enable_group_locked(pub, dds_create_publisher, "creating a publisher",
                             &dds_Publisher::writers, enable_writer_locked);
}

dds_ReturnCode_t enable_reader_locked(dds_DataReader* r) {
  if (r->enabled) {
    return dds_RETCODE_OK;
  }
  dds_Subscriber* s = r->subscriber;
  if (!s->enabled) {
    return dds_RETCODE_PRECONDITION_NOT_MET;
  }
  dds_DomainParticipant* p = s->participant;
  dds_ReturnCode_t rc = materialize_topic(p, r->topic);
  if (rc != dds_RETCODE_OK) {
    return rc;
  }
  dds_qos_t* q = reader_qos(r->qos);
  if (q == nullptr) {
    return dds_RETCODE_BAD_PARAMETER;
  }
  if (!r->dispatcher->start()) {
    dds_delete_qos(q);
    return dds_RETCODE_OUT_OF_RESOURCES;
  }
  dds_listener_t* l = make_listener(r->dispatcher.get());
  const dds_entity_t rd = dds_create_reader(s->cyclone, r->topic->cyclone, q, l);
  dds_delete_listener(l);
  dds_delete_qos(q);
  if (rd < 0) {
    log_cyclone_failure("creating a reader", rd);
    return from_cyclone(rd);
  }
  r->cyclone = rd;
  r->enabled = true;
  const bool wants = (r->mask & dds_DATA_AVAILABLE_STATUS) && r->listener.on_data_available;
  r->dispatcher->set_callback(wants ? r->listener.on_data_available : nullptr);
  return dds_RETCODE_OK;
}

dds_ReturnCode_t enable_writer_locked(dds_DataWriter* w) {
  if (w->enabled) {
    return dds_RETCODE_OK;
  }
  dds_Publisher* pub = w->publisher;
  if (!pub->enabled) {
    return dds_RETCODE_PRECONDITION_NOT_MET;
  }
  dds_ReturnCode_t rc = materialize_topic(pub->participant, w->topic);
  if (rc != dds_RETCODE_OK) {
    return rc;
  }
  dds_qos_t* q = writer_qos(w->qos);
  if (q == nullptr) {
    return dds_RETCODE_BAD_PARAMETER;
  }
  dds_entity_t wr = 0;
  if (w->qos.batch.enable) {
    // Cyclone has one batching switch per process. A writer takes the
    // domain's setting when it is created, and the switch does not reach
    // writers of publishers that exist already; so it is thrown just around
    // this creation. The flag goes up first: a writer of the binding that
    // does not batch but is created meanwhile on another thread then
    // flushes after each of its writes.
    g_batching_switched_on.store(true);
    dds_write_set_batch(true);
    wr = dds_create_writer(pub->cyclone, w->topic->cyclone, q, nullptr);
    dds_write_set_batch(false);
  } else {
    wr = dds_create_writer(pub->cyclone, w->topic->cyclone, q, nullptr);
  }
  dds_delete_qos(q);
  if (wr < 0) {
    log_cyclone_failure("creating a writer", wr);
    return from_cyclone(wr);
  }
  w->sertype = w->topic->sertype;
  w->cyclone = wr;
  w->enabled = true;
  return dds_RETCODE_OK;
}

dds_ReturnCode_t enable_builtin_reader_locked(dds_DomainParticipant* p) {
  dds_DataReader* r = p->builtin_reader;
  if (r->enabled) {
    return dds_RETCODE_OK;
  }
  if (!r->dispatcher->start()) {
    return dds_RETCODE_OUT_OF_RESOURCES;
  }
  dds_listener_t* l = make_listener(r->dispatcher.get());
  const dds_entity_t rd =
      dds_create_reader(p->cyclone.load(), DDS_BUILTIN_TOPIC_DCPSPUBLICATION, nullptr, l);
  dds_delete_listener(l);
  if (rd < 0) {
    log_cyclone_failure("creating the built-in publication reader", rd);
    return from_cyclone(rd);
  }
  r->cyclone = rd;
  r->enabled = true;
  p->builtin_subscriber->enabled = true;
  const bool wants = (r->mask & dds_DATA_AVAILABLE_STATUS) && r->listener.on_data_available;
  r->dispatcher->set_callback(wants ? r->listener.on_data_available : nullptr);
  // Publications already known when the reader was created are waiting.
  r->dispatcher->notify();
  return dds_RETCODE_OK;
}

dds_ReturnCode_t enable_participant_locked(dds_DomainParticipant* p) {
  if (p->enabled) {
    return dds_RETCODE_OK;
  }
  if (p->deleting) {
    return dds_RETCODE_ALREADY_DELETED;
  }
  const dds_entity_t pp =
      dds_create_participant(static_cast<dds_domainid_t>(p->domain_id), nullptr, nullptr);
  if (pp < 0) {
    log_cyclone_failure("creating a participant", pp);
    return from_cyclone(pp);
  }
  if (dds_get_guid(pp, &p->guid) != DDS_RETCODE_OK) {
    dds_delete(pp);
    return dds_RETCODE_ERROR;
  }
  p->cyclone = pp;
  p->enabled = true;
  dds_ReturnCode_t rc = enable_builtin_reader_locked(p);
  if (rc != dds_RETCODE_OK) {
    p->enabled = false;
    p->cyclone = 0;
    dds_delete(pp);
    return rc;
  }
  for (dds_Topic* t : p->topics) {
    (void)materialize_topic(p, t);
  }
  for (dds_Publisher* pub : p->publishers) {
    if (pub->enable_with_parent) {
      (void)enable_publisher_locked(pub);
    }
  }
  for (dds_Subscriber* s : p->subscribers) {
    if (s->enable_with_parent) {
      (void)enable_subscriber_locked(s);
    }
  }
  return dds_RETCODE_OK;
}

// --- deletion ----------------------------------------------------------------------

// Stops a reader's callbacks, removes its Cyclone reader and frees it. The
// participant mutex must not be held: this waits for a running callback.
void destroy_reader(dds_DataReader* r) {
  r->dispatcher->stop();
  r->dispatcher->join();
  const dds_entity_t rd = r->cyclone.exchange(0);
  if (rd > 0) {
    dds_delete(rd);
  }
  delete r;
}

void destroy_writer(dds_DataWriter* w) {
  const dds_entity_t wr = w->cyclone.exchange(0);
  if (wr > 0) {
    dds_delete(wr);
  }
  delete w;
}

// Publishers and subscribers are created and deleted alike: they differ only
// in how they are enabled and in the kind of children they hold.
template <typename Group>
Group* create_group(dds_DomainParticipant* p, bool autoenable_children,
                    std::vector<Group*> dds_DomainParticipant::*groups,
                    dds_ReturnCode_t (*enable_locked)(Group*)) {
  if (p == nullptr) {
    return nullptr;
  }
  std::lock_guard<std::mutex> lock(p->mutex);
  if (p->deleting) {
    return nullptr;
  }
  auto* g = new (std::nothrow) Group();
  if (g == nullptr) {
    return nullptr;
  }
  g->participant = p;
  g->autoenable_children = autoenable_children;
  g->enable_with_parent = p->autoenable_children;
  if (g->enable_with_parent && p->enabled && enable_locked(g) != dds_RETCODE_OK) {
    delete g;
    return nullptr;
  }
  try {
    (p->*groups).push_back(g);
  } catch (const std::bad_alloc&) {
    if (g->cyclone > 0)
      dds_delete(g->cyclone);
    delete g;
    return nullptr;
  }
  return g;
}

template <typename Group, typename Child>
dds_ReturnCode_t delete_group(dds_DomainParticipant* p, Group* g,
                              std::vector<Group*> dds_DomainParticipant::*groups,
                              std::vector<Child*> Group::*children, void (*destroy)(Child*)) {
  if (p == nullptr || g == nullptr) {
    return dds_RETCODE_BAD_PARAMETER;
  }
  std::vector<Child*> doomed;
  {
    std::lock_guard<std::mutex> lock(p->mutex);
    if (!erase_from(p->*groups, g)) {
      return dds_RETCODE_PRECONDITION_NOT_MET;
    }
    doomed.swap(g->*children);
    for (Child* c : doomed) {
      c->topic->users--;
    }
  }
  for (Child* c : doomed) {
    destroy(c);
  }
  if (g->cyclone > 0) {
    dds_delete(g->cyclone);
  }
  delete g;
  return dds_RETCODE_OK;
}

dds_DomainParticipantFactory g_factory;

}  // namespace

// ===========================================================================
// Return codes and constants

const dds_InstanceHandle_t dds_HANDLE_NIL = {};
const dds_DomainParticipantQos dds_PARTICIPANT_QOS_DEFAULT = {{true}};

const char* dds_ReturnCode_to_string(dds_ReturnCode_t code) {
  switch (code) {
    case dds_RETCODE_OK:
      return "dds_RETCODE_OK";
    case dds_RETCODE_ERROR:
      return "dds_RETCODE_ERROR";
    case dds_RETCODE_UNSUPPORTED:
      return "dds_RETCODE_UNSUPPORTED";
    case dds_RETCODE_BAD_PARAMETER:
      return "dds_RETCODE_BAD_PARAMETER";
    case dds_RETCODE_PRECONDITION_NOT_MET:
      return "dds_RETCODE_PRECONDITION_NOT_MET";
    case dds_RETCODE_OUT_OF_RESOURCES:
      return "dds_RETCODE_OUT_OF_RESOURCES";
    case dds_RETCODE_NOT_ENABLED:
      return "dds_RETCODE_NOT_ENABLED";
    case dds_RETCODE_IMMUTABLE_POLICY:
      return "dds_RETCODE_IMMUTABLE_POLICY";
    case dds_RETCODE_INCONSISTENT_POLICY:
      return "dds_RETCODE_INCONSISTENT_POLICY";
    case dds_RETCODE_ALREADY_DELETED:
      return "dds_RETCODE_ALREADY_DELETED";
    case dds_RETCODE_TIMEOUT:
      return "dds_RETCODE_TIMEOUT";
    case dds_RETCODE_NO_DATA:
      return "dds_RETCODE_NO_DATA";
    case dds_RETCODE_ILLEGAL_OPERATION:
      return "dds_RETCODE_ILLEGAL_OPERATION";
    default:
      return "dds_RETCODE_UNKNOWN";
  }
}

// ===========================================================================
// QoS values hold nothing that needs releasing; finalize resets them.

void dds_DomainParticipantQos_finalize(dds_DomainParticipantQos* qos) {
  if (qos != nullptr)
    *qos = {};
}
void dds_PublisherQos_finalize(dds_PublisherQos* qos) {
  if (qos != nullptr)
    *qos = {};
}
void dds_SubscriberQos_finalize(dds_SubscriberQos* qos) {
  if (qos != nullptr)
    *qos = {};
}
void dds_TopicQos_finalize(dds_TopicQos* qos) {
  if (qos != nullptr)
    *qos = {};
}
void dds_DataReaderQos_finalize(dds_DataReaderQos* qos) {
  if (qos != nullptr)
    *qos = {};
}
void dds_DataWriterQos_finalize(dds_DataWriterQos* qos) {
  if (qos != nullptr)
    *qos = {};
}

// ===========================================================================
// Factory and participants

dds_DomainParticipantFactory* dds_DomainParticipantFactory_get_instance() {
  return &g_factory;
}

dds_ReturnCode_t dds_DomainParticipantFactory_get_qos(dds_DomainParticipantFactory* factory,
                                                      dds_DomainParticipantFactoryQos* qos) {
  if (factory == nullptr || qos == nullptr) {
    return dds_RETCODE_BAD_PARAMETER;
  }
  std::lock_guard<std::mutex> lock(factory->mutex);
  qos->entity_factory.autoenable_created_entities = factory->autoenable;
  return dds_RETCODE_OK;
}

dds_ReturnCode_t dds_DomainParticipantFactory_set_qos(dds_DomainParticipantFactory* factory,
                                                      const dds_DomainParticipantFactoryQos* qos) {
  if (factory == nullptr || qos == nullptr) {
    return dds_RETCODE_BAD_PARAMETER;
  }
  std::lock_guard<std::mutex> lock(factory->mutex);
  factory->autoenable = qos->entity_factory.autoenable_created_entities;
  return dds_RETCODE_OK;
}

dds_ReturnCode_t dds_DomainParticipantFactory_get_default_participant_qos(
    dds_DomainParticipantFactory* factory, dds_DomainParticipantQos* qos) {
  if (factory == nullptr || qos == nullptr) {
    return dds_RETCODE_BAD_PARAMETER;
  }
  *qos = dds_PARTICIPANT_QOS_DEFAULT;
  return dds_RETCODE_OK;
}

dds_DomainParticipant* dds_DomainParticipantFactory_create_participant(
    dds_DomainParticipantFactory* factory, dds_DomainId_t domain_id,
    const dds_DomainParticipantQos* qos, const dds_DomainParticipantListener* listener,
    dds_StatusMask mask) {
  (void)listener;
  (void)mask;
  if (factory == nullptr || domain_id < 0 || domain_id > kMaxDomainId) {
    return nullptr;
  }
  auto* p = new (std::nothrow) dds_DomainParticipant();
  if (p == nullptr) {
    return nullptr;
  }
  p->domain_id = domain_id;
  p->autoenable_children = qos == nullptr || qos->entity_factory.autoenable_created_entities;
  try {
    auto* bs = new dds_Subscriber();
    bs->participant = p;
    bs->builtin = true;
    bs->autoenable_children = false;
    p->builtin_subscriber = bs;
    auto* br = new dds_DataReader();
    br->kind = dds_DataReader::Kind::builtin_publications;
    br->subscriber = bs;
    br->dispatcher = std::make_shared<Dispatcher>(br);
    br->dispatcher->set_prepare([br] { drain_builtin(br); });
    br->dispatcher->set_has_more([br] {
      std::lock_guard<std::mutex> lock(br->queue_mutex);
      return !br->queue.empty();
    });
    p->builtin_reader = br;
    bs->readers.push_back(br);
  } catch (const std::bad_alloc&) {
    delete p->builtin_reader;
    delete p->builtin_subscriber;
    delete p;
    return nullptr;
  }
  bool autoenable;
  {
    std::lock_guard<std::mutex> lock(factory->mutex);
    autoenable = factory->autoenable;
  }
  if (autoenable) {
    dds_ReturnCode_t rc;
    {
      std::lock_guard<std::mutex> lock(p->mutex);
      rc = enable_participant_locked(p);
    }
    if (rc != dds_RETCODE_OK) {
      p->builtin_reader->dispatcher->join();
      delete p->builtin_reader;
      delete p->builtin_subscriber;
      delete p;
      return nullptr;
    }
  }
  std::lock_guard<std::mutex> lock(factory->mutex);
  factory->participants.push_back(p);
  return p;
}

dds_ReturnCode_t dds_DomainParticipantFactory_delete_participant(
    dds_DomainParticipantFactory* factory, dds_DomainParticipant* participant) {
  if (factory == nullptr || participant == nullptr) {
    return dds_RETCODE_BAD_PARAMETER;
  }
  {
    std::lock_guard<std::mutex> lock(factory->mutex);
    if (!erase_from(factory->participants, participant)) {
      return dds_RETCODE_BAD_PARAMETER;
    }
  }
  dds_DomainParticipant* p = participant;
  std::vector<dds_DataReader*> readers;
  std::vector<dds_DataWriter*> writers;
  {
    std::lock_guard<std::mutex> lock(p->mutex);
    p->deleting = true;
    for (dds_Subscriber* s : p->subscribers) {
      readers.insert(readers.end(), s->readers.begin(), s->readers.end());
      s->readers.clear();
    }
    readers.push_back(p->builtin_reader);
    for (dds_Publisher* pub : p->publishers) {
      writers.insert(writers.end(), pub->writers.begin(), pub->writers.end());
      pub->writers.clear();
    }
  }
  // No callback starts from here on; running ones finish before the entities
  // they may use go away. Callbacks that try to create entities now fail.
  for (dds_DataReader* r : readers) {
    r->dispatcher->stop();
  }
  for (dds_DataReader* r : readers) {
    destroy_reader(r);
  }
  for (dds_DataWriter* w : writers) {
    destroy_writer(w);
  }
  const dds_entity_t pp = p->cyclone.exchange(0);
  if (pp > 0) {
    dds_delete(pp);  // topics, publishers and subscribers go with it
  }
  for (dds_Publisher* pub : p->publishers)
    delete pub;
  for (dds_Subscriber* s : p->subscribers)
    delete s;
  for (dds_Topic* t : p->topics)
    delete t;
  delete p->builtin_subscriber;
  delete p;
  return dds_RETCODE_OK;
}

dds_ReturnCode_t dds_DomainParticipant_enable(dds_DomainParticipant* participant) {
  if (participant == nullptr) {
    return dds_RETCODE_BAD_PARAMETER;
  }
  std::lock_guard<std::mutex> lock(participant->mutex);
  return enable_participant_locked(participant);
}

dds_ReturnCode_t dds_DomainParticipant_get_default_publisher_qos(dds_DomainParticipant* participant,
                                                                 dds_PublisherQos* qos) {
  if (participant == nullptr || qos == nullptr) {
    return dds_RETCODE_BAD_PARAMETER;
  }
  qos->entity_factory.autoenable_created_entities = true;
  return dds_RETCODE_OK;
}

dds_ReturnCode_t dds_DomainParticipant_get_default_subscriber_qos(
    dds_DomainParticipant* participant, dds_SubscriberQos* qos) {
  if (participant == nullptr || qos == nullptr) {
    return dds_RETCODE_BAD_PARAMETER;
  }
  qos->entity_factory.autoenable_created_entities = true;
  return dds_RETCODE_OK;
}

dds_ReturnCode_t dds_DomainParticipant_get_default_topic_qos(dds_DomainParticipant* participant,
                                                             dds_TopicQos* qos) {
  if (participant == nullptr || qos == nullptr) {
    return dds_RETCODE_BAD_PARAMETER;
  }
  qos->durability.kind = dds_VOLATILE_DURABILITY_QOS;
  qos->reliability.kind = dds_RELIABLE_RELIABILITY_QOS;
  qos->reliability.max_blocking_time_ns = kDefaultMaxBlockingNs;
  return dds_RETCODE_OK;
}

dds_Publisher* dds_DomainParticipant_create_publisher(dds_DomainParticipant* participant,
                                                      const dds_PublisherQos* qos,
                                                      const dds_PublisherListener* listener,
                                                      dds_StatusMask mask) {
  (void)listener;
  (void)mask;
  return create_group(participant,
                      qos == nullptr || qos->entity_factory.autoenable_created_entities,
                      &dds_DomainParticipant::publishers, enable_publisher_locked);
}

dds_ReturnCode_t dds_DomainParticipant_delete_publisher(dds_DomainParticipant* participant,
                                                        dds_Publisher* publisher) {
  return delete_group(participant, publisher, &dds_DomainParticipant::publishers,
                      &dds_Publisher::writers, destroy_writer);
}

dds_Subscriber* dds_DomainParticipant_create_subscriber(dds_DomainParticipant* participant,
                                                        const dds_SubscriberQos* qos,
                                                        const dds_SubscriberListener* listener,
                                                        dds_StatusMask mask) {
  (void)listener;
  (void)mask;
  return create_group(participant,
                      qos == nullptr || qos->entity_factory.autoenable_created_entities,
                      &dds_DomainParticipant::subscribers, enable_subscriber_locked);
}

dds_ReturnCode_t dds_DomainParticipant_delete_subscriber(dds_DomainParticipant* participant,
                                                         dds_Subscriber* subscriber) {
  return delete_group(participant, subscriber, &dds_DomainParticipant::subscribers,
                      &dds_Subscriber::readers, destroy_reader);
}

dds_Topic* dds_DomainParticipant_create_topic(dds_DomainParticipant* participant,
                                              const char* topic_name, const char* type_name,
                                              const dds_TopicQos* qos,
                                              const dds_TopicListener* listener,
                                              dds_StatusMask mask) {
  (void)listener;
  (void)mask;
  if (participant == nullptr || !usable_name(topic_name) || !usable_name(type_name)) {
    return nullptr;
  }
  dds_DomainParticipant* p = participant;
  std::lock_guard<std::mutex> lock(p->mutex);
  if (p->deleting) {
    return nullptr;
  }
  auto reg = p->registered_types.find(type_name);
  if (reg == p->registered_types.end()) {
    return nullptr;
  }
  auto* t = new (std::nothrow) dds_Topic();
  if (t == nullptr) {
    return nullptr;
  }
  try {
    t->participant = p;
    t->name = topic_name;
    t->type_name = type_name;
    t->keyed = reg->second;
    if (qos != nullptr) {
      t->qos = *qos;
    } else {
      (void)dds_DomainParticipant_get_default_topic_qos(p, &t->qos);
    }
    if (p->enabled && materialize_topic(p, t) != dds_RETCODE_OK) {
      delete t;
      return nullptr;
    }
    p->topics.push_back(t);
  } catch (const std::bad_alloc&) {
    if (t->cyclone > 0)
      dds_delete(t->cyclone);
    delete t;
    return nullptr;
  }
  return t;
}

dds_ReturnCode_t dds_DomainParticipant_delete_topic(dds_DomainParticipant* participant,
                                                    dds_Topic* topic) {
  if (participant == nullptr || topic == nullptr) {
    return dds_RETCODE_BAD_PARAMETER;
  }
  std::lock_guard<std::mutex> lock(participant->mutex);
  auto it = std::find(participant->topics.begin(), participant->topics.end(), topic);
  if (it == participant->topics.end() || topic->users > 0) {
    return dds_RETCODE_PRECONDITION_NOT_MET;
  }
  participant->topics.erase(it);
  if (topic->cyclone > 0) {
    dds_delete(topic->cyclone);
  }
  delete topic;
  return dds_RETCODE_OK;
}

dds_Subscriber* dds_DomainParticipant_get_builtin_subscriber(dds_DomainParticipant* participant) {
  return participant == nullptr ? nullptr : participant->builtin_subscriber;
}

// ===========================================================================
// Publishers and writers

dds_ReturnCode_t dds_Publisher_get_default_datawriter_qos(dds_Publisher* publisher,
                                                          dds_DataWriterQos* qos) {
  if (publisher == nullptr || qos == nullptr) {
    return dds_RETCODE_BAD_PARAMETER;
  }
  *qos = {};
  qos->durability.kind = dds_VOLATILE_DURABILITY_QOS;
  qos->reliability.kind = dds_RELIABLE_RELIABILITY_QOS;
  qos->reliability.max_blocking_time_ns = kDefaultMaxBlockingNs;
  qos->history.kind = dds_KEEP_ALL_HISTORY_QOS;
  qos->history.depth = 1;
  qos->representation.length = 1;
  qos->representation.value[0] = dds_XCDR_DATA_REPRESENTATION;
  return dds_RETCODE_OK;
}

dds_DataWriter* dds_Publisher_create_datawriter(dds_Publisher* publisher, dds_Topic* topic,
                                                const dds_DataWriterQos* qos,
                                                const dds_DataWriterListener* listener,
                                                dds_StatusMask mask) {
  (void)listener;
  (void)mask;
  if (publisher == nullptr || topic == nullptr || topic->participant != publisher->participant) {
    return nullptr;
  }
  dds_DomainParticipant* p = publisher->participant;
  std::lock_guard<std::mutex> lock(p->mutex);
  if (p->deleting || std::find(p->topics.begin(), p->topics.end(), topic) == p->topics.end()) {
    return nullptr;
  }
  auto* w = new (std::nothrow) dds_DataWriter();
  if (w == nullptr) {
    return nullptr;
  }
  w->publisher = publisher;
  w->topic = topic;
  if (qos != nullptr) {
    w->qos = *qos;
  } else {
    (void)dds_Publisher_get_default_datawriter_qos(publisher, &w->qos);
  }
  w->enable_with_parent = publisher->autoenable_children;
  if (w->enable_with_parent && publisher->enabled && enable_writer_locked(w) != dds_RETCODE_OK) {
    delete w;
    return nullptr;
  }
  try {
    publisher->writers.push_back(w);
  } catch (const std::bad_alloc&) {
    destroy_writer(w);
    return nullptr;
  }
  topic->users++;
  return w;
}

dds_ReturnCode_t dds_Publisher_delete_datawriter(dds_Publisher* publisher, dds_DataWriter* writer) {
  if (publisher == nullptr || writer == nullptr) {
    return dds_RETCODE_BAD_PARAMETER;
  }
  {
    std::lock_guard<std::mutex> lock(publisher->participant->mutex);
    if (!erase_from(publisher->writers, writer)) {
      return dds_RETCODE_PRECONDITION_NOT_MET;
    }
    writer->topic->users--;
  }
  destroy_writer(writer);
  return dds_RETCODE_OK;
}

dds_ReturnCode_t dds_DataWriter_enable(dds_DataWriter* writer) {
  if (writer == nullptr) {
    return dds_RETCODE_BAD_PARAMETER;
  }
  std::lock_guard<std::mutex> lock(writer->publisher->participant->mutex);
  return enable_writer_locked(writer);
}

// ===========================================================================
// Subscribers and readers

dds_ReturnCode_t dds_Subscriber_enable(dds_Subscriber* subscriber) {
  if (subscriber == nullptr) {
    return dds_RETCODE_BAD_PARAMETER;
  }
  std::lock_guard<std::mutex> lock(subscriber->participant->mutex);
  if (subscriber->builtin) {
    return subscriber->participant->enabled ? dds_RETCODE_OK : dds_RETCODE_PRECONDITION_NOT_MET;
  }
  return enable_subscriber_locked(subscriber);
}

dds_ReturnCode_t dds_Subscriber_get_default_datareader_qos(dds_Subscriber* subscriber,
                                                           dds_DataReaderQos* qos) {
  if (subscriber == nullptr || qos == nullptr) {
    return dds_RETCODE_BAD_PARAMETER;
  }
  *qos = {};
  qos->durability.kind = dds_VOLATILE_DURABILITY_QOS;
  qos->reliability.kind = dds_RELIABLE_RELIABILITY_QOS;
  qos->reliability.max_blocking_time_ns = kDefaultMaxBlockingNs;
  qos->history.kind = dds_KEEP_ALL_HISTORY_QOS;
  qos->history.depth = 1;
  qos->representation.length = 2;
  qos->representation.value[0] = dds_XCDR_DATA_REPRESENTATION;
  qos->representation.value[1] = dds_XCDR2_DATA_REPRESENTATION;
  return dds_RETCODE_OK;
}

dds_DataReader* dds_Subscriber_create_datareader(dds_Subscriber* subscriber, dds_Topic* topic,
                                                 const dds_DataReaderQos* qos,
                                                 const dds_DataReaderListener* listener,
                                                 dds_StatusMask mask) {
  if (subscriber == nullptr || topic == nullptr || subscriber->builtin ||
      topic->participant != subscriber->participant) {
    return nullptr;
  }
  dds_DomainParticipant* p = subscriber->participant;
  std::lock_guard<std::mutex> lock(p->mutex);
  if (p->deleting || std::find(p->topics.begin(), p->topics.end(), topic) == p->topics.end()) {
    return nullptr;
  }
  auto* r = new (std::nothrow) dds_DataReader();
  if (r == nullptr) {
    return nullptr;
  }
  try {
    r->subscriber = subscriber;
    r->topic = topic;
    if (qos != nullptr) {
      r->qos = *qos;
    } else {
      (void)dds_Subscriber_get_default_datareader_qos(subscriber, &r->qos);
    }
    if (listener != nullptr) {
      r->listener = *listener;
      r->mask = mask;
    }
    r->dispatcher = std::make_shared<Dispatcher>(r);
    r->dispatcher->set_has_more(nullptr);
    r->enable_with_parent = subscriber->autoenable_children;
    if (r->enable_with_parent && subscriber->enabled && enable_reader_locked(r) != dds_RETCODE_OK) {
      r->dispatcher->join();
      delete r;
      return nullptr;
    }
    subscriber->readers.push_back(r);
  } catch (const std::bad_alloc&) {
    if (r->dispatcher) {
      r->dispatcher->join();
    }
    if (r->cyclone > 0)
      dds_delete(r->cyclone);
    delete r;
    return nullptr;
  }
  topic->users++;
  return r;
}

dds_ReturnCode_t dds_Subscriber_delete_datareader(dds_Subscriber* subscriber,
                                                  dds_DataReader* reader) {
  if (subscriber == nullptr || reader == nullptr || subscriber->builtin) {
    return dds_RETCODE_BAD_PARAMETER;
  }
  {
    std::lock_guard<std::mutex> lock(subscriber->participant->mutex);
    if (!erase_from(subscriber->readers, reader)) {
      return dds_RETCODE_PRECONDITION_NOT_MET;
    }
    reader->topic->users--;
  }
  destroy_reader(reader);
  return dds_RETCODE_OK;
}

dds_DataReader* dds_Subscriber_get_contained_datareader_by_name(dds_Subscriber* subscriber,
                                                                const char* name) {
  if (subscriber == nullptr || name == nullptr) {
    return nullptr;
  }
  std::lock_guard<std::mutex> lock(subscriber->participant->mutex);
  if (subscriber->builtin) {
    return std::strcmp(name, "dds_BuiltinPublications") == 0
               ? subscriber->participant->builtin_reader
               : nullptr;
  }
  for (dds_DataReader* r : subscriber->readers) {
    if (r->topic->name == name) {
      return r;
    }
  }
  return nullptr;
}

dds_ReturnCode_t dds_DataReader_enable(dds_DataReader* reader) {
  if (reader == nullptr) {
    return dds_RETCODE_BAD_PARAMETER;
  }
  dds_DomainParticipant* p = reader->subscriber->participant;
  std::lock_guard<std::mutex> lock(p->mutex);
  if (reader->kind == dds_DataReader::Kind::builtin_publications) {
    return p->enabled ? dds_RETCODE_OK : dds_RETCODE_PRECONDITION_NOT_MET;
  }
  return enable_reader_locked(reader);
}

dds_ReturnCode_t dds_DataReader_set_listener(dds_DataReader* reader,
                                             const dds_DataReaderListener* listener,
                                             dds_StatusMask mask) {
  if (reader == nullptr) {
    return dds_RETCODE_BAD_PARAMETER;
  }
  std::lock_guard<std::mutex> lock(reader->subscriber->participant->mutex);
  reader->listener = listener != nullptr ? *listener : dds_DataReaderListener{};
  reader->mask = listener != nullptr ? mask : 0;
  if (reader->enabled) {
    const bool wants =
        (reader->mask & dds_DATA_AVAILABLE_STATUS) && reader->listener.on_data_available;
    reader->dispatcher->set_callback(wants ? reader->listener.on_data_available : nullptr);
  }
  return dds_RETCODE_OK;
}

// ===========================================================================
// Entity context

dds_ReturnCode_t dds_Entity_set_context(dds_DataReader* reader, int slot, void* context) {
  if (reader == nullptr || slot < 0 || slot > 1) {
    return dds_RETCODE_BAD_PARAMETER;
  }
  reader->context[slot].store(context);
  return dds_RETCODE_OK;
}

dds_ReturnCode_t dds_Entity_set_context(dds_DataWriter* writer, int slot, void* context) {
  if (writer == nullptr || slot < 0 || slot > 1) {
    return dds_RETCODE_BAD_PARAMETER;
  }
  writer->context[slot].store(context);
  return dds_RETCODE_OK;
}

void* dds_Entity_get_context(const dds_DataReader* reader, int slot) {
  if (reader == nullptr || slot < 0 || slot > 1) {
    return nullptr;
  }
  return reader->context[slot].load();
}

void* dds_Entity_get_context(const dds_DataWriter* writer, int slot) {
  if (writer == nullptr || slot < 0 || slot > 1) {
    return nullptr;
  }
  return writer->context[slot].load();
}

// ===========================================================================
// Built-in publications

dds_ReturnCode_t dds_DataReader_take(dds_DataReader* reader, dds_DataSeq* data,
                                     dds_SampleInfoSeq* infos, int32_t max_samples,
                                     dds_SampleStateMask sample_states,
                                     dds_ViewStateMask view_states,
                                     dds_InstanceStateMask instance_states) {
  (void)sample_states;
  (void)view_states;
  (void)instance_states;
  if (reader == nullptr || data == nullptr || infos == nullptr) {
    return dds_RETCODE_BAD_PARAMETER;
  }
  if (reader->kind != dds_DataReader::Kind::builtin_publications) {
    return dds_RETCODE_ILLEGAL_OPERATION;  // raw readers are read with raw_take
  }
  if (reader->cyclone.load() <= 0) {
    return dds_RETCODE_NOT_ENABLED;
  }
  if (data->loan || !data->items.empty() || !infos->items.empty()) {
    return dds_RETCODE_PRECONDITION_NOT_MET;
  }
  uint32_t limit = std::min(data->capacity, infos->capacity);
  if (max_samples >= 0) {
    limit = std::min(limit, static_cast<uint32_t>(max_samples));
  }
  if (limit == 0) {
    return dds_RETCODE_BAD_PARAMETER;
  }
  drain_builtin(reader);
  std::shared_ptr<std::vector<PublicationItem>> loan;
  {
    std::lock_guard<std::mutex> lock(reader->queue_mutex);
    if (reader->queue.empty()) {
      reader->dispatcher->note_take(0, limit);
      return dds_RETCODE_NO_DATA;
    }
    const size_t n = std::min<size_t>(limit, reader->queue.size());
    try {
      loan = std::make_shared<std::vector<PublicationItem>>(reader->queue.begin(),
                                                            reader->queue.begin() + n);
      data->items.reserve(n);
      infos->items.reserve(n);
    } catch (const std::bad_alloc&) {
      return dds_RETCODE_OUT_OF_RESOURCES;
    }
    reader->queue.erase(reader->queue.begin(), reader->queue.begin() + n);
  }
  for (PublicationItem& item : *loan) {
    data->items.push_back(&item.data);
    infos->items.push_back(item.info);
  }
  data->loan = loan;
  reader->dispatcher->note_take(static_cast<long>(loan->size()), limit);
  return dds_RETCODE_OK;
}

dds_ReturnCode_t dds_DataReader_return_loan(dds_DataReader* reader, dds_DataSeq* data,
                                            dds_SampleInfoSeq* infos) {
  if (reader == nullptr || data == nullptr || infos == nullptr) {
    return dds_RETCODE_BAD_PARAMETER;
  }
  data->items.clear();
  data->loan.reset();
  infos->items.clear();
  return dds_RETCODE_OK;
}

// ===========================================================================
// Type supports

dds_TypeSupport* dds_TypeSupport_raw_create() {
  return new (std::nothrow) RawTypeSupport(false);
}

dds_TypeSupport* dds_TypeSupport_raw_create_w_key() {
  return new (std::nothrow) RawTypeSupport(true);
}

dds_ReturnCode_t dds_TypeSupport_register_type(dds_TypeSupport* type_support,
                                               dds_DomainParticipant* participant,
                                               const char* type_name) {
  if (type_support == nullptr || participant == nullptr || !usable_name(type_name)) {
    return dds_RETCODE_BAD_PARAMETER;
  }
  const auto* raw = dynamic_cast<const RawTypeSupport*>(type_support);
  if (raw == nullptr) {
    return dds_RETCODE_UNSUPPORTED;
  }
  std::lock_guard<std::mutex> lock(participant->mutex);
  try {
    participant->registered_types[type_name] = raw->keyed;
  } catch (const std::bad_alloc&) {
    return dds_RETCODE_OUT_OF_RESOURCES;
  }
  return dds_RETCODE_OK;
}

void dds_TypeSupport_delete(dds_TypeSupport* type_support) {
  delete type_support;
}

// ===========================================================================
// Raw samples

void rnr::mw::RawTakeBuffers::release() {
  for (ddsi_serdata* d : samples) {
    if (d != nullptr) {
      ddsi_serdata_unref(d);
    }
  }
  samples.clear();
}

dds_ReturnCode_t dds_DataReader_raw_take(dds_DataReader* reader, dds_InstanceHandle_t handle,
                                         dds_DataSeq* data, dds_SampleInfoSeq* infos,
                                         dds_UnsignedLongSeq* sizes, int32_t max_samples,
                                         dds_SampleStateMask sample_states,
                                         dds_ViewStateMask view_states,
                                         dds_InstanceStateMask instance_states) {
  if (reader == nullptr || data == nullptr || infos == nullptr || sizes == nullptr) {
    return dds_RETCODE_BAD_PARAMETER;
  }
  if (reader->kind != dds_DataReader::Kind::raw) {
    return dds_RETCODE_ILLEGAL_OPERATION;
  }
  if (std::memcmp(handle.value, dds_HANDLE_NIL.value, sizeof handle.value) != 0) {
    return dds_RETCODE_UNSUPPORTED;  // only whole-reader takes
  }
  const dds_entity_t rd = reader->cyclone.load();
  if (rd <= 0) {
    return dds_RETCODE_NOT_ENABLED;
  }
  if (data->loan || !data->items.empty() || !infos->items.empty() || !sizes->items.empty()) {
    return dds_RETCODE_PRECONDITION_NOT_MET;
  }
  uint32_t limit = std::min({data->capacity, infos->capacity, sizes->capacity, kMaxRawTake});
  if (max_samples >= 0) {
    limit = std::min(limit, static_cast<uint32_t>(max_samples));
  }
  if (limit == 0) {
    return dds_RETCODE_BAD_PARAMETER;
  }
  const uint32_t mask = state_mask(sample_states, view_states, instance_states);
  if (mask == 0) {
    return dds_RETCODE_NO_DATA;
  }
  using rnr::mw::RawTakeBuffers;
  std::shared_ptr<RawTakeBuffers> buffers = reader->take_buffers;
  bool idle = false;
  try {
    if (!buffers->lent.compare_exchange_strong(idle, true)) {
      buffers = std::make_shared<RawTakeBuffers>();
      buffers->lent = true;
    }
    buffers->samples.assign(limit, nullptr);
    if (buffers->infos.size() < limit) {
      buffers->infos.resize(limit);
    }
    data->items.reserve(limit);
    infos->items.reserve(limit);
    sizes->items.reserve(limit);
  } catch (const std::bad_alloc&) {
    buffers->samples.clear();
    buffers->lent = false;
    return dds_RETCODE_OUT_OF_RESOURCES;
  }
  const dds_return_t n =
      dds_takecdr(rd, buffers->samples.data(), limit, buffers->infos.data(), mask);
  reader->dispatcher->note_take(n, limit);
  if (n <= 0) {
    buffers->samples.clear();
    buffers->lent = false;
    return n == 0 ? dds_RETCODE_NO_DATA : from_cyclone(n);
  }
  buffers->samples.resize(static_cast<size_t>(n));
  for (dds_return_t i = 0; i < n; i++) {
    const ddsi_serdata* d = buffers->samples[static_cast<size_t>(i)];
    const dds_sample_info_t& si = buffers->infos[static_cast<size_t>(i)];
    dds_SampleInfo info{};
    fill_states(si, &info);
    cyclone_handle_to_handle(si.instance_handle, &info.instance_handle);
    cyclone_handle_to_handle(si.publication_handle, &info.publication_handle);
    // A sample without valid data may still hold a serialized key (a
    // dispose or unregister that carried one): it hands out no buffer.
    const bool raw = rnr::mw::is_raw_serdata(d);
    const uint8_t* bytes = raw && si.valid_data ? rnr::mw::raw_serdata_bytes(d) : nullptr;
    const uint32_t size = bytes != nullptr ? rnr::mw::raw_serdata_size(d) : 0;
    if (bytes == nullptr) {
      info.valid_data = false;
    }
    data->items.push_back(const_cast<uint8_t*>(bytes));
    infos->items.push_back(info);
    sizes->items.push_back(size);
  }
  // Returning the loan releases the samples and frees the buffers for the
  // next take; they stay alive as long as the loan, even past the reader.
  try {
    data->loan = std::shared_ptr<void>(buffers.get(), [buffers](void*) {
      buffers->release();
      buffers->lent = false;
    });
  } catch (const std::bad_alloc&) {
    data->items.clear();
    infos->items.clear();
    sizes->items.clear();
    buffers->release();
    buffers->lent = false;
    return dds_RETCODE_OUT_OF_RESOURCES;
  }
  return dds_RETCODE_OK;
}

dds_ReturnCode_t dds_DataReader_raw_return_loan(dds_DataReader* reader, dds_DataSeq* data,
                                                dds_SampleInfoSeq* infos,
                                                dds_UnsignedLongSeq* sizes) {
  if (reader == nullptr || data == nullptr || infos == nullptr || sizes == nullptr) {
    return dds_RETCODE_BAD_PARAMETER;
  }
  data->items.clear();
  data->loan.reset();
  infos->items.clear();
  sizes->items.clear();
  return dds_RETCODE_OK;
}

dds_ReturnCode_t dds_DataWriter_raw_write(dds_DataWriter* writer, const void* data, size_t size) {
  if (writer == nullptr || data == nullptr || size < 4 || size > UINT32_MAX - 8u) {
    return dds_RETCODE_BAD_PARAMETER;  // at least the encapsulation header
  }
  const dds_entity_t wr = writer->cyclone.load();
  ddsi_sertype* st = writer->sertype.load();
  if (wr <= 0 || st == nullptr) {
    return dds_RETCODE_NOT_ENABLED;
  }
  ddsi_serdata* d = rnr::mw::raw_serdata_from_bytes(st, data, size);
  if (d == nullptr) {
    return dds_RETCODE_OUT_OF_RESOURCES;
  }
  const dds_return_t rc = dds_writecdr(wr, d);  // consumes the reference
  if (!writer->qos.batch.enable && g_batching_switched_on.load()) {
    dds_write_flush(wr);
  }
  return from_cyclone(rc);
}

dds_ReturnCode_t dds_DataReader_get_matched_publication(
    dds_DataReader* reader, const dds_InstanceHandle_t* publication_handle, uint8_t guid[16],
    dds_PublicationBuiltinTopicData* data) {
  if (reader == nullptr || publication_handle == nullptr || guid == nullptr || data == nullptr ||
      reader->subscriber == nullptr) {
    return dds_RETCODE_BAD_PARAMETER;
  }
  const dds_entity_t rd = reader->cyclone.load();
  if (rd <= 0) {
    return dds_RETCODE_NOT_ENABLED;
  }
  dds_instance_handle_t ih = 0;
  std::memcpy(&ih, publication_handle->value, sizeof ih);
  if (dds_builtintopic_endpoint_t* ep = dds_get_matched_publication_data(rd, ih)) {
    *data = dds_PublicationBuiltinTopicData{};
    fill_publication(ep, true, data);
    dds_InstanceHandle_t h{};
    guid_to_handle(ep->key, &h);
    std::memcpy(guid, h.value, sizeof h.value);
    dds_builtintopic_free_endpoint(ep);
    return dds_RETCODE_OK;
  }
  dds_DomainParticipant* p = reader->subscriber->participant;
  std::lock_guard<std::mutex> lock(p->publications_mutex);
  const auto known = p->publications.find(ih);
  if (known == p->publications.end()) {
    return dds_RETCODE_ERROR;
  }
  std::memcpy(guid, known->second.guid, sizeof known->second.guid);
  *data = known->second.data;
  return dds_RETCODE_OK;
}

dds_ReturnCode_t dds_DataWriter_get_total_matched(dds_DataWriter* writer, int32_t* total) {
  if (writer == nullptr || total == nullptr) {
    return dds_RETCODE_BAD_PARAMETER;
  }
  const dds_entity_t wr = writer->cyclone.load();
  if (wr <= 0) {
    return dds_RETCODE_NOT_ENABLED;
  }
  dds_publication_matched_status_t status{};
  const dds_return_t rc = dds_get_publication_matched_status(wr, &status);
  if (rc != DDS_RETCODE_OK) {
    return from_cyclone(rc);
  }
  *total = static_cast<int32_t>(status.total_count);
  return dds_RETCODE_OK;
}

dds_ReturnCode_t dds_DataWriter_flush(dds_DataWriter* writer) {
  if (writer == nullptr) {
    return dds_RETCODE_BAD_PARAMETER;
  }
  const dds_entity_t wr = writer->cyclone.load();
  if (wr <= 0) {
    return dds_RETCODE_NOT_ENABLED;
  }
  if (writer->qos.batch.enable) {
    dds_write_flush(wr);
  }
  return dds_RETCODE_OK;
}

// ===========================================================================
// What the type code needs of participants

namespace rnr::mw {

dds_entity_t cyclone_participant(const dds_DomainParticipant* participant) {
  return participant == nullptr ? 0 : participant->cyclone.load();
}

std::vector<std::shared_ptr<const dds_typeinfo_t>> announced_type_infos(
    const dds_DomainParticipant* participant, const char* type_name) {
  std::vector<std::shared_ptr<const dds_typeinfo_t>> result;
  if (participant == nullptr || type_name == nullptr) {
    return result;
  }
  auto* p = const_cast<dds_DomainParticipant*>(participant);
  // Publications Cyclone has seen but the dispatcher has not yet drained
  // are recorded first.
  if (p->builtin_reader != nullptr) {
    drain_builtin(p->builtin_reader);
  }
  std::lock_guard<std::mutex> lock(p->typeinfo_mutex);
  auto it = p->typeinfos.find(type_name);
  if (it != p->typeinfos.end()) {
    result = it->second;
  }
  return result;
}

size_t announced_type_info_count(const dds_DomainParticipant* participant, const char* type_name) {
  return announced_type_infos(participant, type_name).size();
}

}  // namespace rnr::mw
