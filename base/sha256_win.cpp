// SHA-256 through CNG.
#include <windows.h>
#include <bcrypt.h>

#include <memory>

#include "base/sha256.h"
#include "base/sha256_shani.h"
#include "base/win/bcrypt_handles.h"

namespace {

bool Succeeded(NTSTATUS status) { return status >= 0; }

// One provider for every hash of the run, opened on first use: opening it is what a hash of a
// small chunk would otherwise mostly cost. CNG lets threads create objects from one algorithm
// handle at once. Never closed: at exit bcrypt.dll may be gone before a static owner's
// destructor would run, and the system frees the handle with the process.
BCRYPT_ALG_HANDLE SharedProvider() {
  static const BCRYPT_ALG_HANDLE provider = [] {
    BCRYPT_ALG_HANDLE opened = nullptr;
    if (!Bcrypt().loaded ||
        !Succeeded(Bcrypt().OpenAlgorithmProvider(&opened, BCRYPT_SHA256_ALGORITHM, nullptr, 0))) {
      return static_cast<BCRYPT_ALG_HANDLE>(nullptr);
    }
    return opened;
  }();
  return provider;
}

}  // namespace

struct Sha256::State {
  std::unique_ptr<ShaNiHash> fast;  // the processor's extensions, where it has them
  CngHash hash;
  bool failed = false;
};

Sha256::Sha256() : state_(new State) {
  if (ShaExtensionsInUse()) {
    state_->fast.reset(new ShaNiHash());
    return;
  }
  // The hash object's memory is left to CNG (allowed from Windows 7 on, and on Vista with a null
  // buffer of size 0 as well).
  const BcryptApi& cng = Bcrypt();
  BCRYPT_ALG_HANDLE provider = SharedProvider();
  if (provider == nullptr ||
      !Succeeded(cng.CreateHash(provider, state_->hash.receive(), nullptr, 0, nullptr, 0, 0))) {
    state_->hash.reset();
    state_->failed = true;
  }
}

Sha256::~Sha256() = default;

void Sha256::Update(const uint8_t* data, size_t size) {
  if (state_->fast) {
    state_->fast->Update(data, size);
    return;
  }
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
  if (state_->fast) {
    digest = state_->fast->Finish();
    state_->fast.reset();  // spent, as a CNG hash is
    return digest;
  }
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
