// P-256 signature checks: the RFC 6979 (A.2.5) deterministic-signature vectors verify, and every
// kind of damage to the digest, the signature or the key is refused, including the values an
// implementation must reject before doing any curve arithmetic.
#include "base/signature.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/testing/hex.h"

namespace {

// The key pair of RFC 6979, A.2.5 (private key C9AFA9D8...120F6721), public part only.
const char kPublicX[] = "60FED4BA255A9D31C961EB74C6356D68C049B8923B61FA6CE669622E60F29FB6";
const char kPublicY[] = "7903FE1008B8BC99A41AE9E95628BC64F2F1B20C2D7E9F5177A3C294D4462299";

struct Vector {
  const char* message;
  const char* r;
  const char* s;
};

// SHA-256 signatures of the two messages.
const Vector kSample = {"sample",
                        "EFD48B2AACB6A8FD1140DD9CD45E81D69D2C877B56AAF991C34D0EA84EAF3716",
                        "F7CB1C942D657C41D436C7A1B6E29F65F3E900DBB9AFF4064DC4AB2F843ACDA8"};
const Vector kTest = {"test",
                      "F1ABB023518351CD71D881567B1EA663ED3EFCF6C5132B354F28D3B0B7D38367",
                      "019F4113742A2B14BD25926B49C649155F267E60D3814B4C0CC84250E46F0083"};

// The order n of the curve's base point.
const char kOrder[] = "FFFFFFFF00000000FFFFFFFFFFFFFFFFBCE6FAADA7179E84F3B9CAC2FC632551";

std::vector<uint8_t> PublicKey() { return HexBytes(std::string(kPublicX) + kPublicY); }

std::vector<uint8_t> SignatureOf(const Vector& vector) {
  return HexBytes(std::string(vector.r) + vector.s);
}

Sha256Digest DigestOf(const std::string& message) {
  return Sha256Of(reinterpret_cast<const uint8_t*>(message.data()), message.size());
}

bool Verify(const std::vector<uint8_t>& key, const Sha256Digest& digest,
            const std::vector<uint8_t>& signature) {
  // A vector typed wrong would otherwise read past its end.
  if (key.size() != kP256PublicKeySize || signature.size() != kP256SignatureSize) {
    ADD_FAILURE() << "key or signature of the wrong size";
    return false;
  }
  return VerifyP256Signature(key.data(), digest, signature.data());
}

TEST(SignatureTest, Rfc6979VectorsVerifyAndOnlyForTheirOwnMessage) {
  const std::vector<uint8_t> key = PublicKey();
  EXPECT_TRUE(Verify(key, DigestOf(kSample.message), SignatureOf(kSample)));
  EXPECT_TRUE(Verify(key, DigestOf(kTest.message), SignatureOf(kTest)));
  // Repeated checks give the same answer (no state kept between calls).
  EXPECT_TRUE(Verify(key, DigestOf(kSample.message), SignatureOf(kSample)));

  EXPECT_FALSE(Verify(key, DigestOf(kTest.message), SignatureOf(kSample)));
  EXPECT_FALSE(Verify(key, DigestOf(kSample.message), SignatureOf(kTest)));
}

TEST(SignatureTest, AnyFlippedBitIsRefused) {
  const std::vector<uint8_t> key = PublicKey();
  const std::vector<uint8_t> signature = SignatureOf(kSample);
  const Sha256Digest digest = DigestOf(kSample.message);

  // Bits at both ends and in the middle of each part.
  for (size_t bit : {size_t{0}, size_t{7}, size_t{100}, size_t{255}}) {
    SCOPED_TRACE("bit " + std::to_string(bit));
    const size_t byte = bit / 8;
    const uint8_t mask = static_cast<uint8_t>(1u << (bit % 8));

    Sha256Digest bad_digest = digest;
    bad_digest[byte] ^= mask;
    EXPECT_FALSE(Verify(key, bad_digest, signature));

    std::vector<uint8_t> bad_r = signature;
    bad_r[byte] ^= mask;
    EXPECT_FALSE(Verify(key, digest, bad_r));

    std::vector<uint8_t> bad_s = signature;
    bad_s[32 + byte] ^= mask;
    EXPECT_FALSE(Verify(key, digest, bad_s));

    std::vector<uint8_t> bad_x = key;
    bad_x[byte] ^= mask;
    EXPECT_FALSE(Verify(bad_x, digest, signature));

    std::vector<uint8_t> bad_y = key;
    bad_y[32 + byte] ^= mask;
    EXPECT_FALSE(Verify(bad_y, digest, signature));
  }
}

TEST(SignatureTest, KeysOffTheCurveAreRefused) {
  const Sha256Digest digest = DigestOf(kSample.message);
  const std::vector<uint8_t> signature = SignatureOf(kSample);

  std::vector<uint8_t> off_curve = PublicKey();
  off_curve[63] ^= 1;  // Y + 1 or Y - 1: no longer a point of the curve
  EXPECT_FALSE(Verify(off_curve, digest, signature));

  // All zeros: the encoding some libraries take for the point at infinity.
  EXPECT_FALSE(Verify(std::vector<uint8_t>(kP256PublicKeySize, 0), digest, signature));
  // Coordinates at or above the field prime.
  EXPECT_FALSE(Verify(std::vector<uint8_t>(kP256PublicKeySize, 0xFF), digest, signature));
}

TEST(SignatureTest, ROrSOutsideOneToOrderMinusOneAreRefused) {
  const std::vector<uint8_t> key = PublicKey();
  const Sha256Digest digest = DigestOf(kSample.message);
  const std::vector<uint8_t> zero(32, 0);
  const std::vector<uint8_t> order = HexBytes(kOrder);
  const std::vector<uint8_t> all_ones(32, 0xFF);
  const std::vector<uint8_t> r = HexBytes(kSample.r);
  const std::vector<uint8_t> s = HexBytes(kSample.s);

  auto joined = [](const std::vector<uint8_t>& a, const std::vector<uint8_t>& b) {
    std::vector<uint8_t> out = a;
    out.insert(out.end(), b.begin(), b.end());
    return out;
  };
  for (const std::vector<uint8_t>* bad : {&zero, &order, &all_ones}) {
    EXPECT_FALSE(Verify(key, digest, joined(*bad, s)));
    EXPECT_FALSE(Verify(key, digest, joined(r, *bad)));
  }
  EXPECT_FALSE(Verify(key, digest, joined(zero, zero)));
}

}  // namespace
