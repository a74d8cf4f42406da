// Turning a directory tree into a package folder: every regular file becomes one module, copied
// into the output folder beside a package.json that names it.
#pragma once

#include <cstdint>
#include <string>

struct PackOptions {
  std::string number = "100201";
  std::string product_name = "quillbank ix";
  int32_t version_part3 = 1;
  int32_t version_part4 = 0;
  std::string package_key;   // empty: the package number
  std::string base_archive;  // a zip file to publish as the base dependency archive, or empty
};

// Packs `tree` into `out` (which must be missing or empty and must not lie inside `tree`).
// Modules follow the tree's sorted path order. False with a reason in `error`; on failure the
// output folder is removed again when this call created it.
bool PackTree(const std::string& tree, const std::string& out, const PackOptions& options,
              std::string* error, size_t* module_count);
