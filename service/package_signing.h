// The signed manifest of a packed package: the module file "package.manifest" at the top of the
// install root, listing every other module file (kinds other than "D") and the base archive
// with their sizes and SHA-256, signed with the packer's key. An installer built with the
// public key refuses staged files that do not match it.
#pragma once

#include <cstdint>
#include <string>

#include "base/package_manifest.h"
#include "service/package.h"
#include "service/signing_key.h"

// How a manifest is written: its expiry (UTC seconds, 0: never), its format, and in format 3
// whether it tells installers that the download server answers range requests and the chunk
// sizes its files are cut with. An expiry alone gives the defaults for the rest.
struct ManifestOptions {
  ManifestOptions(uint64_t expires_at = 0) : expires(expires_at) {}  // NOLINT: an expiry alone
  uint64_t expires = 0;
  uint16_t format = kManifestFormat;
  bool offers_ranges = true;
  ChunkSizes chunk_sizes = kDefaultChunkSizes;
};

// The manifest of `package` as its files are now (hashed from their sources, and in format 3
// cut into chunks), unsigned: each file with its module's name.
bool BuildManifest(const Package& package, const ManifestOptions& options,
                   PackageManifest* manifest, std::string* error);

// Writes the signed manifest of `package` into its folder and fills `module` with the module
// that carries it (the next Num1, the package's version part 4). False with a reason.
bool WriteSignedManifest(const Package& package, const SigningKey& key,
                         const ManifestOptions& options, PackageModule* module,
                         std::string* error);

// The expiry of a manifest signed now: `at` (UTC seconds) when not 0, else `days` days from now
// (0: it never expires).
uint64_t ManifestExpiry(int days, uint64_t at);

// Reads a manifest file back and checks that it decodes and its signature verifies under
// `public_key`. False with a reason.
bool CheckManifestFile(const std::string& path, const uint8_t* public_key, std::string* error);

// Signs the package folder `dir` in place: a manifest of its files as they are now, added to
// its package.json as the last module (replacing a manifest module signed before). package.json
// is replaced (by rename) only once the new manifest verifies; until then a manifest signed
// before stays in place, and a failure leaves the folder as it was. The folder is loaded again
// at the end as a check.
bool SignPackageFolder(const std::string& dir, const std::string& key_file,
                       const ManifestOptions& options, std::string* error);
