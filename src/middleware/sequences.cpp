#include <new>

#include "binding_internal.h"

dds_DataSeq* dds_DataSeq_create(uint32_t capacity) {
  auto* seq = new (std::nothrow) dds_DataSeq();
  if (seq != nullptr) {
    seq->capacity = capacity;
    seq->items.reserve(capacity);
  }
  return seq;
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
  seq->items.push_back(element);
  return true;
}

void dds_DataSeq_delete(dds_DataSeq* seq) {
  delete seq;
}

dds_SampleInfoSeq* dds_SampleInfoSeq_create(uint32_t capacity) {
  auto* seq = new (std::nothrow) dds_SampleInfoSeq();
  if (seq != nullptr) {
    seq->capacity = capacity;
    seq->items.reserve(capacity);
  }
  return seq;
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
  auto* seq = new (std::nothrow) dds_UnsignedLongSeq();
  if (seq != nullptr) {
    seq->capacity = capacity;
    seq->items.reserve(capacity);
  }
  return seq;
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
