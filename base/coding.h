// Little-endian encode/decode helpers for wire formats and stored records. Callers check bounds
// before every Decode; these helpers never look past the bytes they are given.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

inline void EncodeFixed16(uint8_t* dst, uint16_t value) {
  dst[0] = static_cast<uint8_t>(value);
  dst[1] = static_cast<uint8_t>(value >> 8);
}

inline void EncodeFixed32(uint8_t* dst, uint32_t value) {
  dst[0] = static_cast<uint8_t>(value);
  dst[1] = static_cast<uint8_t>(value >> 8);
  dst[2] = static_cast<uint8_t>(value >> 16);
  dst[3] = static_cast<uint8_t>(value >> 24);
}

inline uint16_t DecodeFixed16(const uint8_t* src) {
  return static_cast<uint16_t>(src[0] | (src[1] << 8));
}

inline uint32_t DecodeFixed32(const uint8_t* src) {
  return static_cast<uint32_t>(src[0]) | (static_cast<uint32_t>(src[1]) << 8) |
         (static_cast<uint32_t>(src[2]) << 16) | (static_cast<uint32_t>(src[3]) << 24);
}

inline int32_t DecodeSigned32(const uint8_t* src) {
  return static_cast<int32_t>(DecodeFixed32(src));
}

// Copies a text field of `width` bytes into `dst` (capacity `width` + 1), stopping at the first
// NUL; a field without a NUL is cut at its width. `dst` is always NUL-terminated.
inline void CopyTextField(char* dst, const uint8_t* src, size_t width) {
  size_t n = 0;
  while (n < width && src[n] != 0) ++n;
  std::memcpy(dst, src, n);
  dst[n] = '\0';
}
