#include <algorithm>
#include <new>

#include "middleware/binding_internal.h"

namespace {

// A capacity is a limit, not an allocation: a sequence starts with room for
// this many items and grows only as far as the items it is given.
constexpr uint32_t kInitialRoom = 16;

template <typename Seq>
Seq* create_seq(uint32_t capacity) {
  auto* seq = new (std::nothrow) Seq();
  if (seq == nullptr) {
    return nullptr;
  }
  seq->capacity = capacity;
  try {
    seq->items.reserve(std::min(capacity, kInitialRoom));
  } catch (const std::bad_alloc&) {
    delete seq;
    return nullptr;
  }
  return seq;
}

}  // namespace

dds_DataSeq* dds_DataSeq_create(uint32_t capacity) {
  return create_seq<dds_DataSeq>(capacity);
}

uint32_t dds_DataSeq_length(const dds_DataSeq* seq) {
  return seq == nullptr ? 0 : static_cast<uint32_t>(seq->items.size());
}

void* dds_DataSeq_get(const dds_DataSeq* seq, uint32_t index) {
  if (seq == nullptr || index >= seq->items.size()) {
    return nullptr;
  }
  return seq->items[index];
}

void* dds_DataSeq_remove(dds_DataSeq* seq, uint32_t index) {
  if (seq == nullptr || index >= seq->items.size()) {
    return nullptr;
  }
  void* element = seq->items[index];
  seq->items.erase(seq->items.begin() + index);
  return element;
}

bool dds_DataSeq_add(dds_DataSeq* seq, void* element) {
  if (seq == nullptr || seq->items.size() >= seq->capacity) {
    return false;
  }
  try {
    seq->items.push_back(element);
  } catch (const std::bad_alloc&) {
    return false;
  }
  return true;
}

void dds_DataSeq_delete(dds_DataSeq* seq) {
  delete seq;
}

dds_SampleInfoSeq* dds_SampleInfoSeq_create(uint32_t capacity) {
  return create_seq<dds_SampleInfoSeq>(capacity);
}

uint32_t dds_SampleInfoSeq_length(const dds_SampleInfoSeq* seq) {
  return seq == nullptr ? 0 : static_cast<uint32_t>(seq->items.size());
}

dds_SampleInfo* dds_SampleInfoSeq_get(const dds_SampleInfoSeq* seq, uint32_t index) {
  if (seq == nullptr || index >= seq->items.size()) {
    return nullptr;
  }
  return const_cast<dds_SampleInfo*>(&seq->items[index]);
}

void dds_SampleInfoSeq_delete(dds_SampleInfoSeq* seq) {
  delete seq;
}

dds_UnsignedLongSeq* dds_UnsignedLongSeq_create(uint32_t capacity) {
  return create_seq<dds_UnsignedLongSeq>(capacity);
}

uint32_t dds_UnsignedLongSeq_length(const dds_UnsignedLongSeq* seq) {
  return seq == nullptr ? 0 : static_cast<uint32_t>(seq->items.size());
}

uint32_t dds_UnsignedLongSeq_get(const dds_UnsignedLongSeq* seq, uint32_t index) {
  if (seq == nullptr || index >= seq->items.size()) {
    return 0;
  }
  return seq->items[index];
}

void dds_UnsignedLongSeq_delete(dds_UnsignedLongSeq* seq) {
  delete seq;
}
