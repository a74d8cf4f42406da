// The public keys this program checks packages with: a deployment value, compiled into each
// program from its own generated source (the shipped program and the demo deployment's differ).
#pragma once

#include <cstdint>

// Each key is 64 bytes X || Y of an ECDSA P-256 key. Two while a publisher changes keys: a
// package signed with either installs.
constexpr int kMaxPackageKeys = 2;
struct PackageKeys {
  const uint8_t* const* keys;  // `count` keys; null when there are none
  int count;                   // 0: this program installs packages unchecked
};

PackageKeys PackagePublicKeys();
