// What of an earlier install an update can take as it is. The signed manifest lists each file of
// the new version with its module, size and SHA-256: a module all of whose files are in the
// install with exactly those bytes need not be downloaded. Its files are copied into staging, and
// hashed as they are written, so that the check at the end trusts nothing it did not see.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "base/package_manifest.h"
#include "base/sha256.h"

struct ReusedFile {
  std::string path;  // below the install root, as the manifest lists it
  uint64_t size = 0;
  Sha256Digest sha256 = {};
};

struct ReuseResult {
  std::vector<std::string> modules;  // reused, in the manifest's order
  std::vector<ReusedFile> files;     // copied into staging, with the hash of the bytes written
  uint64_t bytes = 0;
  size_t modules_listed = 0;  // modules the manifest names (`skip` left out)
};

// For every module the manifest (format 2) names, other than `skip`: when each file it lists for
// that module is in `install_dir` with the listed size and SHA-256, the files are copied into
// `staging_dir` and the module is reused. Only files whose size matches are read. A module with a
// file missing, of another size or of other bytes, or whose copy fails, is left to download, with
// nothing of it left in staging. A format 1 manifest names no modules: nothing is reused. Once
// `*cancel` is set (from another thread) no further module is begun.
ReuseResult ReuseInstalledModules(const PackageManifest& manifest, const std::string& install_dir,
                                  const std::string& staging_dir, const std::string& skip,
                                  const std::atomic<bool>* cancel = nullptr);
