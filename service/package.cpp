// Reading and checking package.json and the files it names.
#include "service/package.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>

#include "base/coding.h"
#include "base/path_rules.h"

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

constexpr uint64_t kMaxFileSize = 0x7FFFFFFF;  // the chunk records count bytes in signed 32 bits

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

bool IsPrintableAscii(const std::string& text) {
  return std::all_of(text.begin(), text.end(), [](char c) { return c >= 0x20 && c < 0x7F; });
}

// One component of a Windows path as the installer joins it.
bool CheckComponent(const std::string& component, std::string* error) {
  // The same rule as the installer's manifest reader: a package it would refuse is never made.
  if (const char* problem = ComponentProblem(component)) {
    *error = "path component \"" + component + "\" " + problem;
    return false;
  }
  return true;
}

// Source paths are relative to the package folder and may not climb out of it by their text.
bool ResolveSource(const std::string& dir, const std::string& source, std::string* absolute,
                   uint64_t* size, FileIdentity* identity, std::string* error) {
  fs::path rel(source);
  if (source.empty() || rel.is_absolute()) {
    *error = "source \"" + source + "\" must be a path relative to the package folder";
    return false;
  }
  for (const fs::path& part : rel) {
    if (part == "..") {
      *error = "source \"" + source + "\" leaves the package folder";
      return false;
    }
  }
  fs::path full = fs::path(dir) / rel;
  std::error_code ec;
  if (!fs::is_regular_file(full, ec)) {
    *error = "source \"" + source + "\" is not a readable file";
    return false;
  }
  uint64_t bytes = fs::file_size(full, ec);
  if (ec || bytes > kMaxFileSize) {
    *error = "source \"" + source + "\" is too large (at most 2 GiB - 1)";
    return false;
  }
  std::ifstream probe(full, std::ios::binary);
  if (!probe) {
    *error = "source \"" + source + "\" cannot be opened";
    return false;
  }
  *absolute = full.string();
  *size = bytes;
  if (identity != nullptr && (!ReadFileIdentity(*absolute, identity) || identity->size != bytes)) {
    *error = "source \"" + source + "\" changed while it was read";
    return false;
  }
  return true;
}

bool GetText(const json& object, const char* key, bool required, std::string* out,
             std::string* error) {
  auto it = object.find(key);
  if (it == object.end()) {
    if (!required) return true;
    *error = std::string("\"") + key + "\" is missing";
    return false;
  }
  if (!it->is_string()) {
    *error = std::string("\"") + key + "\" must be a string";
    return false;
  }
  *out = it->get_ref<const std::string&>();
  if (out->find('\0') != std::string::npos) {
    *error = std::string("\"") + key + "\" holds a NUL character";
    return false;
  }
  return true;
}

bool GetInt32(const json& object, const char* key, bool required, int32_t* out,
              std::string* error) {
  auto it = object.find(key);
  if (it == object.end()) {
    if (!required) return true;
    *error = std::string("\"") + key + "\" is missing";
    return false;
  }
  if (!it->is_number_integer()) {
    *error = std::string("\"") + key + "\" must be an integer";
    return false;
  }
  int64_t value = it->is_number_unsigned() ? static_cast<int64_t>(std::min<uint64_t>(
                                                 it->get<uint64_t>(), UINT64_C(1) << 40))
                                           : it->get<int64_t>();
  if (value < INT32_MIN || value > INT32_MAX) {
    *error = std::string("\"") + key + "\" is out of the signed 32-bit range";
    return false;
  }
  *out = static_cast<int32_t>(value);
  return true;
}

bool CheckLength(const std::string& text, size_t max, const char* what, std::string* error) {
  if (text.size() > max) {
    *error = std::string(what) + " \"" + text + "\" is longer than " + std::to_string(max) +
             " bytes";
    return false;
  }
  return true;
}

bool IsZipStart(const std::string& path) {
  unsigned char magic[4] = {};
  std::ifstream in(path, std::ios::binary);
  in.read(reinterpret_cast<char*>(magic), 4);
  if (in.gcount() != 4 || magic[0] != 'P' || magic[1] != 'K') return false;
  return (magic[2] == 3 && magic[3] == 4) || (magic[2] == 5 && magic[3] == 6);
}

bool LoadModule(const json& entry, const std::string& dir, PackageModule* module,
                std::string* error) {
  if (!entry.is_object()) {
    *error = "a module must be an object";
    return false;
  }
  std::string kind = "F";
  if (!GetText(entry, "package_key", true, &module->package_key, error) ||
      !GetText(entry, "name", true, &module->name, error) ||
      !GetInt32(entry, "num1", false, &module->num1, error) ||
      !GetInt32(entry, "num2", false, &module->num2, error) ||
      !GetText(entry, "kind", false, &kind, error) ||
      !GetText(entry, "tail", false, &module->tail, error) ||
      !GetText(entry, "folder", false, &module->folder_part, error) ||
      !GetText(entry, "file", true, &module->file_part, error)) {
    return false;
  }
  std::string source = module->folder_part + module->file_part;
  std::replace(source.begin(), source.end(), '\\', '/');
  if (!GetText(entry, "source", false, &source, error)) return false;
  if (!CheckLength(module->package_key, kPackageKeyMax, "package key", error) ||
      !CheckLength(module->name, kModuleNameMax, "module name", error) ||
      !CheckLength(module->tail, kTailMax, "tail", error)) {
    return false;
  }
  if (module->name.empty()) {
    *error = "a module name is empty";
    return false;
  }
  if (kind.size() != 1) {
    *error = "kind of module \"" + module->name + "\" must be one character";
    return false;
  }
  module->kind = kind[0];
  std::string path_error;
  if (!CheckInstallPath(module->folder_part, module->file_part, &path_error)) {
    *error = "module \"" + module->name + "\": " + path_error;
    return false;
  }
  return ResolveSource(dir, source, &module->source_path, &module->size, &module->identity,
                       error);
}

// No two modules may install the same file, compared as Windows compares names, nor may a file
// stand where another module needs a folder.
bool CheckDistinct(const std::vector<PackageModule>& modules, std::string* error) {
  std::set<std::string> names;
  std::set<std::string> files;
  for (const PackageModule& m : modules) {
    if (!names.insert(m.name).second) {
      *error = "module name \"" + m.name + "\" occurs twice";
      return false;
    }
    if (!files.insert(Lower(m.folder_part + m.file_part)).second) {
      *error = "file \"" + m.folder_part + m.file_part + "\" is installed by two modules";
      return false;
    }
  }
  for (const PackageModule& m : modules) {
    std::string folder = Lower(m.folder_part);
    for (size_t pos = folder.find('\\'); pos != std::string::npos;
         pos = folder.find('\\', pos + 1)) {
      if (files.count(folder.substr(0, pos))) {
        *error = "file \"" + folder.substr(0, pos) + "\" stands where module \"" + m.name +
                 "\" needs a folder";
        return false;
      }
    }
  }
  return true;
}

}  // namespace

bool CheckDistinctPaths(const std::vector<PackageModule>& modules, std::string* error) {
  std::vector<std::pair<std::string, const PackageModule*>> folded;
  folded.reserve(modules.size());
  for (const PackageModule& m : modules) {
    folded.emplace_back(FoldedPath(m.folder_part + m.file_part), &m);
  }
  std::sort(folded.begin(), folded.end(),
            [](const auto& a, const auto& b) { return a.first < b.first; });
  for (size_t i = 1; i < folded.size(); ++i) {
    if (folded[i].first != folded[i - 1].first) continue;
    const PackageModule& a = *folded[i - 1].second;
    const PackageModule& b = *folded[i].second;
    *error = "paths \"" + a.folder_part + a.file_part + "\" and \"" + b.folder_part +
             b.file_part + "\" differ in letter case only: Windows takes them for one file";
    return false;
  }
  return true;
}

bool CheckInstallPath(const std::string& folder_part, const std::string& file_part,
                      std::string* error) {
  if (!CheckLength(folder_part, kFolderPartMax, "folder part", error) ||
      !CheckLength(file_part, kFileNamePartMax, "file name part", error)) {
    return false;
  }
  if (!IsPrintableAscii(folder_part) || !IsPrintableAscii(file_part)) {
    *error = "path \"" + folder_part + file_part + "\" must be printable ASCII";
    return false;
  }
  if (!folder_part.empty()) {
    if (folder_part.back() != '\\') {
      *error = "folder part \"" + folder_part + "\" must end in a backslash";
      return false;
    }
    std::string body = folder_part.substr(0, folder_part.size() - 1);
    size_t start = 0;
    while (true) {
      size_t end = body.find('\\', start);
      if (!CheckComponent(body.substr(start, end - start), error)) return false;
      if (end == std::string::npos) break;
      start = end + 1;
    }
  }
  if (file_part.find('\\') != std::string::npos) {
    *error = "file name part \"" + file_part + "\" holds a backslash";
    return false;
  }
  return CheckComponent(file_part, error);
}

void SetRecordNumbers(const Sha256Digest& content, PackageModule* module) {
  module->num1 = static_cast<int32_t>(DecodeFixed32(content.data()));
  module->num2 = static_cast<int32_t>(DecodeFixed32(content.data() + 4));
}

bool LoadPackage(const std::string& dir_text, Package* package, std::string* error) {
  std::error_code ec;
  fs::path dir = fs::absolute(dir_text, ec);
  std::ifstream in(dir / "package.json", std::ios::binary);
  if (ec || !in) {
    *error = "cannot read " + (fs::path(dir_text) / "package.json").string();
    return false;
  }
  std::stringstream text;
  text << in.rdbuf();
  json root = json::parse(text.str(), nullptr, /*allow_exceptions=*/false);
  if (root.is_discarded() || !root.is_object()) {
    *error = "package.json is not a JSON object";
    return false;
  }
  Package result;
  result.dir = dir.lexically_normal().string();
  std::string base;
  if (!GetText(root, "package_number", true, &result.number, error) ||
      !GetText(root, "product_name", true, &result.product_name, error) ||
      !GetInt32(root, "version_part3", true, &result.version_part3, error) ||
      !GetInt32(root, "version_part4", true, &result.version_part4, error) ||
      !GetText(root, "base_archive", false, &base, error)) {
    return false;
  }
  if (result.number.empty() || !IsPrintableAscii(result.number) ||
      !CheckLength(result.number, kPackageNumberMax, "package number", error)) {
    if (error->empty() || result.number.size() <= kPackageNumberMax) {
      *error = "package number must be 1 to 10 printable ASCII characters";
    }
    return false;
  }
  if (!CheckLength(result.product_name, kProductNameMax, "product name", error)) return false;
  if (!base.empty()) {
    if (!ResolveSource(result.dir, base, &result.base_archive_path, &result.base_archive_size,
                       nullptr,
                       error)) {
      return false;
    }
    if (!IsZipStart(result.base_archive_path)) {
      *error = "base archive \"" + base + "\" is not a zip archive";
      return false;
    }
  }
  auto modules = root.find("modules");
  if (modules == root.end() || !modules->is_array()) {
    *error = "\"modules\" must be an array";
    return false;
  }
  if (modules->size() > kMaxPackageModules) {
    *error = "the package has " + std::to_string(modules->size()) + " modules; at most " +
             std::to_string(kMaxPackageModules) + " are served";
    return false;
  }
  for (const json& entry : *modules) {
    PackageModule module;
    if (!LoadModule(entry, result.dir, &module, error)) return false;
    result.modules.push_back(std::move(module));
  }
  if (!CheckDistinct(result.modules, error)) return false;
  *package = std::move(result);
  return true;
}

std::string PackageJsonText(const Package& package) {
  nlohmann::ordered_json root = nlohmann::ordered_json::object();
  root["package_number"] = package.number;
  root["product_name"] = package.product_name;
  root["version_part3"] = package.version_part3;
  root["version_part4"] = package.version_part4;
  auto relative = [&](const std::string& path) {
    fs::path rel = fs::path(path).lexically_relative(package.dir);
    return rel.empty() ? path : rel.generic_string();
  };
  if (!package.base_archive_path.empty()) {
    root["base_archive"] = relative(package.base_archive_path);
  }
  nlohmann::ordered_json modules = nlohmann::ordered_json::array();
  for (const PackageModule& m : package.modules) {
    nlohmann::ordered_json entry = nlohmann::ordered_json::object();
    entry["package_key"] = m.package_key;
    entry["name"] = m.name;
    entry["num1"] = m.num1;
    entry["num2"] = m.num2;
    entry["kind"] = std::string(1, m.kind);
    entry["tail"] = m.tail;
    entry["folder"] = m.folder_part;
    entry["file"] = m.file_part;
    entry["source"] = relative(m.source_path);
    modules.push_back(std::move(entry));
  }
  root["modules"] = std::move(modules);
  return root.dump(2, ' ', false, nlohmann::ordered_json::error_handler_t::replace) + "\n";
}
