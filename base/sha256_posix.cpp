// SHA-256 through libgcrypt.
#include <gcrypt.h>

#include <cstdio>
#include <mutex>
#include <vector>

#include "base/file_system.h"
#include "base/gcrypt_setup.h"
#include "base/sha256.h"

void SetUpGcrypt() {
  static std::once_flag once;
  std::call_once(once, [] {
    gcry_check_version(nullptr);
    gcry_control(GCRYCTL_INITIALIZATION_FINISHED, 0);
  });
}

struct Sha256::State {
  gcry_md_hd_t handle = nullptr;
};

Sha256::Sha256() : state_(new State) {
  SetUpGcrypt();
  if (gcry_md_open(&state_->handle, GCRY_MD_SHA256, 0) != 0) state_->handle = nullptr;
}

Sha256::~Sha256() {
  if (state_->handle != nullptr) gcry_md_close(state_->handle);
}

void Sha256::Update(const uint8_t* data, size_t size) {
  if (state_->handle != nullptr && size > 0) gcry_md_write(state_->handle, data, size);
}

Sha256Digest Sha256::Finish() {
  Sha256Digest digest = {};
  if (state_->handle == nullptr) return digest;
  const unsigned char* value = gcry_md_read(state_->handle, GCRY_MD_SHA256);
  if (value != nullptr) std::copy(value, value + kSha256Size, digest.begin());
  return digest;
}

Sha256Digest Sha256Of(const uint8_t* data, size_t size) {
  Sha256 hash;
  hash.Update(data, size);
  return hash.Finish();
}

bool Sha256OfFile(const char* path, Sha256Digest* digest, uint64_t* size) {
  FILE* file = OpenFile(path, "rb");
  if (file == nullptr) return false;
  Sha256 hash;
  std::vector<uint8_t> block(1 << 16);
  uint64_t total = 0;
  size_t got = 0;
  while ((got = std::fread(block.data(), 1, block.size(), file)) > 0) {
    hash.Update(block.data(), got);
    total += got;
  }
  const bool read_whole = std::ferror(file) == 0;
  std::fclose(file);
  if (!read_whole) return false;
  *digest = hash.Finish();
  if (size != nullptr) *size = total;
  return true;
}
