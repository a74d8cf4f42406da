// Test support: a minimal PNG writer (one IDAT chunk, no filtering).
#include "ui/testing/test_png.h"

#include <zlib.h>

#include <string>

namespace {

void PutBigEndian32(std::vector<uint8_t>& out, uint32_t value) {
  for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<uint8_t>(value >> shift));
}

void PutChunk(std::vector<uint8_t>& out, const char type[4], const std::vector<uint8_t>& data) {
  PutBigEndian32(out, static_cast<uint32_t>(data.size()));
  std::vector<uint8_t> body(type, type + 4);
  body.insert(body.end(), data.begin(), data.end());
  out.insert(out.end(), body.begin(), body.end());
  PutBigEndian32(out, static_cast<uint32_t>(crc32(0, body.data(), static_cast<uInt>(body.size()))));
}

}  // namespace

std::vector<uint8_t> EncodePng(int width, int height, const std::vector<uint8_t>& rgb) {
  std::vector<uint8_t> raw;
  raw.reserve(static_cast<size_t>(height) * (width * 3 + 1));
  for (int y = 0; y < height; ++y) {
    raw.push_back(0);  // filter: none
    const auto row = rgb.begin() + static_cast<ptrdiff_t>(y) * width * 3;
    raw.insert(raw.end(), row, row + width * 3);
  }
  uLongf packed_size = compressBound(static_cast<uLong>(raw.size()));
  std::vector<uint8_t> packed(packed_size);
  compress2(packed.data(), &packed_size, raw.data(), static_cast<uLong>(raw.size()), 9);
  packed.resize(packed_size);

  std::vector<uint8_t> png = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
  std::vector<uint8_t> header;
  PutBigEndian32(header, static_cast<uint32_t>(width));
  PutBigEndian32(header, static_cast<uint32_t>(height));
  header.insert(header.end(), {8, 2, 0, 0, 0});  // 8 bits, truecolour, deflate, no filter, no interlace
  PutChunk(png, "IHDR", header);
  PutChunk(png, "IDAT", packed);
  PutChunk(png, "IEND", {});
  return png;
}
