// Test signing through libgcrypt.
#include <gcrypt.h>

#include <cstring>

#include "base/gcrypt_setup.h"
#include "install/testing/manifest_signer.h"

bool SignDigest(const TestSigningKey& key, const Sha256Digest& digest, uint8_t* signature) {
  SetUpGcrypt();
  uint8_t point[65];
  point[0] = 0x04;
  std::memcpy(point + 1, key.public_key, 64);
  gcry_sexp_t private_key = nullptr, data = nullptr, result = nullptr;
  bool signed_ok =
      gcry_sexp_build(&private_key, nullptr,
                      "(private-key (ecc (curve \"NIST P-256\") (q %b) (d %b)))", 65, point, 32,
                      key.private_scalar) == 0 &&
      gcry_sexp_build(&data, nullptr, "(data (flags rfc6979) (hash sha256 %b))", 32,
                      digest.data()) == 0 &&
      gcry_pk_sign(&result, data, private_key) == 0;
  for (const char* name : {"r", "s"}) {
    if (!signed_ok) break;
    gcry_sexp_t part = gcry_sexp_find_token(result, name, 0);
    size_t length = 0;
    const char* value = part != nullptr ? gcry_sexp_nth_data(part, 1, &length) : nullptr;
    // An MPI drops leading zero bytes; the signature keeps each half at 32 bytes.
    signed_ok = value != nullptr && length <= 32;
    if (signed_ok) {
      uint8_t* half = signature + (name[0] == 'r' ? 0 : 32);
      std::memset(half, 0, 32 - length);
      std::memcpy(half + 32 - length, value, length);
    }
    gcry_sexp_release(part);
  }
  gcry_sexp_release(result);
  gcry_sexp_release(data);
  gcry_sexp_release(private_key);
  return signed_ok;
}
