// Packing a directory tree: module names, install paths and copies of the files.
#include "service/pack.h"

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <vector>

#include "service/package.h"
#include "service/package_signing.h"
#include "service/signing_key.h"

namespace fs = std::filesystem;

namespace {

bool IsValidUtf8(const std::string& text) {
  size_t i = 0;
  while (i < text.size()) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    size_t extra = c < 0x80 ? 0 : (c >> 5) == 0x6 ? 1 : (c >> 4) == 0xE ? 2 : (c >> 3) == 0x1E ? 3 : 4;
    if (extra == 4 || text.size() - i <= extra) return false;
    for (size_t k = 1; k <= extra; ++k) {
      if ((static_cast<unsigned char>(text[i + k]) >> 6) != 0x2) return false;
    }
    i += extra + 1;
  }
  return true;
}

bool IsInside(const fs::path& inner, const fs::path& outer) {
  auto rel = inner.lexically_relative(outer);
  return !rel.empty() && *rel.begin() != "..";
}

// Module name: the install path itself when it fits the name field, else a numbered name.
std::string ModuleName(const std::string& install_path, size_t index) {
  if (install_path.size() <= kModuleNameMax) return install_path;
  return "module-" + std::to_string(index + 1);
}

// True when the tree holds a top-level file that would take the manifest's install path
// (install paths are compared without regard to case).
bool HoldsManifestPath(const std::vector<fs::path>& files) {
  for (const fs::path& rel : files) {
    std::string text = rel.string();
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    if (text == kManifestFileName) return true;
  }
  return false;
}

bool PackFiles(const fs::path& tree, const fs::path& out, const PackOptions& options,
               Package* package, std::string* error) {
  std::vector<fs::path> files;
  std::error_code ec;
  for (fs::recursive_directory_iterator it(tree, ec), end; !ec && it != end; it.increment(ec)) {
    if (it->is_regular_file(ec)) files.push_back(it->path().lexically_relative(tree));
  }
  if (ec) {
    *error = "cannot walk " + tree.string() + ": " + ec.message();
    return false;
  }
  if (!options.signing_key_file.empty() && HoldsManifestPath(files)) {
    *error = std::string("the tree already holds a file named ") + kManifestFileName +
             " at its top, the install path of the signed manifest";
    return false;
  }
  std::sort(files.begin(), files.end());
  std::string key = options.package_key.empty() ? options.number : options.package_key;
  std::vector<std::string> names;
  for (size_t i = 0; i < files.size(); ++i) {
    const fs::path& rel = files[i];
    PackageModule m;
    m.package_key = key;
    for (auto part = rel.begin(); part != rel.end(); ++part) {
      if (std::next(part) == rel.end()) {
        m.file_part = part->string();
      } else {
        m.folder_part += part->string() + "\\";
      }
    }
    std::string path_error;
    if (!CheckInstallPath(m.folder_part, m.file_part, &path_error)) {
      *error = rel.string() + ": " + path_error;
      return false;
    }
    m.name = ModuleName(m.folder_part + m.file_part, i);
    m.kind = 'F';
    fs::path target = out / rel;
    fs::create_directories(target.parent_path(), ec);
    if (ec || !fs::copy_file(tree / rel, target, fs::copy_options::overwrite_existing, ec)) {
      *error = "cannot copy " + rel.string() + " into " + out.string();
      return false;
    }
    // Numbered by the bytes copied: the record names this content in every version.
    Sha256Digest content;
    uint64_t size = 0;
    if (!Sha256OfFile(target.string().c_str(), &content, &size)) {
      *error = "cannot read back " + target.string();
      return false;
    }
    SetRecordNumbers(content, &m);
    m.source_path = target.string();
    package->modules.push_back(std::move(m));
  }
  if (package->modules.empty()) {
    *error = tree.string() + " holds no files";
    return false;
  }
  return CheckDistinctPaths(package->modules, error);
}

}  // namespace

bool PackTree(const std::string& tree_text, const std::string& out_text,
              const PackOptions& options, std::string* error, size_t* module_count) {
  std::error_code ec;
  fs::path tree = fs::absolute(tree_text, ec).lexically_normal();
  fs::path out = fs::absolute(out_text, ec).lexically_normal();
  if (!fs::is_directory(tree, ec)) {
    *error = tree_text + " is not a folder";
    return false;
  }
  if (IsInside(out, tree) || out == tree) {
    *error = "the output folder must not lie inside the packed tree";
    return false;
  }
  if (options.number.empty() || options.number.size() > kPackageNumberMax) {
    *error = "package number must be 1 to 10 characters";
    return false;
  }
  if (options.product_name.size() > kProductNameMax || !IsValidUtf8(options.product_name)) {
    *error = "product name must be UTF-8 text of at most 50 bytes";
    return false;
  }
  // The key is read before anything is written, so a bad key file leaves nothing behind.
  SigningKey key;
  const bool signing = !options.signing_key_file.empty();
  if (signing && !SigningKey::ReadFile(options.signing_key_file, &key, error)) return false;
  bool created = !fs::exists(out, ec);
  if (!created && (!fs::is_directory(out, ec) || !fs::is_empty(out, ec))) {
    *error = out_text + " exists and is not an empty folder";
    return false;
  }
  fs::create_directories(out, ec);
  if (ec) {
    *error = "cannot create " + out_text;
    return false;
  }
  Package package;
  package.dir = out.string();
  package.number = options.number;
  package.product_name = options.product_name;
  package.version_part3 = options.version_part3;
  package.version_part4 = options.version_part4;
  bool ok = PackFiles(tree, out, options, &package, error);
  if (ok && !options.base_archive.empty()) {
    fs::path base = out / "SystemDepend.zip";
    if (fs::exists(base, ec)) {
      *error = "the tree already holds a file named SystemDepend.zip at its top";
      ok = false;
    } else if (!fs::copy_file(options.base_archive, base, ec)) {
      *error = "cannot copy the base archive " + options.base_archive;
      ok = false;
    }
    package.base_archive_path = base.string();
  }
  if (ok && signing) {
    PackageModule manifest;
    ManifestOptions written = options.manifest;
    written.expires = ManifestExpiry(options.expires_days, options.expires_at);
    ok = WriteSignedManifest(package, key, written, &manifest, error);
    if (ok) package.modules.push_back(std::move(manifest));
  }
  if (ok) {
    std::ofstream json(out / "package.json", std::ios::binary | std::ios::trunc);
    json << PackageJsonText(package);
    json.close();
    ok = static_cast<bool>(json);
    if (!ok) *error = "cannot write package.json";
  }
  // Read back through the loader so that what pack writes is exactly what serve accepts.
  Package check;
  if (ok && !LoadPackage(out.string(), &check, error)) ok = false;
  // And the manifest as an installer will check it: it must decode and verify.
  if (ok && signing) {
    ok = CheckManifestFile((out / kManifestFileName).string(), key.public_key(), error);
  }
  if (!ok) {
    if (created) {
      fs::remove_all(out, ec);
    } else {
      for (const auto& entry : fs::directory_iterator(out, ec)) fs::remove_all(entry.path(), ec);
    }
    return false;
  }
  if (module_count) *module_count = check.modules.size();
  return true;
}
