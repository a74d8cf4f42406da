// The SHA-256 compression on the SHA extensions, and the padding around it. The rounds follow
// the extensions' own layout (state as ABEF / CDGH, four rounds per message vector); the
// message schedule is computed four words at a time with sha256msg1 / sha256msg2.
#include "base/sha256_shani.h"

#include <cpuid.h>
#include <immintrin.h>

#include <atomic>
#include <cstring>

namespace {

alignas(16) const uint32_t kRoundConstants[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4,
    0xab1c5ed5, 0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe,
    0x9bdc06a7, 0xc19bf174, 0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f,
    0x4a7484aa, 0x5cb0a9dc, 0x76f988da, 0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7,
    0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967, 0x27b70a85, 0x2e1b2138, 0x4d2c6dfc,
    0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85, 0xa2bfe8a1, 0xa81a664b,
    0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070, 0x19a4c116,
    0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7,
    0xc67178f2};

bool DetectShaExtensions() {
  unsigned a = 0, b = 0, c = 0, d = 0;
  if (!__get_cpuid(1, &a, &b, &c, &d)) return false;
  const bool ssse3 = (c & (1u << 9)) != 0;
  const bool sse41 = (c & (1u << 19)) != 0;
  if (!__get_cpuid_count(7, 0, &a, &b, &c, &d)) return false;
  const bool sha = (b & (1u << 29)) != 0;
  return ssse3 && sse41 && sha;
}

// On unless switched off: the tests and the benchmark compare both paths.
std::atomic<bool> g_use{true};

// 32-bit Windows keeps the stack aligned to 4 bytes only (a thread's start, a window procedure
// called by the system): the function aligns it itself before it keeps 16-byte values there.
__attribute__((target("sha,ssse3,sse4.1"), force_align_arg_pointer)) void CompressBlocks(
    uint32_t state[8], const uint8_t* data, size_t blocks) {
  const __m128i byte_swap = _mm_set_epi64x(0x0c0d0e0f08090a0bULL, 0x0405060700010203ULL);
  __m128i tmp = _mm_loadu_si128(reinterpret_cast<const __m128i*>(&state[0]));
  __m128i state1 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(&state[4]));
  tmp = _mm_shuffle_epi32(tmp, 0xB1);                // CDAB
  state1 = _mm_shuffle_epi32(state1, 0x1B);          // EFGH
  __m128i state0 = _mm_alignr_epi8(tmp, state1, 8);  // ABEF
  state1 = _mm_blend_epi16(state1, tmp, 0xF0);       // CDGH
  for (; blocks > 0; --blocks, data += 64) {
    const __m128i abef = state0;
    const __m128i cdgh = state1;
    __m128i w[4];
    for (int i = 0; i < 4; ++i) {
      w[i] = _mm_shuffle_epi8(
          _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + 16 * i)), byte_swap);
    }
    // Group g runs rounds 4g..4g+3 on w[g % 4]; meanwhile the schedule makes the vector of group
    // g + 1 (from group 3 on) and starts the one of group g + 3 (sha256msg1, groups 1 to 12).
    for (int g = 0; g < 16; ++g) {
      __m128i msg = _mm_add_epi32(
          w[g & 3], _mm_load_si128(reinterpret_cast<const __m128i*>(&kRoundConstants[4 * g])));
      state1 = _mm_sha256rnds2_epu32(state1, state0, msg);
      if (g >= 3 && g <= 14) {
        const __m128i next = _mm_add_epi32(w[(g + 1) & 3], _mm_alignr_epi8(w[g & 3], w[(g + 3) & 3], 4));
        w[(g + 1) & 3] = _mm_sha256msg2_epu32(next, w[g & 3]);
      }
      msg = _mm_shuffle_epi32(msg, 0x0E);
      state0 = _mm_sha256rnds2_epu32(state0, state1, msg);
      if (g >= 1 && g <= 12) w[(g + 3) & 3] = _mm_sha256msg1_epu32(w[(g + 3) & 3], w[g & 3]);
    }
    state0 = _mm_add_epi32(state0, abef);
    state1 = _mm_add_epi32(state1, cdgh);
  }
  tmp = _mm_shuffle_epi32(state0, 0x1B);        // FEBA
  state1 = _mm_shuffle_epi32(state1, 0xB1);     // DCHG
  state0 = _mm_blend_epi16(tmp, state1, 0xF0);  // DCBA
  state1 = _mm_alignr_epi8(state1, tmp, 8);     // ABEF
  _mm_storeu_si128(reinterpret_cast<__m128i*>(&state[0]), state0);
  _mm_storeu_si128(reinterpret_cast<__m128i*>(&state[4]), state1);
}

}  // namespace

bool ShaExtensionsInUse() {
  static const bool present = DetectShaExtensions();
  return present && g_use.load(std::memory_order_relaxed);
}

void UseShaExtensions(bool use) { g_use.store(use, std::memory_order_relaxed); }

ShaNiHash::ShaNiHash()
    : state_{0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a, 0x510e527f, 0x9b05688c, 0x1f83d9ab,
             0x5be0cd19} {}

void ShaNiHash::Update(const uint8_t* data, size_t size) {
  if (size == 0) return;
  total_ += size;
  if (buffered_ > 0) {
    const size_t take = size < 64 - buffered_ ? size : 64 - buffered_;
    std::memcpy(buffer_ + buffered_, data, take);
    buffered_ += take;
    data += take;
    size -= take;
    if (buffered_ < 64) return;
    CompressBlocks(state_, buffer_, 1);
    buffered_ = 0;
  }
  if (size >= 64) {
    CompressBlocks(state_, data, size / 64);
    data += size / 64 * 64;
    size %= 64;
  }
  std::memcpy(buffer_, data, size);
  buffered_ = size;
}

Sha256Digest ShaNiHash::Finish() {
  const uint64_t bits = total_ * 8;
  uint8_t pad[72] = {0x80};
  const size_t pad_length = (buffered_ < 56 ? 56 : 120) - buffered_;
  for (int i = 0; i < 8; ++i) pad[pad_length + i] = static_cast<uint8_t>(bits >> (56 - 8 * i));
  Update(pad, pad_length + 8);
  Sha256Digest digest;
  for (int i = 0; i < 8; ++i) {
    digest[4 * i] = static_cast<uint8_t>(state_[i] >> 24);
    digest[4 * i + 1] = static_cast<uint8_t>(state_[i] >> 16);
    digest[4 * i + 2] = static_cast<uint8_t>(state_[i] >> 8);
    digest[4 * i + 3] = static_cast<uint8_t>(state_[i]);
  }
  return digest;
}
