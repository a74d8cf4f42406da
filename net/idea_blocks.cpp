// IDEA rounds over runs of blocks. Blocks are independent (ECB), so where SSE2 is available eight
// blocks go through the rounds side by side, one block per 16-bit lane; the rest go one by one.
#include "net/idea_blocks.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

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

#if defined(__SSE2__)

constexpr size_t kLanes = 8;

// One multiplication key broadcast to all lanes, with 1 - key for the lanes whose product is 0.
struct LaneKey {
  __m128i key;
  __m128i one_minus_key;
};

// Eight multiplications modulo 65537 at once; the same formula as Mul.
inline __m128i MulLanes(__m128i a, const LaneKey& k) {
  const __m128i zero = _mm_setzero_si128();
  __m128i lo = _mm_mullo_epi16(a, k.key);
  __m128i hi = _mm_mulhi_epu16(a, k.key);
  // lo - hi + (lo < hi): start from lo - hi + 1 and take the 1 back where hi <= lo.
  __m128i hi_not_above = _mm_cmpeq_epi16(_mm_subs_epu16(hi, lo), zero);
  __m128i r = _mm_add_epi16(_mm_sub_epi16(lo, hi), _mm_set1_epi16(1));
  r = _mm_add_epi16(r, hi_not_above);
  __m128i product_zero = _mm_cmpeq_epi16(_mm_or_si128(lo, hi), zero);
  __m128i alt = _mm_sub_epi16(k.one_minus_key, a);
  return _mm_or_si128(_mm_and_si128(product_zero, alt), _mm_andnot_si128(product_zero, r));
}

// Runs whole groups of eight blocks; returns how many blocks it did.
size_t CryptLanes(const uint16_t* subkeys, const uint8_t* source, uint8_t* destination,
                  size_t blocks) {
  size_t groups = blocks / kLanes;
  if (groups == 0) return 0;
  LaneKey mul_keys[52];
  __m128i add_keys[52];
  for (int i = 0; i < 52; ++i) {
    mul_keys[i].key = _mm_set1_epi16(static_cast<short>(subkeys[i]));
    mul_keys[i].one_minus_key = _mm_set1_epi16(static_cast<short>(1 - subkeys[i]));
    add_keys[i] = mul_keys[i].key;
  }
  for (size_t g = 0; g < groups; ++g) {
    const __m128i* in = reinterpret_cast<const __m128i*>(source + g * kLanes * 8);
    __m128i a = _mm_loadu_si128(in);
    __m128i b = _mm_loadu_si128(in + 1);
    __m128i c = _mm_loadu_si128(in + 2);
    __m128i d = _mm_loadu_si128(in + 3);
    // Transpose: word w of block i goes to lane i of xw.
    __m128i t0 = _mm_unpacklo_epi16(a, b);
    __m128i t1 = _mm_unpackhi_epi16(a, b);
    __m128i t2 = _mm_unpacklo_epi16(c, d);
    __m128i t3 = _mm_unpackhi_epi16(c, d);
    __m128i u0 = _mm_unpacklo_epi16(t0, t1);
    __m128i u1 = _mm_unpackhi_epi16(t0, t1);
    __m128i u2 = _mm_unpacklo_epi16(t2, t3);
    __m128i u3 = _mm_unpackhi_epi16(t2, t3);
    __m128i x1 = _mm_unpacklo_epi64(u0, u2);
    __m128i x2 = _mm_unpackhi_epi64(u0, u2);
    __m128i x3 = _mm_unpacklo_epi64(u1, u3);
    __m128i x4 = _mm_unpackhi_epi64(u1, u3);

    for (int r = 0; r < kRounds; ++r) {
      const int k = 6 * r;
      x1 = MulLanes(x1, mul_keys[k]);
      x2 = _mm_add_epi16(x2, add_keys[k + 1]);
      x3 = _mm_add_epi16(x3, add_keys[k + 2]);
      x4 = MulLanes(x4, mul_keys[k + 3]);
      __m128i s1 = MulLanes(_mm_xor_si128(x1, x3), mul_keys[k + 4]);
      __m128i s2 = MulLanes(_mm_add_epi16(_mm_xor_si128(x2, x4), s1), mul_keys[k + 5]);
      s1 = _mm_add_epi16(s1, s2);
      x1 = _mm_xor_si128(x1, s2);
      x4 = _mm_xor_si128(x4, s1);
      __m128i swap = _mm_xor_si128(x2, s1);
      x2 = _mm_xor_si128(x3, s2);
      x3 = swap;
    }
    __m128i y1 = MulLanes(x1, mul_keys[48]);
    __m128i y2 = _mm_add_epi16(x3, add_keys[49]);
    __m128i y3 = _mm_add_epi16(x2, add_keys[50]);
    __m128i y4 = MulLanes(x4, mul_keys[51]);

    // Transpose back.
    u0 = _mm_unpacklo_epi64(y1, y2);
    u1 = _mm_unpacklo_epi64(y3, y4);
    u2 = _mm_unpackhi_epi64(y1, y2);
    u3 = _mm_unpackhi_epi64(y3, y4);
    t0 = _mm_unpacklo_epi16(u0, u1);
    t1 = _mm_unpackhi_epi16(u0, u1);
    t2 = _mm_unpacklo_epi16(u2, u3);
    t3 = _mm_unpackhi_epi16(u2, u3);
    __m128i* out = reinterpret_cast<__m128i*>(destination + g * kLanes * 8);
    _mm_storeu_si128(out, _mm_unpacklo_epi16(t0, t1));
    _mm_storeu_si128(out + 1, _mm_unpackhi_epi16(t0, t1));
    _mm_storeu_si128(out + 2, _mm_unpacklo_epi16(t2, t3));
    _mm_storeu_si128(out + 3, _mm_unpackhi_epi16(t2, t3));
  }
  return groups * kLanes;
}

#else

size_t CryptLanes(const uint16_t*, const uint8_t*, uint8_t*, size_t) { return 0; }

#endif

}  // namespace

void IdeaCryptBlocks(const uint16_t* subkeys, const uint8_t* source, uint8_t* destination,
                     size_t blocks) {
  size_t done = CryptLanes(subkeys, source, destination, blocks);
  for (size_t b = done; b < blocks; ++b) {
    CryptBlock(subkeys, source + b * 8, destination + b * 8);
  }
}
