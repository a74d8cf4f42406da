// SHA-256 through libgcrypt.
#include <gcrypt.h>

#include <algorithm>
#include <mutex>

#include <memory>

#include "base/gcrypt_setup.h"
#include "base/sha256.h"
#include "base/sha256_shani.h"

void SetUpGcrypt() {
  static std::once_flag once;
  std::call_once(once, [] {
    gcry_check_version(nullptr);
    gcry_control(GCRYCTL_INITIALIZATION_FINISHED, 0);
  });
}

struct Sha256::State {
  std::unique_ptr<ShaNiHash> fast;  // the processor's extensions, where it has them
  gcry_md_hd_t handle = nullptr;
  bool failed = false;
};

Sha256::Sha256() : state_(new State) {
  if (ShaExtensionsInUse()) {
    state_->fast.reset(new ShaNiHash());
    return;
  }
  SetUpGcrypt();
  if (gcry_md_open(&state_->handle, GCRY_MD_SHA256, 0) != 0) {
    state_->handle = nullptr;
    state_->failed = true;
  }
}

Sha256::~Sha256() {
  if (state_->handle != nullptr) gcry_md_close(state_->handle);
}

void Sha256::Update(const uint8_t* data, size_t size) {
  if (state_->fast) {
    state_->fast->Update(data, size);
    return;
  }
  if (state_->handle != nullptr && size > 0) gcry_md_write(state_->handle, data, size);
}

Sha256Digest Sha256::Finish() {
  Sha256Digest digest = {};
  if (state_->fast) {
    digest = state_->fast->Finish();
    state_->fast.reset();  // spent, as the system's hash is
    return digest;
  }
  if (state_->handle == nullptr) return digest;
  const unsigned char* value = gcry_md_read(state_->handle, GCRY_MD_SHA256);
  if (value != nullptr) {
    std::copy(value, value + kSha256Size, digest.begin());
  } else {
    state_->failed = true;
  }
  // As with CNG, the hash is spent: writing to a finished libgcrypt handle would go on from the
  // padded state.
  gcry_md_close(state_->handle);
  state_->handle = nullptr;
  return digest;
}

bool Sha256::failed() const { return state_->failed; }
