// IDEA with little-endian words: the published vector through the byte-swap relation, round
// trips across the eight-block grouping, and the tail XOR.
#include "wire/cipher_context.h"

#include <gtest/gtest.h>

#include <random>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

// The published vector's key 0001 0002 ... 0008 with each 16-bit word stored low byte first.
Bytes StandardKeySwapped() {
  Bytes key;
  for (int i = 1; i <= 8; ++i) {
    key.push_back(static_cast<uint8_t>(i));
    key.push_back(0);
  }
  return key;
}

const Bytes kPlainSwapped = {0x00, 0x00, 0x01, 0x00, 0x02, 0x00, 0x03, 0x00};
const Bytes kCipherSwapped = {0xFB, 0x11, 0x2B, 0xED, 0x98, 0x01, 0xE5, 0x6D};

Bytes RandomBytes(size_t n, uint32_t seed) {
  std::mt19937 rng(seed);
  Bytes out(n);
  for (auto& b : out) b = static_cast<uint8_t>(rng());
  return out;
}

TEST(CipherContextTest, StandardVectorThroughByteSwap) {
  CipherContext context;
  Bytes key = StandardKeySwapped();
  context.SetKey(key.data(), key.size());
  Bytes out(8), back(8);
  context.Encrypt(kPlainSwapped.data(), out.data(), 8);
  EXPECT_EQ(out, kCipherSwapped);
  context.Decrypt(out.data(), back.data(), 8);
  EXPECT_EQ(back, kPlainSwapped);

  // The same block in every lane of a group of eight (and one more block behind the group).
  Bytes plain, expected;
  for (int i = 0; i < 9; ++i) {
    plain.insert(plain.end(), kPlainSwapped.begin(), kPlainSwapped.end());
    expected.insert(expected.end(), kCipherSwapped.begin(), kCipherSwapped.end());
  }
  Bytes many(plain.size());
  context.Encrypt(plain.data(), many.data(), plain.size());
  EXPECT_EQ(many, expected);
}

TEST(CipherContextTest, RoundTripsAndBlocksAreIndependent) {
  // Keys with zero words exercise the multiplications by 65536.
  const Bytes keys[] = {RandomBytes(16, 1), Bytes(16, 0), {0, 0, 1, 0, 0, 0, 0xFF, 0xFF, 0, 0,
                                                           0, 0, 0x34, 0x12, 0, 0}};
  for (const Bytes& key : keys) {
    CipherContext context;
    context.SetKey(key.data(), key.size());
    for (size_t length : {0u, 8u, 56u, 64u, 72u, 127u, 128u, 200u, 131072u}) {
      Bytes plain = RandomBytes(length, static_cast<uint32_t>(length));
      // Zero words in the data as well.
      for (size_t i = 0; i + 1 < length; i += 22) plain[i] = plain[i + 1] = 0;
      Bytes cipher(length), back(length);
      context.Encrypt(plain.data(), cipher.data(), length);
      context.Decrypt(cipher.data(), back.data(), length);
      EXPECT_EQ(back, plain) << "length " << length;
      if (length >= 8) {
        EXPECT_NE(cipher, plain);
      }
      // ECB: every block enciphered on its own gives the same bytes as the whole run.
      for (size_t b = 0; b + 8 <= length && b < 512; b += 8) {
        uint8_t single[8];
        context.Encrypt(plain.data() + b, single, 8);
        ASSERT_EQ(0, memcmp(single, cipher.data() + b, 8)) << "block at " << b;
      }
    }
  }
}

TEST(CipherContextTest, TailIsXoredWithKeyBytesInReverse) {
  Bytes key = RandomBytes(16, 7);
  CipherContext context;
  context.SetKey(key.data(), key.size());
  for (size_t length = 1; length <= 7; ++length) {
    Bytes plain = RandomBytes(length, 100 + static_cast<uint32_t>(length));
    Bytes out(length), back(length);
    context.Encrypt(plain.data(), out.data(), length);
    for (size_t j = 0; j < length; ++j) {
      EXPECT_EQ(out[j], plain[j] ^ key[length - 1 - j]) << "length " << length << " byte " << j;
    }
    context.Decrypt(out.data(), back.data(), length);
    EXPECT_EQ(back, plain);
  }
  // 19 bytes: two enciphered blocks, then bytes 16, 17, 18 with key bytes 2, 1, 0.
  Bytes plain = RandomBytes(19, 19);
  Bytes out(19), blocks(16);
  context.Encrypt(plain.data(), out.data(), 19);
  context.Encrypt(plain.data(), blocks.data(), 16);
  EXPECT_TRUE(std::equal(blocks.begin(), blocks.end(), out.begin()));
  EXPECT_EQ(out[16], plain[16] ^ key[2]);
  EXPECT_EQ(out[17], plain[17] ^ key[1]);
  EXPECT_EQ(out[18], plain[18] ^ key[0]);
}

TEST(CipherContextTest, ShortKeysKeepTheRemainingBytes) {
  CipherContext context;
  context.SetKey("abcde", 5);
  const uint8_t expected[16] = {'a', 'b', 'c', 'd', 'e'};
  EXPECT_EQ(0, memcmp(context.key(), expected, 16));
  // Only the first 16 bytes of a longer key count.
  CipherContext longer;
  longer.SetKey("0123456789abcdefXYZW", 20);
  EXPECT_EQ(0, memcmp(longer.key(), "0123456789abcdef", 16));
}

}  // namespace
