// Signing keys: the key file's exact text, the strict reading of it, and signatures that verify
// under the right public key only, always 64 bytes.
#include "service/signing_key.h"

#include <gtest/gtest.h>

#include <cstring>
#include <regex>

#include "base/signature.h"

namespace {

Sha256Digest DigestOf(const std::string& text) {
  return Sha256Of(reinterpret_cast<const uint8_t*>(text.data()), text.size());
}

// A key file text with the public line of another key.
std::string WithPublicLine(const std::string& key_text, const std::string& public_line) {
  return key_text.substr(0, key_text.find('\n') + 1) + public_line;
}

}  // namespace

TEST(SigningKey, GeneratedKeyTextIsExactAndReadsBack) {
  SigningKey key;
  std::string error;
  ASSERT_TRUE(SigningKey::Generate(&key, &error)) << error;
  const std::string text = key.KeyFileText();
  EXPECT_TRUE(std::regex_match(text, std::regex("[0-9a-f]{64}\n[0-9a-f]{128}\n")));
  EXPECT_EQ(text.substr(65), key.PublicKeyText());

  SigningKey read;
  ASSERT_TRUE(SigningKey::Parse(text, &read, &error)) << error;
  EXPECT_EQ(read.KeyFileText(), text);

  // Two generations never give the same key.
  SigningKey other;
  ASSERT_TRUE(SigningKey::Generate(&other, &error)) << error;
  EXPECT_NE(other.PublicKeyText(), key.PublicKeyText());
}

TEST(SigningKey, SignaturesVerifyUnderItsOwnPublicKeyOnly) {
  SigningKey key, other;
  std::string error;
  ASSERT_TRUE(SigningKey::Generate(&key, &error)) << error;
  ASSERT_TRUE(SigningKey::Generate(&other, &error)) << error;
  const Sha256Digest digest = DigestOf("manifest body");
  uint8_t signature[kP256SignatureSize];
  ASSERT_TRUE(key.Sign(digest, signature, &error)) << error;
  EXPECT_TRUE(VerifyP256Signature(key.public_key(), digest, signature));
  EXPECT_FALSE(VerifyP256Signature(other.public_key(), digest, signature));
  EXPECT_FALSE(VerifyP256Signature(key.public_key(), DigestOf("another body"), signature));

  // Deterministic: the same digest and key give the same signature.
  uint8_t again[kP256SignatureSize];
  ASSERT_TRUE(key.Sign(digest, again, &error)) << error;
  EXPECT_EQ(0, memcmp(signature, again, sizeof again));
}

// About one signature in 128 has r or s with a leading zero byte, which libgcrypt gives
// shorter: each must still come out as 64 bytes that verify.
TEST(SigningKey, ShortSignatureNumbersArePaddedAndStillVerify) {
  SigningKey key;
  std::string error;
  ASSERT_TRUE(SigningKey::Generate(&key, &error)) << error;
  int leading_zeros = 0;
  for (int i = 0; i < 1500 && leading_zeros < 2; ++i) {
    const Sha256Digest digest = DigestOf("digest " + std::to_string(i));
    uint8_t signature[kP256SignatureSize];
    ASSERT_TRUE(key.Sign(digest, signature, &error)) << error;
    ASSERT_TRUE(VerifyP256Signature(key.public_key(), digest, signature)) << i;
    leading_zeros += (signature[0] == 0) + (signature[32] == 0);
  }
  EXPECT_GE(leading_zeros, 1);

  uint8_t out[4];
  const uint8_t short_number[] = {0x12, 0x34};
  ASSERT_TRUE(LeftPadNumber(short_number, 2, out, 4));
  EXPECT_EQ(0, memcmp(out, "\x00\x00\x12\x34", 4));
  const uint8_t sign_byte_first[] = {0x00, 0x80, 0x01, 0x02, 0x03};  // a leading 00 as MPIs have
  ASSERT_TRUE(LeftPadNumber(sign_byte_first, 5, out, 4));
  EXPECT_EQ(0, memcmp(out, "\x80\x01\x02\x03", 4));
  const uint8_t too_long[] = {0x01, 0x00, 0x00, 0x00, 0x00};
  EXPECT_FALSE(LeftPadNumber(too_long, 5, out, 4));
  ASSERT_TRUE(LeftPadNumber(nullptr, 0, out, 4));
  EXPECT_EQ(0, memcmp(out, "\x00\x00\x00\x00", 4));
}

TEST(SigningKey, KeyFilesThatAreNotExactlyRightAreRefusedWithAReason) {
  SigningKey key, other;
  std::string error;
  ASSERT_TRUE(SigningKey::Generate(&key, &error)) << error;
  ASSERT_TRUE(SigningKey::Generate(&other, &error)) << error;
  const std::string good = key.KeyFileText();
  const std::string d = good.substr(0, 64);
  const std::string q = good.substr(65, 128);
  std::string upper = good;
  for (char& c : upper) c = static_cast<char>(toupper(c));
  const std::string order = "ffffffff00000000ffffffffffffffffbce6faada7179e84f3b9cac2fc632551";

  const struct {
    const char* what;
    std::string text;
    const char* reason;
  } cases[] = {
      {"public part of another key", WithPublicLine(good, other.PublicKeyText()), "does not belong"},
      {"upper-case hex", upper, "hex"},
      {"not hex", "g" + good.substr(1), "line 1"},
      {"private part short", d.substr(2) + "\n" + q + "\n", "line 1"},
      {"private part long", d + "00\n" + q + "\n", "line 1"},
      {"public part short", d + "\n" + q.substr(2) + "\n", "line 2"},
      {"public part long", d + "\n" + q + "00\n", "line 2"},
      {"no final line feed", d + "\n" + q, "two lines"},
      {"carriage returns", d + "\r\n" + q + "\r\n", "line 1"},
      {"a third line", good + "\n", "two lines"},
      {"one line", d + q + "\n", "two lines"},
      {"empty", "", "two lines"},
      {"private scalar zero", std::string(64, '0') + "\n" + q + "\n", "scalar"},
      {"private scalar the curve order", order + "\n" + q + "\n", "scalar"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    SigningKey read;
    error.clear();
    EXPECT_FALSE(SigningKey::Parse(c.text, &read, &error));
    EXPECT_NE(error.find(c.reason), std::string::npos) << error;
  }
}
