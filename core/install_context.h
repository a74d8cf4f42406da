// Process-wide records of one installation: the install context, the module list, the main
// window handle, and the derivation of the working folders.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

// Third and fourth components of the version text "9.3.%d.%d".
struct VersionPair {
  int32_t Part3 = 0;
  int32_t Part4 = 0;
};
static_assert(sizeof(VersionPair) == 8, "VersionPair is stored as 8 bytes");

// One module of the package, exactly as the module-check reply carries it and module.info stores
// it. Bytes move in and out through EncodeModuleRecord/DecodeModuleRecord, never by casting.
#pragma pack(push, 1)
struct ModuleRecord {
  char PackageKey[11];
  char Name[51];
  int32_t Num1;
  int32_t Num2;
  char Kind;
  char Tail[8];
};
#pragma pack(pop)
static_assert(sizeof(ModuleRecord) == 79, "ModuleRecord is 79 packed bytes");

constexpr size_t kModuleRecordSize = 79;
constexpr size_t kModuleRecordNum1Offset = 62;
constexpr size_t kModuleRecordNum2Offset = 66;
constexpr size_t kModuleRecordKindOffset = 70;
constexpr size_t kModuleRecordTailOffset = 71;

// Reads 79 bytes (the caller has checked that they exist).
ModuleRecord DecodeModuleRecord(const uint8_t* src);
// Writes exactly 79 bytes.
void EncodeModuleRecord(const ModuleRecord& record, uint8_t* dst);

class InstallContext {
 public:
  // The one context of the process, built on first use (also under concurrent first calls).
  static InstallContext& Get();

  std::string PackageNumber;
  std::string ProductName;  // GBK, at most 50 bytes
  std::string InstallDir;
  std::string StagingDir;
  VersionPair InstalledVersion;
  std::string DependDir;
  int32_t LanguageId = 0;
  VersionPair LatestVersion;
  char DownloadHost[51] = {};
  int32_t DownloadPort = 0;

 private:
  InstallContext() = default;
};

// The modules the update service named for this package, in the order it sent them.
class ModuleList {
 public:
  static ModuleList& Get();

  void Append(const ModuleRecord& record);
  size_t Count() const { return records_.size(); }
  // Throws std::out_of_range("invalid vector<T> subscript") for an index at or past the end.
  const ModuleRecord& At(size_t index) const;
  std::vector<ModuleRecord>::const_iterator begin() const { return records_.begin(); }
  std::vector<ModuleRecord>::const_iterator end() const { return records_.end(); }

  // The installer never clears the list; tests that run several exchanges in one process do.
  void ClearForTest() { records_.clear(); }

 private:
  ModuleList() = default;
  std::vector<ModuleRecord> records_;
};

// Handle of the installer window (an HWND on Windows); null until the window is created.
extern void* MainWindowHandle;

// Fills InstallDir, StagingDir and DependDir from the application-data folder and string 102.
void SetUpPaths();

// Creates every missing folder along a file path up to its last backslash. False when creating a
// folder fails or the path is longer than 259 characters.
bool MakePathDirs(const char* path);
