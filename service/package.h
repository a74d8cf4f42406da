// A package the service publishes: its number, product name, latest version, module list and the
// files behind each module, read from a folder holding a package.json beside those files.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "base/sha256.h"
#include "service/file_identity.h"

// Field widths of the wire records a package's texts travel in (each text plus its NUL).
constexpr size_t kPackageNumberMax = 10;
constexpr size_t kProductNameMax = 50;   // UTF-8 bytes
constexpr size_t kPackageKeyMax = 10;
constexpr size_t kModuleNameMax = 50;
constexpr size_t kFolderPartMax = 100;
constexpr size_t kFileNamePartMax = 58;
constexpr size_t kTailMax = 8;
// Modules of one package (the module list is sent in several messages when it is long).
constexpr size_t kMaxPackageModules = 65535;

struct PackageModule {
  std::string package_key;
  std::string name;
  int32_t num1 = 0;
  int32_t num2 = 0;
  char kind = 'F';
  std::string tail;         // up to 8 bytes, NUL-padded on the wire
  std::string folder_part;  // "Data\Quotes\" or empty; always ends in "\" when not empty
  std::string file_part;    // "ticks.dat"
  std::string source_path;  // absolute path of the file on this machine
  uint64_t size = 0;        // bytes, read when the package is loaded
  FileIdentity identity;    // the file loaded: a file changed since is not served
};

struct Package {
  std::string dir;  // the package folder, absolute
  std::string number;
  std::string product_name;  // UTF-8
  int32_t version_part3 = 0;
  int32_t version_part4 = 0;
  std::vector<PackageModule> modules;
  std::string base_archive_path;  // absolute, empty when the package has none
  uint64_t base_archive_size = 0;
};

// The two numbers of a module's record from the SHA-256 of its bytes (its first eight, as two
// little-endian numbers): a record then names one content, so that a request for a record can
// never be answered with other bytes, whichever version (or instance) it reaches.
void SetRecordNumbers(const Sha256Digest& content, PackageModule* module);

// Reads DIR/package.json and checks every field and every file it names. False with a reason in
// `error` when anything is missing, too long, out of its folder or duplicated.
bool LoadPackage(const std::string& dir, Package* package, std::string* error);

// Checks one folder part / file name part pair as the installer will join them below its staging
// folder: relative, no "..", no drive, "\" separators, within the field widths. False with a
// reason in `error`.
// False with a message naming both when two modules' install paths differ in letter case at
// most: Windows takes them for one file.
bool CheckDistinctPaths(const std::vector<PackageModule>& modules, std::string* error);
bool CheckInstallPath(const std::string& folder_part, const std::string& file_part,
                      std::string* error);

// Writes a package.json for `package` (sources written relative to its folder when inside it).
std::string PackageJsonText(const Package& package);
