// Owners of CNG handles: an algorithm provider, a key and a hash object. They differ only in the
// call that releases them (a handle is only ever valid once the entries were found).
#pragma once

#include <windows.h>
#include <bcrypt.h>

#include "base/scoped_generic.h"
#include "base/win/bcrypt_api.h"

template <typename CngHandle, void (*Release)(CngHandle)>
struct CngTraits {
  using Handle = CngHandle;
  static CngHandle InvalidValue() { return nullptr; }
  static void Free(CngHandle handle) { Release(handle); }
};

namespace cng_release {
inline void Provider(BCRYPT_ALG_HANDLE handle) { Bcrypt().CloseAlgorithmProvider(handle, 0); }
inline void Key(BCRYPT_KEY_HANDLE handle) { Bcrypt().DestroyKey(handle); }
inline void Hash(BCRYPT_HASH_HANDLE handle) { Bcrypt().DestroyHash(handle); }
}  // namespace cng_release

using AlgorithmProvider = ScopedGeneric<CngTraits<BCRYPT_ALG_HANDLE, cng_release::Provider>>;
using CngKey = ScopedGeneric<CngTraits<BCRYPT_KEY_HANDLE, cng_release::Key>>;
using CngHash = ScopedGeneric<CngTraits<BCRYPT_HASH_HANDLE, cng_release::Hash>>;
