// Signed manifests for tests: two fixed key pairs, signing with their private halves through the
// platform's provider, and the manifest of a folder's files.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "base/package_manifest.h"
#include "base/sha256.h"

struct TestSigningKey {
  uint8_t private_scalar[32];
  uint8_t public_key[64];  // X || Y
};

// The key of RFC 6979's P-256 examples, and another one.
const TestSigningKey& TestKeyA();
const TestSigningKey& TestKeyB();

// An ECDSA P-256 signature r || s of `digest`; false when the provider refuses.
bool SignDigest(const TestSigningKey& key, const Sha256Digest& digest, uint8_t* signature);

// The manifest's bytes, signed with `key` (empty when it cannot be encoded or signed).
std::vector<uint8_t> SignedManifest(const PackageManifest& manifest, const TestSigningKey& key);

// A manifest of every file below `folder` but those in `skip` (relative paths), with their sizes
// and hashes, in sorted order.
PackageManifest ManifestOfFolder(const std::string& folder, const std::string& number,
                                 VersionPair version, const std::vector<std::string>& skip);
