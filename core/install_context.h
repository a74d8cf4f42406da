// Process-wide records of one installation: the install context, the module list, the main
// window handle, and the derivation of the working folders.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "base/module_record.h"

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

// The folders beside InstallDir that hold a whole install: StagingDir while it is downloaded, the
// old install while the new one takes its place.
constexpr char kStagingSuffix[] = "temp";
constexpr char kPreviousSuffix[] = ".previous";

// Fills InstallDir, StagingDir and DependDir from the application-data folder and string 102.
void SetUpPaths();
