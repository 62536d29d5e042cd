#pragma once
// What a relay with a conversion table makes of bytes, for tests that check them.

#include <array>
#include <cstdint>
#include <string>

namespace kiv_test {

/// `data` with each byte replaced through `table`.
inline std::string translated(const std::string& data, const std::array<uint8_t, 256>& table) {
  std::string out = data;
  for (char& b : out) b = static_cast<char>(table[static_cast<uint8_t>(b)]);
  return out;
}

/// Every byte value, four times over.
inline std::string every_byte_value() {
  std::string data;
  for (int round = 0; round < 4; ++round) {
    for (int b = 0; b < 256; ++b) data += static_cast<char>(b);
  }
  return data;
}

}  // namespace kiv_test
