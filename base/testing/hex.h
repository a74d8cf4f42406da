// Hex text to bytes and back, for tests that pin digests, keys and signatures as literal vectors.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// Bytes of a hex text; spaces are skipped so long vectors can be grouped. A text with any other
// character or an odd count of digits gives no bytes, which the tests' size checks then catch.
inline std::vector<uint8_t> HexBytes(const std::string& text) {
  auto digit = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  };
  std::vector<uint8_t> out;
  int high = -1;
  for (char c : text) {
    if (c == ' ') continue;
    const int value = digit(c);
    if (value < 0) return {};
    if (high < 0) {
      high = value;
    } else {
      out.push_back(static_cast<uint8_t>(high * 16 + value));
      high = -1;
    }
  }
  if (high >= 0) return {};
  return out;
}

inline std::string HexText(const uint8_t* data, size_t size) {
  static const char kDigits[] = "0123456789abcdef";
  std::string out;
  for (size_t i = 0; i < size; ++i) {
    out.push_back(kDigits[data[i] >> 4]);
    out.push_back(kDigits[data[i] & 15]);
  }
  return out;
}
