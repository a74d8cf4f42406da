// Owners of CNG handles: an algorithm provider, a key and a hash object. One template, since the
// three differ only in the call that releases them.
#pragma once

#include <windows.h>
#include <bcrypt.h>

template <typename Handle, void (*Release)(Handle)>
class CngHandle {
 public:
  CngHandle() = default;
  ~CngHandle() { reset(); }
  CngHandle(const CngHandle&) = delete;
  CngHandle& operator=(const CngHandle&) = delete;

  Handle get() const { return handle_; }
  bool valid() const { return handle_ != nullptr; }
  // Releases what was held; the API fills the handle in.
  Handle* receive() {
    reset();
    return &handle_;
  }
  void reset() {
    if (handle_ != nullptr) Release(handle_);
    handle_ = nullptr;
  }

 private:
  Handle handle_ = nullptr;
};

namespace cng_release {
inline void Provider(BCRYPT_ALG_HANDLE handle) { BCryptCloseAlgorithmProvider(handle, 0); }
inline void Key(BCRYPT_KEY_HANDLE handle) { BCryptDestroyKey(handle); }
inline void Hash(BCRYPT_HASH_HANDLE handle) { BCryptDestroyHash(handle); }
}  // namespace cng_release

using AlgorithmProvider = CngHandle<BCRYPT_ALG_HANDLE, cng_release::Provider>;
using CngKey = CngHandle<BCRYPT_KEY_HANDLE, cng_release::Key>;
using CngHash = CngHandle<BCRYPT_HASH_HANDLE, cng_release::Hash>;
