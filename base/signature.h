// ECDSA over NIST P-256: the check that a digest was signed by the holder of a key. The system's
// provider on Windows (CNG, BCryptVerifySignature), libgcrypt natively.
#pragma once

#include <cstddef>
#include <cstdint>

#include "base/sha256.h"

// X || Y, big-endian, 32 bytes each: the form BCRYPT_ECCPUBLIC_BLOB carries after its header.
constexpr size_t kP256PublicKeySize = 64;
// r || s, big-endian, 32 bytes each: what BCryptVerifySignature takes.
constexpr size_t kP256SignatureSize = 64;

// True only when `signature` is a valid signature of `digest` under `public_key`. A key that is
// not a point of the curve, or a provider that cannot be loaded, gives false.
bool VerifyP256Signature(const uint8_t* public_key, const Sha256Digest& digest,
                         const uint8_t* signature);
