// Test support: PNG encoding of 24-bit pixels (zlib for the compressed stream).
#pragma once

#include <cstdint>
#include <vector>

// `rgb` holds height rows of width x 3 bytes (red, green, blue), top row first.
std::vector<uint8_t> EncodePng(int width, int height, const std::vector<uint8_t>& rgb);
