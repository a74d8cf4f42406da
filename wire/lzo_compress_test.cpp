// LZO1X compression and the bounds-checked decompression that guards the receive path.
#include "wire/lzo_compress.h"

#include <gtest/gtest.h>
#include <lzo/lzo1x.h>

#include <random>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

Bytes TextLike(size_t n) {
  Bytes out(n);
  std::mt19937 rng(5);
  for (size_t i = 0; i < n; ++i) out[i] = static_cast<uint8_t>("quillbank module "[i % 17] ^ (rng() % 4 == 0));
  return out;
}

TEST(LzoCompressTest, RoundTripUpToTheLargestMessage) {
  Bytes out(kCompressBufferSize), back(kMaxMessageSize);
  for (size_t n : {1u, 74u, 1000u, 131072u}) {
    Bytes data = TextLike(n);
    size_t packed = Compress(data.data(), n, out.data());
    ASSERT_GT(packed, 0u);
    size_t produced = 0;
    ASSERT_TRUE(Decompress(out.data(), packed, back.data(), &produced));
    ASSERT_EQ(produced, n);
    EXPECT_TRUE(std::equal(data.begin(), data.end(), back.begin()));
  }
  // Incompressible data grows, and still fits the compression buffer.
  Bytes noise(kMaxMessageSize);
  std::mt19937 rng(9);
  for (auto& b : noise) b = static_cast<uint8_t>(rng());
  size_t packed = Compress(noise.data(), noise.size(), out.data());
  EXPECT_GT(packed, kMaxMessageSize);
  EXPECT_LE(packed, kCompressBufferSize);
}

TEST(LzoCompressTest, RefusesWhatItCannotDo) {
  Bytes data = TextLike(100), out(kCompressBufferSize);
  EXPECT_EQ(0u, Compress(nullptr, 100, out.data()));
  EXPECT_EQ(0u, Compress(data.data(), 100, nullptr));
  EXPECT_EQ(0u, Compress(data.data(), 0, out.data()));
  Bytes big(kMaxMessageSize + 1);
  EXPECT_EQ(0u, Compress(big.data(), big.size(), out.data()));
}

TEST(LzoCompressTest, DecompressionFailuresAreReported) {
  Bytes data = TextLike(5000), packed(kCompressBufferSize), back(kMaxMessageSize);
  size_t n = Compress(data.data(), data.size(), packed.data());
  size_t produced = 0;
  // End marker missing.
  EXPECT_FALSE(Decompress(packed.data(), n - 3, back.data(), &produced));
  // Input left over behind the end marker.
  packed[n] = 0x11;
  EXPECT_FALSE(Decompress(packed.data(), n + 1, back.data(), &produced));
  // Not LZO at all.
  Bytes junk = {0xFF, 0xFF, 0xFF, 0xFF, 0x00, 0x01, 0x02};
  EXPECT_FALSE(Decompress(junk.data(), junk.size(), back.data(), &produced));
  EXPECT_FALSE(Decompress(junk.data(), 0, back.data(), &produced));

  // A valid stream that expands past 131072 bytes overruns the output and fails.
  Bytes large(kMaxMessageSize + 1, 'a');
  std::vector<unsigned char> work(LZO1X_1_MEM_COMPRESS);
  lzo_uint large_packed = 0;
  ASSERT_EQ(LZO_E_OK, lzo1x_1_compress(large.data(), large.size(), packed.data(), &large_packed,
                                       work.data()));
  EXPECT_FALSE(Decompress(packed.data(), large_packed, back.data(), &produced));
}

}  // namespace
