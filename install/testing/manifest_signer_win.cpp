// Test signing through CNG.
#include <windows.h>
#include <bcrypt.h>

#include <cstring>

#include "base/win/bcrypt_handles.h"
#include "install/testing/manifest_signer.h"

bool SignDigest(const TestSigningKey& key, const Sha256Digest& digest, uint8_t* signature) {
  AlgorithmProvider provider;
  if (BCryptOpenAlgorithmProvider(provider.receive(), BCRYPT_ECDSA_P256_ALGORITHM, nullptr, 0) < 0) {
    return false;
  }
  // BCRYPT_ECCPRIVATE_BLOB: the header, X, Y and d.
  BCRYPT_ECCKEY_BLOB header;
  header.dwMagic = BCRYPT_ECDSA_PRIVATE_P256_MAGIC;
  header.cbKey = 32;
  uint8_t blob[sizeof header + 96];
  std::memcpy(blob, &header, sizeof header);
  std::memcpy(blob + sizeof header, key.public_key, 64);
  std::memcpy(blob + sizeof header + 64, key.private_scalar, 32);
  CngKey private_key;
  if (BCryptImportKeyPair(provider.get(), nullptr, BCRYPT_ECCPRIVATE_BLOB, private_key.receive(),
                          blob, sizeof blob, 0) < 0) {
    return false;
  }
  ULONG written = 0;
  return BCryptSignHash(private_key.get(), nullptr, const_cast<PUCHAR>(digest.data()),
                        static_cast<ULONG>(digest.size()), signature, 64, &written, 0) >= 0 &&
         written == 64;
}
