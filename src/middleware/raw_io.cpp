// Raw I/O: takes that lend Cyclone's serialized samples out without a copy,
// and writes and flushes of serialized bytes.
#include "middleware/raw_io.h"

#include <algorithm>
#include <cstring>
#include <memory>

#include <dds/ddsi/q_protocol.h>

#include "middleware/entities.h"
#include "middleware/raw_type.h"

using namespace rnr::mw;  // the binding's private helpers (entities.h)

namespace {

// The most samples one raw take hands out, whatever the sequences' capacity:
// its buffers are sized by the count asked for. A take cut by this limit
// makes the reader's callback run again, so nothing waits.
constexpr uint32_t kMaxRawTake = 4096;

void cyclone_handle_to_handle(dds_instance_handle_t ih, dds_InstanceHandle_t* h) {
  std::memset(h->value, 0, sizeof h->value);
  std::memcpy(h->value, &ih, sizeof ih);
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

}  // namespace

void rnr::mw::RawTakeBuffers::release() {
  for (ddsi_serdata* d : samples) {
    if (d != nullptr) {
      ddsi_serdata_unref(d);
    }
  }
  samples.clear();
  keys.clear();
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
    // dispose or unregister that carried one): its buffer is that key, and
    // the key hash the sender supplied comes with it.
    const bool raw = rnr::mw::is_raw_serdata(d);
    const uint8_t* bytes = raw ? rnr::mw::raw_serdata_bytes(d) : nullptr;
    uint32_t size = bytes != nullptr ? rnr::mw::raw_serdata_size(d) : 0;
    if (bytes == nullptr || !si.valid_data) {
      info.valid_data = false;
      if (raw) {
        rnr::mw::raw_serdata_key_hash(d, &info.has_key_hash, info.key_hash);
      }
      if (bytes == nullptr && info.has_key_hash && reader->topic != nullptr) {
        try {
          std::vector<uint8_t> key;
          uint64_t sequence_number = 0;
          if (rnr::mw::raw_sertype_key(reader->topic->sertype, info.key_hash, &key,
                                       &sequence_number)) {
            if (info.sequence_number == 0) {
              info.sequence_number = sequence_number;
            }
            buffers->keys.push_back(std::move(key));
            bytes = buffers->keys.back().data();
            size = static_cast<uint32_t>(buffers->keys.back().size());
          }
        } catch (const std::bad_alloc&) {
          // handed out without its key
        }
      }
    }
    if (info.sequence_number == 0 && raw) {
      info.sequence_number = rnr::mw::raw_serdata_sequence_number(d);
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

namespace {

// Sends raw bytes with the status bits of a dispose or unregister: a key-only
// sample (`key_only`) or a whole one (a write-dispose, or a sample with the
// unregister behind it), stamped now. forwardcdr keeps the status bits that
// writecdr would clear, and leaves the writer's autodispose setting out.
dds_ReturnCode_t raw_write_status(dds_DataWriter* writer, const void* bytes, size_t size,
                                  bool key_only, uint32_t statusinfo) {
  if (writer == nullptr || bytes == nullptr || size < 4 || size > UINT32_MAX - 8u) {
    return dds_RETCODE_BAD_PARAMETER;  // at least the encapsulation header
  }
  const dds_entity_t wr = writer->cyclone.load();
  ddsi_sertype* st = writer->sertype.load();
  if (wr <= 0 || st == nullptr) {
    return dds_RETCODE_NOT_ENABLED;
  }
  ddsi_serdata* d = key_only ? rnr::mw::raw_serdata_from_key(st, bytes, size)
                             : rnr::mw::raw_serdata_from_bytes(st, bytes, size);
  if (d == nullptr) {
    return dds_RETCODE_OUT_OF_RESOURCES;
  }
  d->statusinfo = statusinfo;
  d->timestamp.v = dds_time();
  const dds_return_t rc = dds_forwardcdr(wr, d);  // consumes the reference
  if (!writer->qos.batch.enable && g_batching_switched_on.load()) {
    dds_write_flush(wr);
  }
  return from_cyclone(rc);
}

}  // namespace

dds_ReturnCode_t dds_DataWriter_raw_dispose(dds_DataWriter* writer, const void* key, size_t size) {
  return raw_write_status(writer, key, size, true, NN_STATUSINFO_DISPOSE);
}

dds_ReturnCode_t dds_DataWriter_raw_unregister(dds_DataWriter* writer, const void* key,
                                               size_t size) {
  return raw_write_status(writer, key, size, true, NN_STATUSINFO_UNREGISTER);
}

dds_ReturnCode_t dds_DataWriter_raw_write_dispose(dds_DataWriter* writer, const void* data,
                                                  size_t size) {
  return raw_write_status(writer, data, size, false, NN_STATUSINFO_DISPOSE);
}

dds_ReturnCode_t dds_DataWriter_raw_write_unregister(dds_DataWriter* writer, const void* data,
                                                     size_t size) {
  return raw_write_status(writer, data, size, false, NN_STATUSINFO_UNREGISTER);
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

dds_ReturnCode_t dds_DataWriter_wait_for_acknowledgments(dds_DataWriter* writer,
                                                         int64_t timeout_ns) {
  if (writer == nullptr || timeout_ns < 0) {
    return dds_RETCODE_BAD_PARAMETER;
  }
  const dds_entity_t wr = writer->cyclone.load();
  if (wr <= 0) {
    return dds_RETCODE_NOT_ENABLED;
  }
  const dds_ReturnCode_t ret = from_cyclone(dds_wait_for_acks(wr, timeout_ns));
  if (ret == dds_RETCODE_OK || ret == dds_RETCODE_TIMEOUT) {
    return ret;
  }
  return dds_RETCODE_ERROR;
}
