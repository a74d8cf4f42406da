// SHA-256 through CNG.
#include <windows.h>
#include <bcrypt.h>

#include "base/sha256.h"
#include "base/win/bcrypt_handles.h"

namespace {

bool Succeeded(NTSTATUS status) { return status >= 0; }

}  // namespace

struct Sha256::State {
  AlgorithmProvider provider;
  CngHash hash;
  bool failed = false;
};

Sha256::Sha256() : state_(new State) {
  // The hash object's memory is left to CNG (allowed from Windows 7 on, and on Vista with a null
  // buffer of size 0 as well).
  const BcryptApi& cng = Bcrypt();
  if (!cng.loaded ||
      !Succeeded(cng.OpenAlgorithmProvider(state_->provider.receive(), BCRYPT_SHA256_ALGORITHM,
                                           nullptr, 0)) ||
      !Succeeded(cng.CreateHash(state_->provider.get(), state_->hash.receive(), nullptr, 0,
                                nullptr, 0, 0))) {
    state_->hash.reset();
    state_->failed = true;
  }
}

Sha256::~Sha256() = default;

void Sha256::Update(const uint8_t* data, size_t size) {
  if (!state_->hash.valid()) return;
  // CNG takes at most 4 GiB per call.
  while (size > 0) {
    const ULONG part = size > 0x40000000 ? 0x40000000 : static_cast<ULONG>(size);
    if (!Succeeded(Bcrypt().HashData(state_->hash.get(), const_cast<PUCHAR>(data), part, 0))) {
      state_->hash.reset();
      state_->failed = true;
      return;
    }
    data += part;
    size -= part;
  }
}

Sha256Digest Sha256::Finish() {
  Sha256Digest digest = {};
  if (state_->hash.valid()) {
    if (!Succeeded(Bcrypt().FinishHash(state_->hash.get(), digest.data(),
                                    static_cast<ULONG>(digest.size()), 0))) {
      state_->failed = true;
    }
    state_->hash.reset();
  }
  return digest;
}

bool Sha256::failed() const { return state_->failed; }
