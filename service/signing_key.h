// The key packages are signed with: an ECDSA P-256 key pair, kept as text in a key file of its
// own. Line 1 is the private scalar d (64 lowercase hex digits), line 2 the public point X || Y
// (128 lowercase hex digits); each line ends in "\n". The public file holds line 2 alone, which
// is the text an installer build takes as its public key. Other tools write the same files, so
// the format is exact, and read strictly.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

#include "base/sha256.h"
#include "base/signature.h"

constexpr size_t kP256ScalarSize = 32;
constexpr char kSigningKeyFileName[] = "package-signing.key";
constexpr char kPublicKeyFileName[] = "package-signing.pub";

// A key pair in memory. The private scalar is wiped when the key goes away.
class SigningKey {
 public:
  SigningKey() = default;
  ~SigningKey();
  SigningKey(const SigningKey&) = delete;
  SigningKey& operator=(const SigningKey&) = delete;

  const uint8_t* public_key() const { return public_.data(); }
  // The key file's text (private part included: for the key file only) and the public line.
  std::string KeyFileText() const;
  std::string PublicKeyText() const;

  // Signs a digest with deterministic ECDSA (RFC 6979): r || s, 32 bytes each.
  bool Sign(const Sha256Digest& digest, uint8_t* signature, std::string* error) const;

  // A new random key pair.
  static bool Generate(SigningKey* key, std::string* error);
  // Reads the key file's text. False with a reason when it is not two lines of lowercase hex of
  // the right lengths, d is out of range, or the public part does not belong to d.
  static bool Parse(const std::string& text, SigningKey* key, std::string* error);
  static bool ReadFile(const std::string& path, SigningKey* key, std::string* error);

 private:
  std::array<uint8_t, kP256ScalarSize> private_ = {};
  std::array<uint8_t, kP256PublicKeySize> public_ = {};
};

// An unsigned big-endian number (as libgcrypt prints an MPI, without leading zeros, or with
// some) written left-padded with zeros into exactly `width` bytes. False when it needs more.
bool LeftPadNumber(const uint8_t* data, size_t size, uint8_t* out, size_t width);
