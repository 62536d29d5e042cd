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

}  // namespace kiv_test
