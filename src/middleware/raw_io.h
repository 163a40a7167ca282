// The buffers of the binding's raw takes (raw_io.cpp), which lend Cyclone's
// serialized samples to the application without a copy.
// Only src/middleware includes this header.
#pragma once

#include <atomic>
#include <vector>

#include <dds/dds.h>
#include <dds/ddsi/ddsi_serdata.h>

namespace rnr::mw {

// The buffers of a raw take: Cyclone's samples (one reference each) and their
// infos. Each reader keeps one set for reuse; it is lent out with the loan
// and released when the loan is returned. A take while it is lent out (a
// second thread) uses a set of its own.
struct RawTakeBuffers {
  std::vector<ddsi_serdata*> samples;
  std::vector<dds_sample_info_t> infos;
  // The keys handed out for state changes without data (raw_sertype_key).
  std::vector<std::vector<uint8_t>> keys;
  std::atomic<bool> lent{false};
  void release();
  ~RawTakeBuffers() { release(); }
};

}  // namespace rnr::mw
