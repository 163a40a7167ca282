// Values passed between the binding and Cyclone: return codes and the states
// of a sample info.
#include "middleware/entities.h"

#include <cstdint>

#include "log/mlog.h"

namespace rnr::mw {

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

}  // namespace rnr::mw

const dds_InstanceHandle_t dds_HANDLE_NIL = {};

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
