#include "recorder/dump.h"

#include <cstdio>

int dds_dump_data(dds_TypeSupport* type_support, void* sample) {
  if (dds_TypeSupport_is_dynamic(type_support)) {
    sample = dds_DynamicData_get_data(sample);
  }
  int written = cdr_dump_data(dds_TypeSupport_get_cdr_meta(type_support), sample, stdout, 3);
  fflush(stdout);
  return written;
}
