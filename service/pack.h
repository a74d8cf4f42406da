// Turning a directory tree into a package folder: every regular file becomes one module, copied
// into the output folder beside a package.json that names it.
#pragma once

#include <cstdint>
#include <string>

#include "service/package_signing.h"

struct PackOptions {
  std::string number = "100201";
  std::string product_name = "quillbank ix";
  int32_t version_part3 = 1;
  int32_t version_part4 = 0;
  std::string package_key;   // empty: the package number
  std::string base_archive;  // a zip file to publish as the base dependency archive, or empty
  // A key file (see signing_key.h): the package then carries a signed manifest of its files as
  // one more module, "package.manifest" at the top. Empty: no manifest.
  std::string signing_key_file;
  int expires_days = 0;  // a signed manifest expires this many days after packing; 0: never
  uint64_t expires_at = 0;  // or at this time (UTC seconds), when not 0
  ManifestOptions manifest;  // format, range offer and chunk sizes (its expiry from the two above)
};

// Packs `tree` into `out` (which must be missing or empty and must not lie inside `tree`).
// Modules follow the tree's sorted path order, the manifest last when signing. False with a
// reason in `error`; on failure the output folder is removed again when this call created it
// (and emptied again when it existed).
bool PackTree(const std::string& tree, const std::string& out, const PackOptions& options,
              std::string* error, size_t* module_count);
