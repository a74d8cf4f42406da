// IDEA over thirty-two blocks per 512-bit register (AVX-512BW), compiled for it function by
// function; the caller checks the processor and the system first. The mask registers make the
// multiplication modulo 65537 shorter than with SSE2 or AVX2.
#include <immintrin.h>

#include "wire/idea_blocks_paths.h"

#define QB_LANES_TARGET __attribute__((target("avx512f,avx512bw")))
#if defined(__GNUC__) && !defined(__clang__)
// GCC 12's own unpack intrinsics start from a deliberately undefined register and warn about it.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif

#include "wire/idea_blocks_lanes.h"

namespace {

struct Avx512 {
  using V = __m512i;
  QB_LANES_TARGET static inline V Load(const void* p) { return _mm512_loadu_si512(p); }
  QB_LANES_TARGET static inline void Store(void* p, V v) { _mm512_storeu_si512(p, v); }
  QB_LANES_TARGET static inline V Add16(V a, V b) { return _mm512_add_epi16(a, b); }
  QB_LANES_TARGET static inline V Xor(V a, V b) { return _mm512_xor_si512(a, b); }
  QB_LANES_TARGET static inline V Unpacklo16(V a, V b) { return _mm512_unpacklo_epi16(a, b); }
  QB_LANES_TARGET static inline V Unpackhi16(V a, V b) { return _mm512_unpackhi_epi16(a, b); }
  QB_LANES_TARGET static inline V Unpacklo64(V a, V b) { return _mm512_unpacklo_epi64(a, b); }
  QB_LANES_TARGET static inline V Unpackhi64(V a, V b) { return _mm512_unpackhi_epi64(a, b); }

  // lo - hi, plus 1 in the lanes where lo < hi; 1 - a - key in the lanes whose product is 0.
  QB_LANES_TARGET static inline V MulMod(V a, V key, V one_minus_key) {
    V lo = _mm512_mullo_epi16(a, key);
    V hi = _mm512_mulhi_epu16(a, key);
    V r = _mm512_sub_epi16(lo, hi);
    __mmask32 borrow = _mm512_cmplt_epu16_mask(lo, hi);
    r = _mm512_mask_add_epi16(r, borrow, r, _mm512_set1_epi16(1));
    __mmask32 product_zero =
        _mm512_testn_epi16_mask(_mm512_or_si512(lo, hi), _mm512_or_si512(lo, hi));
    return _mm512_mask_sub_epi16(r, product_zero, one_minus_key, a);
  }
};

}  // namespace

// Aligns the stack itself: 32-bit Windows keeps it aligned to 4 bytes only.
QB_LANES_TARGET __attribute__((force_align_arg_pointer)) size_t IdeaLanesAvx512(
    const uint16_t* subkeys, const uint8_t* source, uint8_t* destination, size_t blocks) {
  return idea_lanes::RunLanes<Avx512>(subkeys, source, destination, blocks);
}
