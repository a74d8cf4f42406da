// Resolving the CNG entries from the system folder's bcrypt.dll.
#include "base/win/bcrypt_api.h"

#include "base/win/system_library.h"

namespace {

template <typename Function>
bool Resolve(HMODULE library, const char* name, Function* entry) {
  *entry = reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(library, name)));
  return *entry != nullptr;
}

BcryptApi Load() {
  BcryptApi api;
  const HMODULE library = LoadSystemLibrary(L"bcrypt.dll");
  if (library == nullptr) return api;
  const bool all = Resolve(library, "BCryptOpenAlgorithmProvider", &api.OpenAlgorithmProvider) &&
                   Resolve(library, "BCryptCloseAlgorithmProvider", &api.CloseAlgorithmProvider) &&
                   Resolve(library, "BCryptCreateHash", &api.CreateHash) &&
                   Resolve(library, "BCryptHashData", &api.HashData) &&
                   Resolve(library, "BCryptFinishHash", &api.FinishHash) &&
                   Resolve(library, "BCryptDestroyHash", &api.DestroyHash) &&
                   Resolve(library, "BCryptImportKeyPair", &api.ImportKeyPair) &&
                   Resolve(library, "BCryptVerifySignature", &api.VerifySignature) &&
                   Resolve(library, "BCryptDestroyKey", &api.DestroyKey);
  if (!all) return BcryptApi();
  api.loaded = true;
  return api;
}

}  // namespace

const BcryptApi& Bcrypt() {
  static const BcryptApi api = Load();
  return api;
}
