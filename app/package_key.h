// The public key this program checks packages with: a deployment value, compiled into each
// program from its own generated source (the shipped program and the demo deployment's differ).
#pragma once

#include <cstdint>

// 64 bytes X || Y of an ECDSA P-256 key, or null when this program installs packages unchecked.
const uint8_t* PackagePublicKey();
