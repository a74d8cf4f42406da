// ECDSA P-256 verification through CNG.
#include <windows.h>
#include <bcrypt.h>

#include <cstring>

#include "base/signature.h"
#include "base/win/bcrypt_handles.h"

bool VerifyP256Signature(const uint8_t* public_key, const Sha256Digest& digest,
                         const uint8_t* signature) {
  const BcryptApi& cng = Bcrypt();
  if (!cng.loaded) return false;
  AlgorithmProvider provider;
  if (cng.OpenAlgorithmProvider(provider.receive(), BCRYPT_ECDSA_P256_ALGORITHM, nullptr, 0) < 0) {
    return false;
  }
  // BCRYPT_ECCPUBLIC_BLOB: the header, then X and Y.
  uint8_t blob[sizeof(BCRYPT_ECCKEY_BLOB) + kP256PublicKeySize];
  BCRYPT_ECCKEY_BLOB header;
  header.dwMagic = BCRYPT_ECDSA_PUBLIC_P256_MAGIC;
  header.cbKey = kP256PublicKeySize / 2;
  std::memcpy(blob, &header, sizeof header);
  std::memcpy(blob + sizeof header, public_key, kP256PublicKeySize);
  CngKey key;
  if (cng.ImportKeyPair(provider.get(), nullptr, BCRYPT_ECCPUBLIC_BLOB, key.receive(), blob,
                          sizeof blob, 0) < 0) {
    return false;
  }
  return cng.VerifySignature(key.get(), nullptr, const_cast<PUCHAR>(digest.data()),
                               static_cast<ULONG>(digest.size()), const_cast<PUCHAR>(signature),
                               static_cast<ULONG>(kP256SignatureSize), 0) == 0;
}
