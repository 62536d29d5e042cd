#pragma once
// Byte-for-byte translation of a block through a 256-byte table, in place.

#include <cstddef>
#include <cstdint>

namespace kiv {

inline void translate(uint8_t* block, size_t size, const uint8_t* table) {
  for (size_t i = 0; i < size; ++i) block[i] = table[block[i]];
}

}  // namespace kiv
