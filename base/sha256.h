// SHA-256 of bytes and of files: the system's provider on Windows (CNG), libgcrypt natively.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>

constexpr size_t kSha256Size = 32;
using Sha256Digest = std::array<uint8_t, kSha256Size>;

// An incremental hash. Finish ends it; Update after Finish starts nothing new.
class Sha256 {
 public:
  Sha256();
  ~Sha256();
  Sha256(const Sha256&) = delete;
  Sha256& operator=(const Sha256&) = delete;

  void Update(const uint8_t* data, size_t size);
  Sha256Digest Finish();
  // True when the provider could not be set up or refused a step: what Finish gives is then not
  // the hash of the bytes.
  bool failed() const;

 private:
  struct State;
  std::unique_ptr<State> state_;
};

Sha256Digest Sha256Of(const uint8_t* data, size_t size);

// Hashes a whole file, read in large blocks. False when it cannot be opened or read to its end.
bool Sha256OfFile(const char* path, Sha256Digest* digest, uint64_t* size);
