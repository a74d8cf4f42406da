// The content-defined cutter: lengths within their bounds and near the average, boundaries that
// come back after an insertion or a deletion, and the cut of a fixed input pinned, since old
// installs are cut again with it and must give the chunks their manifest once listed.
#include "base/content_chunks.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "base/sha256.h"

namespace {

std::vector<uint8_t> Noise(size_t size, uint32_t seed) {
  std::vector<uint8_t> bytes(size);
  uint32_t x = seed * 2654435761u + 7;
  for (uint8_t& b : bytes) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    b = static_cast<uint8_t>(x >> 24);
  }
  return bytes;
}

// The chunks of `data` as (offset, SHA-256) of each: what a seed lookup would find.
std::vector<std::pair<size_t, Sha256Digest>> Chunks(const std::vector<uint8_t>& data,
                                                    const ChunkSizes& sizes) {
  std::vector<std::pair<size_t, Sha256Digest>> chunks;
  size_t offset = 0;
  for (uint32_t length : ChunkLengths(data.data(), data.size(), sizes)) {
    chunks.emplace_back(offset, Sha256Of(data.data() + offset, length));
    offset += length;
  }
  return chunks;
}

// How many chunks of `b` are not chunks of `a` (by content).
size_t NewChunks(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b,
                 const ChunkSizes& sizes) {
  std::set<Sha256Digest> known;
  for (const auto& chunk : Chunks(a, sizes)) known.insert(chunk.second);
  size_t fresh = 0;
  for (const auto& chunk : Chunks(b, sizes)) fresh += known.count(chunk.second) ? 0 : 1;
  return fresh;
}

}  // namespace

TEST(ContentChunks, LengthsKeepTheirBoundsAndGatherAroundTheAverage) {
  for (const ChunkSizes sizes : {kDefaultChunkSizes, ChunkSizes{1024, 4096, 16384}}) {
    const std::vector<uint8_t> data = Noise(8 << 20, 1);
    const std::vector<uint32_t> lengths = ChunkLengths(data.data(), data.size(), sizes);
    uint64_t total = 0;
    for (size_t i = 0; i < lengths.size(); ++i) {
      total += lengths[i];
      EXPECT_LE(lengths[i], sizes.max);
      if (i + 1 < lengths.size()) {
        EXPECT_GE(lengths[i], sizes.min);
      }
    }
    EXPECT_EQ(total, data.size());
    const double mean = static_cast<double>(data.size()) / lengths.size();
    EXPECT_GT(mean, sizes.average * 0.75) << sizes.average;
    EXPECT_LT(mean, sizes.average * 1.5) << sizes.average;
  }
  // Runs of one byte never match the mask: cut at max, the tail whole.
  const std::vector<uint8_t> zeros(300 * 1024, 0);
  EXPECT_EQ(ChunkLengths(zeros.data(), zeros.size(), kDefaultChunkSizes),
            (std::vector<uint32_t>{128 * 1024, 128 * 1024, 44 * 1024}));
  EXPECT_TRUE(ChunkLengths(zeros.data(), 0, kDefaultChunkSizes).empty());
  EXPECT_EQ(ChunkLengths(zeros.data(), 100, kDefaultChunkSizes), std::vector<uint32_t>{100});
}

TEST(ContentChunks, AnInsertionOrADeletionChangesOnlyTheChunksAroundIt) {
  const ChunkSizes sizes = kDefaultChunkSizes;
  const std::vector<uint8_t> before = Noise(4 << 20, 2);
  const size_t chunks = ChunkLengths(before.data(), before.size(), sizes).size();
  for (size_t at : {size_t{0}, before.size() / 3, before.size() / 2 + 12345, before.size() - 5}) {
    SCOPED_TRACE(at);
    std::vector<uint8_t> inserted = before;
    const std::vector<uint8_t> extra = Noise(100, 3);
    inserted.insert(inserted.begin() + static_cast<std::ptrdiff_t>(at), extra.begin(), extra.end());
    EXPECT_LE(NewChunks(before, inserted, sizes), 2u) << "of " << chunks;
    std::vector<uint8_t> deleted = before;
    deleted.erase(deleted.begin() + static_cast<std::ptrdiff_t>(at),
                  deleted.begin() + static_cast<std::ptrdiff_t>(at + 5));
    EXPECT_LE(NewChunks(before, deleted, sizes), 2u) << "of " << chunks;
  }
  // An append changes the last chunk only.
  std::vector<uint8_t> appended = before;
  appended.resize(before.size() + 64, 'x');
  EXPECT_LE(NewChunks(before, appended, sizes), 1u);
}

TEST(ContentChunks, TheCutOfAFixedInputNeverChanges) {
  const std::vector<uint8_t> data = Noise(1 << 20, 4);
  const std::vector<uint32_t> lengths = ChunkLengths(data.data(), data.size(), kDefaultChunkSizes);
  std::vector<uint32_t> first(lengths.begin(), lengths.begin() + 8);
  EXPECT_EQ(first, (std::vector<uint32_t>{38655, 33439, 44460, 50328, 43069, 39789, 38841, 39377}));
  EXPECT_EQ(lengths.size(), 29u);
}

TEST(ContentChunks, SizesOutsideTheirBoundsAreNotValid) {
  EXPECT_TRUE(ChunkSizesValid(kDefaultChunkSizes));
  EXPECT_TRUE(ChunkSizesValid({64, 256, 1024}));
  EXPECT_FALSE(ChunkSizesValid({32, 256, 1024}));               // min below the floor
  EXPECT_FALSE(ChunkSizesValid({4096, 3000, 16384}));           // average not a power of two
  EXPECT_FALSE(ChunkSizesValid({4096, 4096, 16384}));           // min not below it
  EXPECT_FALSE(ChunkSizesValid({1024, 4096, 4096}));            // max not above it
  EXPECT_FALSE(ChunkSizesValid({1024, 4096, 8u << 20}));        // max past the ceiling
  EXPECT_FALSE(ChunkSizesValid({64, 128, 1024}));               // average too small for masks
}
