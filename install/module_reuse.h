// What of an earlier install an update can take as it is. The signed manifest lists each file of
// the new version with its module, size and SHA-256: a module all of whose files are in the
// install with exactly those bytes need not be downloaded. Its files are put into staging as
// second names of the installed ones (hard links) where the volume allows it, else copied and
// hashed as they are written. A linked file shares its bytes with the install, which a program
// may still write: it is held open so that nobody can (HeldFile) until the package check, which
// then trusts the hash taken here; where the system cannot keep writers out, or a link cannot be
// held, the check reads it again.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "base/held_file.h"
#include "base/package_manifest.h"
#include "base/sha256.h"

struct ReusedFile {
  std::string path;  // below the install root, as the manifest lists it
  uint64_t size = 0;
  Sha256Digest sha256 = {};
  // A second name of the installed file, not a copy.
  bool linked = false;
  // Linked and held open (ReuseResult::held) so that nobody can have written it since it was
  // hashed: its hash holds while the hold lasts.
  bool held = false;
};

struct ReuseResult {
  std::vector<std::string> modules;  // reused, in the manifest's order
  std::vector<ReusedFile> files;     // put into staging, with the hash of the bytes seen
  uint64_t bytes = 0;
  size_t modules_listed = 0;  // modules the manifest names (`skip` left out)
  // The linked files kept from being written; released (cleared) once the package is checked,
  // before staging moves.
  std::vector<HeldFile> held;
};

// For every module the manifest (format 2) names, other than `skip`: when each file it lists for
// that module is in `install_dir` with the listed size and SHA-256, the files are put into
// `staging_dir` (linked when `links` and the volume allow, else copied) and the module is reused.
// A file already in staging under that name is deleted first, never written through: it may be a
// link of an earlier attempt. Only files whose size matches are read. A module with a file
// missing, of another size or of other bytes, or whose copy fails, is left to download, with
// nothing of it left in staging. On two threads. A format 1 manifest names no modules: nothing is
// reused. Once `*cancel` is set (from another thread) no further module is begun.
ReuseResult ReuseInstalledModules(const PackageManifest& manifest, const std::string& install_dir,
                                  const std::string& staging_dir, const std::string& skip,
                                  const std::atomic<bool>* cancel = nullptr, bool links = true);
