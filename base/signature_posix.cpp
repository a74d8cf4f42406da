// ECDSA P-256 verification through libgcrypt.
#include <gcrypt.h>

#include <algorithm>

#include "base/gcrypt_setup.h"
#include "base/signature.h"

bool VerifyP256Signature(const uint8_t* public_key, const Sha256Digest& digest,
                         const uint8_t* signature) {
  SetUpGcrypt();
  uint8_t point[1 + kP256PublicKeySize];
  point[0] = 0x04;  // uncompressed
  std::copy(public_key, public_key + kP256PublicKeySize, point + 1);
  GcryptSexp key, data, sig;
  if (gcry_sexp_build(key.receive(), nullptr, "(public-key (ecc (curve \"NIST P-256\") (q %b)))",
                      static_cast<int>(sizeof point), point) != 0 ||
      gcry_sexp_build(data.receive(), nullptr, "(data (flags raw) (value %b))",
                      static_cast<int>(kSha256Size), digest.data()) != 0 ||
      gcry_sexp_build(sig.receive(), nullptr, "(sig-val (ecdsa (r %b) (s %b)))", 32, signature,
                      32, signature + 32) != 0) {
    return false;
  }
  return gcry_pk_verify(sig.get(), data.get(), key.get()) == 0;
}
