// Content-defined chunk boundaries: a file is cut where a rolling hash of the bytes just read
// (a gear hash over the last 64 bytes) matches a mask, so that an insertion or a deletion moves
// only the boundaries near it and the chunks further on are found again, byte for byte, in the
// other version of the file. Cuts follow the normalized scheme of FastCDC: no cut before `min`,
// a stricter mask up to `average` and a looser one after it, a forced cut at `max`. The manifest
// carries the sizes a package was cut with; an installer cuts an old file that came without a
// chunk list with the same sizes and so finds the same chunks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

struct ChunkSizes {
  uint32_t min = 0;
  uint32_t average = 0;  // a power of two
  uint32_t max = 0;

  bool operator==(const ChunkSizes& o) const {
    return min == o.min && average == o.average && max == o.max;
  }
};

// What pack uses unless told otherwise: 8 / 32 / 128 KiB.
constexpr ChunkSizes kDefaultChunkSizes = {8 * 1024, 32 * 1024, 128 * 1024};
// The bounds any chunk list must keep: 64 B <= min < average < max <= 4 MiB, average a power of
// two at least 256 (the masks need a few bits either side of it).
constexpr uint32_t kChunkSizeFloor = 64;
constexpr uint32_t kChunkSizeCeiling = 4u << 20;

bool ChunkSizesValid(const ChunkSizes& sizes);

// The length of the chunk that starts at `data`, which holds the `size` bytes left of the file
// (or at least sizes.max of them: nothing past max is looked at). At most min(size, max); all of
// `size` when it is at most min. `sizes` must be valid.
size_t ChunkLength(const uint8_t* data, size_t size, const ChunkSizes& sizes);

// Every chunk length of a whole buffer, in order; they add up to `size` (none for an empty one).
std::vector<uint32_t> ChunkLengths(const uint8_t* data, size_t size, const ChunkSizes& sizes);
