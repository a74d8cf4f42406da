// IDEA over sixteen blocks per 256-bit register (AVX2), compiled for AVX2 function by function;
// the caller checks the processor and the system first.
#include <immintrin.h>

#include "wire/idea_blocks_paths.h"

#define QB_LANES_TARGET __attribute__((target("avx2")))

#include "wire/idea_blocks_lanes.h"

namespace {

struct Avx2 {
  using V = __m256i;
  QB_LANES_TARGET static inline V Load(const void* p) {
    return _mm256_loadu_si256(static_cast<const V*>(p));
  }
  QB_LANES_TARGET static inline void Store(void* p, V v) {
    _mm256_storeu_si256(static_cast<V*>(p), v);
  }
  QB_LANES_TARGET static inline V Add16(V a, V b) { return _mm256_add_epi16(a, b); }
  QB_LANES_TARGET static inline V Xor(V a, V b) { return _mm256_xor_si256(a, b); }
  QB_LANES_TARGET static inline V Unpacklo16(V a, V b) { return _mm256_unpacklo_epi16(a, b); }
  QB_LANES_TARGET static inline V Unpackhi16(V a, V b) { return _mm256_unpackhi_epi16(a, b); }
  QB_LANES_TARGET static inline V Unpacklo64(V a, V b) { return _mm256_unpacklo_epi64(a, b); }
  QB_LANES_TARGET static inline V Unpackhi64(V a, V b) { return _mm256_unpackhi_epi64(a, b); }

  // The SSE2 formula (lo - hi + (lo < hi), or 1 - a - key where the product is 0), with one
  // blend for the choice.
  QB_LANES_TARGET static inline V MulMod(V a, V key, V one_minus_key) {
    const V zero = _mm256_setzero_si256();
    V lo = _mm256_mullo_epi16(a, key);
    V hi = _mm256_mulhi_epu16(a, key);
    V hi_not_above = _mm256_cmpeq_epi16(_mm256_subs_epu16(hi, lo), zero);
    V r = _mm256_add_epi16(_mm256_sub_epi16(lo, hi), _mm256_set1_epi16(1));
    r = _mm256_add_epi16(r, hi_not_above);
    V product_zero = _mm256_cmpeq_epi16(_mm256_or_si256(lo, hi), zero);
    return _mm256_blendv_epi8(r, _mm256_sub_epi16(one_minus_key, a), product_zero);
  }
};

}  // namespace

// Aligns the stack itself: 32-bit Windows keeps it aligned to 4 bytes only.
QB_LANES_TARGET __attribute__((force_align_arg_pointer)) size_t IdeaLanesAvx2(
    const uint16_t* subkeys, const uint8_t* source, uint8_t* destination, size_t blocks) {
  return idea_lanes::RunLanes<Avx2>(subkeys, source, destination, blocks);
}
