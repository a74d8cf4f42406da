// Every lane path of the IDEA block function that this machine runs, each through contexts made
// for it: the published vector in every lane and behind each step, and the same bytes as the
// scalar path on random data of lengths around each step width, with keys and data that hold zero
// words; and the path a context takes when none or one this machine lacks is asked for.
#include "wire/idea_blocks.h"

#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "wire/cipher_context.h"

// Failure messages name the path rather than dumping its bytes.
void PrintTo(IdeaLanes lanes, std::ostream* os) { *os << IdeaLanesName(lanes); }

namespace {

using Bytes = std::vector<uint8_t>;

// The published vector (key 0001 0002 ... 0008, plaintext 0000 0001 0002 0003, ciphertext
// 11FB ED2B 0198 6DE5) with every 16-bit word stored low byte first, as our contexts take it.
const Bytes kKeySwapped = {1, 0, 2, 0, 3, 0, 4, 0, 5, 0, 6, 0, 7, 0, 8, 0};
const Bytes kPlainSwapped = {0x00, 0x00, 0x01, 0x00, 0x02, 0x00, 0x03, 0x00};
const Bytes kCipherSwapped = {0xFB, 0x11, 0x2B, 0xED, 0x98, 0x01, 0xE5, 0x6D};

Bytes RandomBytes(size_t n, uint32_t seed) {
  std::mt19937 rng(seed);
  Bytes out(n);
  for (auto& b : out) b = static_cast<uint8_t>(rng());
  return out;
}

// A context on `lanes` keyed with `key`.
CipherContext KeyedOn(IdeaLanes lanes, const Bytes& key) {
  CipherContext context(lanes);
  context.SetKey(key.data(), key.size());
  return context;
}

class IdeaLanesTest : public ::testing::TestWithParam<IdeaLanes> {
 protected:
  void SetUp() override {
    if (!IdeaLanesSupported(GetParam())) {
      GTEST_SKIP() << IdeaLanesName(GetParam()) << " is not supported on this machine";
    }
  }
};

TEST_P(IdeaLanesTest, PublishedVectorInEveryLane) {
  const CipherContext context = KeyedOn(GetParam(), kKeySwapped);
  ASSERT_EQ(context.lanes(), GetParam());
  // Two of the widest steps (four groups of 32 blocks), single groups of each width, and blocks
  // that the scalar rounds finish: every lane of every path.
  const size_t blocks = 2 * 128 + 32 + 16 + 8 + 3;
  Bytes plain, expected;
  for (size_t i = 0; i < blocks; ++i) {
    plain.insert(plain.end(), kPlainSwapped.begin(), kPlainSwapped.end());
    expected.insert(expected.end(), kCipherSwapped.begin(), kCipherSwapped.end());
  }
  Bytes out(plain.size()), back(plain.size());
  context.Encrypt(plain.data(), out.data(), plain.size());
  EXPECT_EQ(out, expected);
  context.Decrypt(out.data(), back.data(), out.size());
  EXPECT_EQ(back, plain);
}

TEST_P(IdeaLanesTest, SameBytesAsTheScalarPath) {
  const Bytes keys[] = {RandomBytes(16, 3), Bytes(16, 0),
                        {0, 0, 1, 0, 0, 0, 0xFF, 0xFF, 0, 0, 0, 0, 0x34, 0x12, 0, 0}};
  // Lengths around each group and step width (8 to 128 blocks), odd lengths with a tail, and a
  // long run.
  std::vector<size_t> lengths = {0,    7,    8,    9,    63,   65,   127,  129,  255,
                                 257,  511,  513,  1023, 1025, 2047, 2049, 8 * 128 * 3 + 8 * 45 + 5,
                                 65536 + 3};
  for (const Bytes& key : keys) {
    const CipherContext context = KeyedOn(GetParam(), key);
    const CipherContext scalar_context = KeyedOn(IdeaLanes::kScalar, key);
    for (size_t length : lengths) {
      Bytes plain = RandomBytes(length, static_cast<uint32_t>(length) + key[0]);
      // Zero words in the data: the multiplications by 65536 in every lane position.
      for (size_t i = 0; i + 1 < length; i += 14) plain[i] = plain[i + 1] = 0;
      Bytes ours(length), scalar(length), back(length);
      context.Encrypt(plain.data(), ours.data(), length);
      scalar_context.Encrypt(plain.data(), scalar.data(), length);
      ASSERT_EQ(ours, scalar) << IdeaLanesName(GetParam()) << ", length " << length;
      context.Decrypt(ours.data(), back.data(), length);
      ASSERT_EQ(back, plain) << IdeaLanesName(GetParam()) << ", length " << length;
    }
  }
}

// Unaligned buffers: the paths must not assume any alignment of the caller's data.
TEST_P(IdeaLanesTest, UnalignedBuffers) {
  const Bytes key = RandomBytes(16, 11);
  const size_t length = 8 * 128 * 2 + 8 * 33;
  Bytes plain = RandomBytes(length + 3, 12), ours(length + 5), scalar(length);
  KeyedOn(GetParam(), key).Encrypt(plain.data() + 3, ours.data() + 5, length);
  KeyedOn(IdeaLanes::kScalar, key).Encrypt(plain.data() + 3, scalar.data(), length);
  EXPECT_TRUE(std::equal(scalar.begin(), scalar.end(), ours.begin() + 5));
}

INSTANTIATE_TEST_SUITE_P(AllPaths, IdeaLanesTest, ::testing::ValuesIn(kAllIdeaLanes),
                         [](const ::testing::TestParamInfo<IdeaLanes>& info) {
                           return std::string(IdeaLanesName(info.param));
                         });

TEST(IdeaLanesChoiceTest, TheAutomaticChoiceRunsHereAndAPathAskedForIsChecked) {
  EXPECT_TRUE(IdeaLanesSupported(IdeaLanes::kScalar));
  EXPECT_TRUE(IdeaLanesSupported(IdeaLanesBest()));
  EXPECT_EQ(CipherContext().lanes(), IdeaLanesBest());
  for (IdeaLanes lanes : kAllIdeaLanes) {
    // A path this machine lacks gives the automatic choice, never an instruction it cannot run;
    // keying and copying keep the path.
    const IdeaLanes expected = IdeaLanesSupported(lanes) ? lanes : IdeaLanesBest();
    CipherContext context(lanes);
    EXPECT_EQ(context.lanes(), expected) << IdeaLanesName(lanes);
    context.SetKey(kKeySwapped.data(), kKeySwapped.size());
    const CipherContext copy = context;
    EXPECT_EQ(copy.lanes(), expected) << IdeaLanesName(lanes);
  }
  // The wider paths need the narrower ones' instructions too.
  if (IdeaLanesSupported(IdeaLanes::kAvx512)) {
    EXPECT_TRUE(IdeaLanesSupported(IdeaLanes::kAvx2));
  }
  if (IdeaLanesSupported(IdeaLanes::kAvx2)) {
    EXPECT_TRUE(IdeaLanesSupported(IdeaLanes::kSse2));
  }
}

}  // namespace
