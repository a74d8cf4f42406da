// The check a signed package must pass before anything of it is put in place: its manifest is
// signed by a key this program carries, belongs to the version the update service announced, has
// not expired, is not older than what is installed or was installed before, and lists exactly
// the staged files, byte for byte.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "base/module_record.h"
#include "base/package_manifest.h"

class StagedHashes;

struct PackageCheckInput {
  std::string staging_dir;
  // 64 bytes X || Y each; the manifest must verify under one of them (two while a publisher
  // changes keys).
  std::vector<const uint8_t*> public_keys;
  // UTC seconds now: a manifest whose expiry is not later is refused.
  uint64_t now = 0;
  std::string package_number;
  VersionPair version;  // announced by the update check
  bool has_installed = false;
  VersionPair installed;  // of the install this one replaces, when has_installed
  // The highest version installed before (kept outside the install, so that deleting the install
  // folder does not open the way back to an older version), when has_floor.
  bool has_floor = false;
  VersionPair floor;
  // The base archive's name when one was downloaded into the staging folder (kept there, still
  // packed); empty when none was.
  std::string base_archive;
  // Files of the staging folder that are the installer's own, not the package's (its log), as
  // relative paths.
  std::vector<std::string> own_files;
  // Hashes made during the download; a staged file without one is hashed here, and so is every
  // file when the download wrote more paths than there are files.
  StagedHashes* hashes = nullptr;
};

struct PackageCheckFailure {
  std::string file;    // relative to the staging folder; "package.manifest" for the manifest
  std::string reason;  // a few words for the log
  // The package is older than the installed version or one installed before.
  bool downgrade = false;
};

// The manifest alone, as soon as it is in (before the module files are asked for): it verifies,
// is of the current format (the first had no expiry), is of this package and version, has not
// expired and is no rollback. On success `*manifest`
// holds it; otherwise `*failure` names "package.manifest" and why. `input.staging_dir` is not used.
bool CheckPackageManifest(const std::string& path, const PackageCheckInput& input,
                          PackageManifest* manifest, PackageCheckFailure* failure);

// True when the staged package passes; otherwise `*failure` names the first file that failed.
bool CheckStagedPackage(const PackageCheckInput& input, PackageCheckFailure* failure);
