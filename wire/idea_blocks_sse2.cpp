// IDEA over eight blocks per 128-bit register (SSE2). The 32-bit program's compiler assumes no
// SSE2, so this file asks for it function by function; the caller checks the processor first.
#include <emmintrin.h>

#include "wire/idea_blocks_paths.h"

#define QB_LANES_TARGET __attribute__((target("sse2")))

#include "wire/idea_blocks_lanes.h"

namespace {

struct Sse2 {
  using V = __m128i;
  QB_LANES_TARGET static inline V Load(const void* p) {
    return _mm_loadu_si128(static_cast<const V*>(p));
  }
  QB_LANES_TARGET static inline void Store(void* p, V v) {
    _mm_storeu_si128(static_cast<V*>(p), v);
  }
  QB_LANES_TARGET static inline V Add16(V a, V b) { return _mm_add_epi16(a, b); }
  QB_LANES_TARGET static inline V Xor(V a, V b) { return _mm_xor_si128(a, b); }
  QB_LANES_TARGET static inline V Unpacklo16(V a, V b) { return _mm_unpacklo_epi16(a, b); }
  QB_LANES_TARGET static inline V Unpackhi16(V a, V b) { return _mm_unpackhi_epi16(a, b); }
  QB_LANES_TARGET static inline V Unpacklo64(V a, V b) { return _mm_unpacklo_epi64(a, b); }
  QB_LANES_TARGET static inline V Unpackhi64(V a, V b) { return _mm_unpackhi_epi64(a, b); }

  // Multiplication modulo 65537 (0 standing for 65536): lo - hi + (lo < hi) from the 32-bit
  // product, or 1 - a - key where the product is 0 (one factor is 65536).
  QB_LANES_TARGET static inline V MulMod(V a, V key, V one_minus_key) {
    const V zero = _mm_setzero_si128();
    V lo = _mm_mullo_epi16(a, key);
    V hi = _mm_mulhi_epu16(a, key);
    // Start from lo - hi + 1 and take the 1 back where hi <= lo.
    V hi_not_above = _mm_cmpeq_epi16(_mm_subs_epu16(hi, lo), zero);
    V r = _mm_add_epi16(_mm_sub_epi16(lo, hi), _mm_set1_epi16(1));
    r = _mm_add_epi16(r, hi_not_above);
    V product_zero = _mm_cmpeq_epi16(_mm_or_si128(lo, hi), zero);
    V alt = _mm_sub_epi16(one_minus_key, a);
    return _mm_or_si128(_mm_and_si128(product_zero, alt), _mm_andnot_si128(product_zero, r));
  }
};

}  // namespace

// Aligns the stack itself: 32-bit Windows keeps it aligned to 4 bytes only.
QB_LANES_TARGET __attribute__((force_align_arg_pointer)) size_t IdeaLanesSse2(
    const uint16_t* subkeys, const uint8_t* source, uint8_t* destination, size_t blocks) {
  return idea_lanes::RunLanes<Sse2>(subkeys, source, destination, blocks);
}
