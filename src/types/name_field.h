// Topic names, type names and bag paths are held in fixed text fields of
// 256 bytes everywhere in the tool: at most 255 characters and a terminator.
// This header is the one home of that size and of the copy into such a field.
#pragma once

#include <cstddef>
#include <cstring>

inline constexpr std::size_t RNR_NAME_FIELD_SIZE = 256;
inline constexpr std::size_t RNR_NAME_MAX_LENGTH = RNR_NAME_FIELD_SIZE - 1;

using rnr_name_field = char[RNR_NAME_FIELD_SIZE];

// True when text (not null) fits a name field with its terminator. Reads at
// most RNR_NAME_FIELD_SIZE bytes of text.
inline bool rnr_name_fits(const char* text) {
  return text != nullptr && strnlen(text, RNR_NAME_FIELD_SIZE) < RNR_NAME_FIELD_SIZE;
}

// Copies text into field, cut to 255 characters if longer, always terminated;
// a null text leaves the field empty. Returns whether the whole text fit.
inline bool rnr_name_copy(rnr_name_field& field, const char* text) {
  if (text == nullptr) {
    field[0] = '\0';
    return true;
  }
  const std::size_t length = strnlen(text, RNR_NAME_FIELD_SIZE);
  const std::size_t kept = length < RNR_NAME_FIELD_SIZE ? length : RNR_NAME_MAX_LENGTH;
  std::memcpy(field, text, kept);
  field[kept] = '\0';
  return kept == length;
}
