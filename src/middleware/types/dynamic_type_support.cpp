#include "middleware/types/dynamic_type_support.h"

#include <cstdlib>
#include <cstring>
#include <new>

#include "log/mlog.h"

using rnr::mw::DecodedSample;
using rnr::mw::DynamicData;
using rnr::mw::DynamicTypeSupport;

namespace {

DynamicTypeSupport* as_dynamic(dds_TypeSupport* type_support) {
  if (type_support == nullptr || !type_support->is_dynamic()) {
    return nullptr;
  }
  return static_cast<DynamicTypeSupport*>(type_support);
}

}  // namespace

void dds_DynamicTypeSupport_delete_type_support(dds_DynamicTypeSupport* type_support) {
  delete as_dynamic(type_support);
}

char* dds_TypeSupport_extract_metastring(dds_TypeSupport* type_support) {
  DynamicTypeSupport* dynamic = as_dynamic(type_support);
  if (dynamic == nullptr) {
    return nullptr;
  }
  std::string error;
  auto text = rnr::types::render_idl(dynamic->graph(), &error);
  if (!text) {
    mlog_write(MLOG_GLOBAL_INSTANCE, 4, 0, 0, 0, "Types cannot write %s as IDL: %s",
               dynamic->graph().type_name.c_str(), error.c_str());
    return nullptr;
  }
  char* copy = static_cast<char*>(malloc(text->size() + 1));
  if (copy != nullptr) {
    memcpy(copy, text->c_str(), text->size() + 1);
  }
  return copy;
}

void* dds_TypeSupport_deserialize(dds_TypeSupport* type_support, const void* data, size_t size) {
  DynamicTypeSupport* dynamic = as_dynamic(type_support);
  if (dynamic == nullptr || data == nullptr) {
    return nullptr;
  }
  std::string error;
  auto json =
      rnr::types::decode_to_json(dynamic->graph(), static_cast<const uint8_t*>(data), size, &error);
  if (!json) {
    mlog_write(MLOG_GLOBAL_INSTANCE, 4, 0, 0, 0, "Types cannot decode a sample of %s: %s",
               dynamic->graph().type_name.c_str(), error.c_str());
    return nullptr;
  }
  auto* sample = new (std::nothrow) DynamicData();
  if (sample != nullptr) {
    sample->graph = dynamic->meta()->graph;
    sample->sample.graph = sample->graph.get();
    sample->sample.json = std::move(*json);
  }
  return sample;
}

void dds_TypeSupport_free(dds_TypeSupport* type_support, void* sample) {
  if (as_dynamic(type_support) != nullptr) {
    delete static_cast<DynamicData*>(sample);
  }
}

bool dds_TypeSupport_is_dynamic(const dds_TypeSupport* type_support) {
  return type_support != nullptr && type_support->is_dynamic();
}

const cdr_meta* dds_TypeSupport_get_cdr_meta(dds_TypeSupport* type_support) {
  DynamicTypeSupport* dynamic = as_dynamic(type_support);
  return dynamic == nullptr ? nullptr : dynamic->meta();
}

void* dds_DynamicData_get_data(void* dynamic_data) {
  if (dynamic_data == nullptr) {
    return nullptr;
  }
  return &static_cast<DynamicData*>(dynamic_data)->sample;
}

// flags: 1 ends the line with a newline, 2 flushes the stream.
int cdr_dump_data(const cdr_meta* meta, const void* data, FILE* out, int flags) {
  if (meta == nullptr || meta->graph == nullptr || data == nullptr || out == nullptr) {
    return -1;
  }
  const auto* sample = static_cast<const DecodedSample*>(data);
  if (sample->graph != meta->graph.get()) {
    return -1;  // decoded with another type
  }
  std::string line = sample->json;
  if (flags & 1) {
    line += '\n';
  }
  if (fwrite(line.data(), 1, line.size(), out) != line.size()) {
    return -1;
  }
  if ((flags & 2) && fflush(out) != 0) {
    return -1;
  }
  return static_cast<int>(line.size());
}
