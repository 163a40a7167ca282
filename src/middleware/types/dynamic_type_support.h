// The type supports built from types discovered on the network, and the
// decoded samples they produce.
#pragma once

#include <memory>
#include <string>

#include "middleware/binding_internal.h"
#include "types/type_model.h"

// The serialization description handed to cdr_dump_data: the type graph.
struct cdr_meta {
  std::shared_ptr<const rnr::types::TypeGraph> graph;
};

namespace rnr::mw {

class DynamicTypeSupport final : public dds_TypeSupport {
 public:
  explicit DynamicTypeSupport(std::shared_ptr<const rnr::types::TypeGraph> graph)
      : meta_{std::move(graph)} {}
  bool is_dynamic() const override { return true; }
  const rnr::types::TypeGraph& graph() const { return *meta_.graph; }
  const cdr_meta* meta() const { return &meta_; }

 private:
  cdr_meta meta_;
};

// One sample decoded with a type: what dds_DynamicData_get_data hands out.
struct DecodedSample {
  const rnr::types::TypeGraph* graph = nullptr;
  std::string json;
};

// What dds_TypeSupport_deserialize returns for a dynamic type support.
struct DynamicData {
  std::shared_ptr<const rnr::types::TypeGraph> graph;  // keeps `sample.graph` alive
  DecodedSample sample;
};

}  // namespace rnr::mw
