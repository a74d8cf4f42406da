// The IDEA rounds over many blocks at once, one block per 16-bit lane, written once over an `Ops`
// type that names the vector type and its operations. Each instruction set's source file defines
// QB_LANES_TARGET as its target attribute (__attribute__((target("avx2"))), ...) and includes
// this header, so that every function here is compiled for that set alone and the rest of the
// program stays runnable on any processor. Everything here has internal linkage, so no copy
// compiled for a wider set can stand in for another translation unit's.
//
// The transposes use the 16- and 64-bit unpacks, which work inside each 128-bit lane of wider
// registers: every 128-bit lane then holds its own eight blocks, and the inverse transpose puts
// each block back where it came from. Which block rides in which lane does not matter, since the
// blocks are independent (ECB).
#pragma once

#include <cstddef>
#include <cstdint>

#ifndef QB_LANES_TARGET
#error "define QB_LANES_TARGET as the target attribute before including this header"
#endif

namespace {
namespace idea_lanes {

constexpr int kRounds = 8;
constexpr int kSubkeys = 52;

// The subkeys broadcast to every lane, with 1 - key for the lanes whose product is 0. Kept as
// plain words and loaded unaligned: the 64-bit Windows compiler cannot align a stack object
// beyond 16 bytes.
template <size_t kLanes>
struct LaneKeys {
  uint16_t key[kSubkeys][kLanes];
  uint16_t one_minus_key[kSubkeys][kLanes];

  explicit LaneKeys(const uint16_t* subkeys) {
    for (int i = 0; i < kSubkeys; ++i) {
      for (size_t l = 0; l < kLanes; ++l) {
        key[i][l] = subkeys[i];
        one_minus_key[i][l] = static_cast<uint16_t>(1 - subkeys[i]);
      }
    }
  }
};

template <class Ops, int kWays>
struct Kernel {
  using V = typename Ops::V;
  static constexpr size_t kLanes = sizeof(V) / 2;
  // Blocks per step: kWays independent groups keep the multipliers busy while one group waits
  // on its chain of multiplications.
  static constexpr size_t kStep = kLanes * kWays;

  using Keys = LaneKeys<kLanes>;

  QB_LANES_TARGET static inline V Mul(V a, const Keys& keys, int i) {
    return Ops::MulMod(a, Ops::Load(keys.key[i]), Ops::Load(keys.one_minus_key[i]));
  }
  QB_LANES_TARGET static inline V Add(V a, const Keys& keys, int i) {
    return Ops::Add16(a, Ops::Load(keys.key[i]));
  }

  // Word w of each block of the 4 * sizeof(V) bytes at `in` to the lanes of x[w].
  QB_LANES_TARGET static inline void LoadTransposed(const uint8_t* in, V& x1, V& x2, V& x3, V& x4) {
    V a = Ops::Load(in);
    V b = Ops::Load(in + sizeof(V));
    V c = Ops::Load(in + 2 * sizeof(V));
    V d = Ops::Load(in + 3 * sizeof(V));
    V t0 = Ops::Unpacklo16(a, b);
    V t1 = Ops::Unpackhi16(a, b);
    V t2 = Ops::Unpacklo16(c, d);
    V t3 = Ops::Unpackhi16(c, d);
    V u0 = Ops::Unpacklo16(t0, t1);
    V u1 = Ops::Unpackhi16(t0, t1);
    V u2 = Ops::Unpacklo16(t2, t3);
    V u3 = Ops::Unpackhi16(t2, t3);
    x1 = Ops::Unpacklo64(u0, u2);
    x2 = Ops::Unpackhi64(u0, u2);
    x3 = Ops::Unpacklo64(u1, u3);
    x4 = Ops::Unpackhi64(u1, u3);
  }

  QB_LANES_TARGET static inline void StoreTransposed(V y1, V y2, V y3, V y4, uint8_t* out) {
    V u0 = Ops::Unpacklo64(y1, y2);
    V u1 = Ops::Unpacklo64(y3, y4);
    V u2 = Ops::Unpackhi64(y1, y2);
    V u3 = Ops::Unpackhi64(y3, y4);
    V t0 = Ops::Unpacklo16(u0, u1);
    V t1 = Ops::Unpackhi16(u0, u1);
    V t2 = Ops::Unpacklo16(u2, u3);
    V t3 = Ops::Unpackhi16(u2, u3);
    Ops::Store(out, Ops::Unpacklo16(t0, t1));
    Ops::Store(out + sizeof(V), Ops::Unpackhi16(t0, t1));
    Ops::Store(out + 2 * sizeof(V), Ops::Unpacklo16(t2, t3));
    Ops::Store(out + 3 * sizeof(V), Ops::Unpackhi16(t2, t3));
  }

  // Runs whole steps of kStep blocks; returns how many blocks it did.
  QB_LANES_TARGET static size_t Run(const Keys& keys, const uint8_t* source, uint8_t* destination,
                                    size_t blocks) {
    const size_t steps = blocks / kStep;
    constexpr size_t kGroupBytes = kLanes * 8;
    for (size_t s = 0; s < steps; ++s) {
      const uint8_t* in = source + s * kStep * 8;
      uint8_t* out = destination + s * kStep * 8;
      V x1[kWays], x2[kWays], x3[kWays], x4[kWays];
#pragma GCC unroll 4
      for (int w = 0; w < kWays; ++w)
        LoadTransposed(in + w * kGroupBytes, x1[w], x2[w], x3[w], x4[w]);
      for (int r = 0; r < kRounds; ++r) {
        const int k = 6 * r;
#pragma GCC unroll 4
        for (int w = 0; w < kWays; ++w) {
          V a = Mul(x1[w], keys, k);
          V b = Add(x2[w], keys, k + 1);
          V c = Add(x3[w], keys, k + 2);
          V d = Mul(x4[w], keys, k + 3);
          V s1 = Mul(Ops::Xor(a, c), keys, k + 4);
          V s2 = Mul(Ops::Add16(Ops::Xor(b, d), s1), keys, k + 5);
          s1 = Ops::Add16(s1, s2);
          x1[w] = Ops::Xor(a, s2);
          x4[w] = Ops::Xor(d, s1);
          x2[w] = Ops::Xor(c, s2);
          x3[w] = Ops::Xor(b, s1);
        }
      }
#pragma GCC unroll 4
      for (int w = 0; w < kWays; ++w) {
        // The output transformation undoes the last round's swap of the middle words.
        StoreTransposed(Mul(x1[w], keys, 48), Add(x3[w], keys, 49), Add(x2[w], keys, 50),
                        Mul(x4[w], keys, 51), out + w * kGroupBytes);
      }
    }
    return steps * kStep;
  }
};

// Groups side by side in the main loop: four keep the multipliers busy with x86-64's 16 (or 32)
// vector registers; the 32-bit program has 8, where two already spill.
constexpr int kWideWays = sizeof(void*) == 8 ? 4 : 2;

// Whole steps of kWideWays groups, then single groups, so that short runs still take the lanes;
// returns how many blocks it did (the caller does the last blocks one by one).
template <class Ops>
QB_LANES_TARGET size_t RunLanes(const uint16_t* subkeys, const uint8_t* source,
                                uint8_t* destination, size_t blocks) {
  using Wide = Kernel<Ops, kWideWays>;
  using Single = Kernel<Ops, 1>;
  if (blocks < Single::kStep) return 0;
  const typename Single::Keys keys(subkeys);
  size_t done = Wide::Run(keys, source, destination, blocks);
  done += Single::Run(keys, source + done * 8, destination + done * 8, blocks - done);
  return done;
}

}  // namespace idea_lanes
}  // namespace
