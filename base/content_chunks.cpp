// The gear-hash cutter.
#include "base/content_chunks.h"

#include <array>

namespace {

// 256 fixed pseudo-random 64-bit words (SplitMix64 from a fixed seed). Part of the format: the
// same bytes must be cut the same way by every packer and installer, so this never changes.
constexpr std::array<uint64_t, 256> MakeGear() {
  std::array<uint64_t, 256> gear{};
  uint64_t state = 0x71756c6c62616e6bull;  // "qullbank"
  for (uint64_t& word : gear) {
    state += 0x9E3779B97F4A7C15ull;
    uint64_t z = state;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    word = z ^ (z >> 31);
  }
  return gear;
}
constexpr std::array<uint64_t, 256> kGear = MakeGear();

int Log2(uint32_t power_of_two) {
  int bits = 0;
  while ((1u << bits) < power_of_two) ++bits;
  return bits;
}

// A mask of the `bits` highest bits: the hash is shifted left once per byte, so its high bits
// depend on the most bytes (the last 64).
uint64_t HighBits(int bits) { return bits <= 0 ? 0 : ~uint64_t{0} << (64 - bits); }

}  // namespace

bool ChunkSizesValid(const ChunkSizes& s) {
  return s.min >= kChunkSizeFloor && s.min < s.average && s.average < s.max &&
         s.max <= kChunkSizeCeiling && s.average >= 256 && (s.average & (s.average - 1)) == 0;
}

size_t ChunkLength(const uint8_t* data, size_t size, const ChunkSizes& sizes) {
  if (size <= sizes.min) return size;
  const size_t end = size < sizes.max ? size : sizes.max;
  const size_t normal = end < sizes.average ? end : sizes.average;
  // Two bits more than the average before it, two fewer after: chunk lengths gather around the
  // average instead of spreading out geometrically.
  const int bits = Log2(sizes.average);
  const uint64_t strict = HighBits(bits + 2);
  const uint64_t loose = HighBits(bits - 2);
  uint64_t hash = 0;
  size_t i = sizes.min;
  // The hash covers the 64 bytes before the first place a cut may be made.
  for (size_t j = i >= 64 ? i - 64 : 0; j < i; ++j) hash = (hash << 1) + kGear[data[j]];
  for (; i < normal; ++i) {
    hash = (hash << 1) + kGear[data[i]];
    if ((hash & strict) == 0) return i + 1;
  }
  for (; i < end; ++i) {
    hash = (hash << 1) + kGear[data[i]];
    if ((hash & loose) == 0) return i + 1;
  }
  return end;
}

std::vector<uint32_t> ChunkLengths(const uint8_t* data, size_t size, const ChunkSizes& sizes) {
  std::vector<uint32_t> lengths;
  size_t offset = 0;
  while (offset < size) {
    const size_t length = ChunkLength(data + offset, size - offset, sizes);
    lengths.push_back(static_cast<uint32_t>(length));
    offset += length;
  }
  return lengths;
}
