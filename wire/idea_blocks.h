// The IDEA block function over runs of independent 8-byte blocks (little-endian words), shared by
// encryption and decryption, which differ only in their subkeys.
#pragma once

#include <cstddef>
#include <cstdint>

// The code paths, named by how many blocks go through the rounds side by side. Every one gives
// the same bytes; blocks left over after the last whole step go one by one.
enum class IdeaLanes { kScalar = 1, kSse2 = 8, kAvx2 = 16, kAvx512 = 32 };

inline constexpr IdeaLanes kAllIdeaLanes[] = {IdeaLanes::kScalar, IdeaLanes::kSse2,
                                              IdeaLanes::kAvx2, IdeaLanes::kAvx512};

// "scalar", "sse2", "avx2", "avx512bw".
const char* IdeaLanesName(IdeaLanes lanes);
// Whether this processor (and system) runs the path.
bool IdeaLanesSupported(IdeaLanes lanes);
// The widest path this processor runs, chosen once from cpuid: what the program uses.
IdeaLanes IdeaLanesBest();

// Enciphers `blocks` blocks of `source` into `destination` with the 52 `subkeys` on the path
// `lanes`, which must be one this processor runs (CipherContext makes sure of it).
void IdeaCryptBlocks(IdeaLanes lanes, const uint16_t* subkeys, const uint8_t* source,
                     uint8_t* destination, size_t blocks);
