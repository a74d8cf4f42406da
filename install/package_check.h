// The check a signed package must pass before anything of it is put in place: its manifest is
// signed by the key this program carries, belongs to the version the update service announced,
// is not older than what is installed, and lists exactly the staged files, byte for byte.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "base/module_record.h"

class StagedHashes;

struct PackageCheckInput {
  std::string staging_dir;
  const uint8_t* public_key = nullptr;  // 64 bytes X || Y
  std::string package_number;
  VersionPair version;  // announced by the update check
  bool has_installed = false;
  VersionPair installed;  // of the install this one replaces, when has_installed
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
};

// True when the staged package passes; otherwise `*failure` names the first file that failed.
bool CheckStagedPackage(const PackageCheckInput& input, PackageCheckFailure* failure);
