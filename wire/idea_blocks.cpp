// The IDEA block function: the one-block scalar rounds, the lane paths
// (idea_blocks_sse2/avx2/avx512.cpp) and the choice among them from cpuid. Blocks are independent
// (ECB), so a lane path takes whole steps of its width and the scalar rounds do the blocks left
// over.
#include "wire/idea_blocks.h"

#include <initializer_list>

#include "wire/cpu_features.h"
#include "wire/idea_blocks_paths.h"

namespace {

constexpr int kRounds = 8;

// Multiplication modulo 65537, the value 0 standing for 65536.
inline uint32_t Mul(uint32_t a, uint32_t b) {
  uint32_t p = a * b;
  if (p != 0) {
    uint32_t lo = p & 0xFFFF;
    uint32_t hi = p >> 16;
    return (lo - hi + (lo < hi ? 1 : 0)) & 0xFFFF;
  }
  // One factor is 65536 (= -1): the product is 1 - the other factor.
  return (1 - a - b) & 0xFFFF;
}

inline uint32_t LoadWord(const uint8_t* p) { return static_cast<uint32_t>(p[0] | (p[1] << 8)); }

inline void StoreWord(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}

void CryptBlock(const uint16_t* k, const uint8_t* in, uint8_t* out) {
  uint32_t x1 = LoadWord(in);
  uint32_t x2 = LoadWord(in + 2);
  uint32_t x3 = LoadWord(in + 4);
  uint32_t x4 = LoadWord(in + 6);
  for (int r = 0; r < kRounds; ++r, k += 6) {
    x1 = Mul(x1, k[0]);
    x2 = (x2 + k[1]) & 0xFFFF;
    x3 = (x3 + k[2]) & 0xFFFF;
    x4 = Mul(x4, k[3]);
    uint32_t t1 = Mul(x1 ^ x3, k[4]);
    uint32_t t2 = Mul(((x2 ^ x4) + t1) & 0xFFFF, k[5]);
    t1 = (t1 + t2) & 0xFFFF;
    x1 ^= t2;
    x4 ^= t1;
    uint32_t swap = x2 ^ t1;
    x2 = x3 ^ t2;
    x3 = swap;
  }
  StoreWord(out, Mul(x1, k[0]));
  StoreWord(out + 2, x3 + k[1]);
  StoreWord(out + 4, x2 + k[2]);
  StoreWord(out + 6, Mul(x4, k[3]));
}

size_t NoLanes(const uint16_t*, const uint8_t*, uint8_t*, size_t) { return 0; }

using LanesFunction = size_t (*)(const uint16_t*, const uint8_t*, uint8_t*, size_t);

LanesFunction FunctionOf(IdeaLanes lanes) {
  switch (lanes) {
    case IdeaLanes::kSse2:
      return IdeaLanesSse2;
    case IdeaLanes::kAvx2:
      return IdeaLanesAvx2;
    case IdeaLanes::kAvx512:
      return IdeaLanesAvx512;
    case IdeaLanes::kScalar:
      break;
  }
  return NoLanes;
}

}  // namespace

const char* IdeaLanesName(IdeaLanes lanes) {
  switch (lanes) {
    case IdeaLanes::kScalar:
      return "scalar";
    case IdeaLanes::kSse2:
      return "sse2";
    case IdeaLanes::kAvx2:
      return "avx2";
    case IdeaLanes::kAvx512:
      return "avx512bw";
  }
  return "?";
}

bool IdeaLanesSupported(IdeaLanes lanes) {
  const CpuFeatures& cpu = DetectedCpuFeatures();
  switch (lanes) {
    case IdeaLanes::kScalar:
      return true;
    case IdeaLanes::kSse2:
      return cpu.sse2;
    case IdeaLanes::kAvx2:
      return cpu.avx2;
    case IdeaLanes::kAvx512:
      return cpu.avx512bw;
  }
  return false;
}

IdeaLanes IdeaLanesBest() {
  static const IdeaLanes best = [] {
    for (IdeaLanes lanes : {IdeaLanes::kAvx512, IdeaLanes::kAvx2, IdeaLanes::kSse2}) {
      if (IdeaLanesSupported(lanes)) return lanes;
    }
    return IdeaLanes::kScalar;
  }();
  return best;
}

void IdeaCryptBlocks(IdeaLanes lanes, const uint16_t* subkeys, const uint8_t* source,
                     uint8_t* destination, size_t blocks) {
  size_t done = FunctionOf(lanes)(subkeys, source, destination, blocks);
  for (size_t b = done; b < blocks; ++b) {
    CryptBlock(subkeys, source + b * 8, destination + b * 8);
  }
}
