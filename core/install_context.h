// What one run of the installer works with: the install context (which package, in which
// language, in which folders), the module list and the offer the update check ends with. WinMain
// builds the context once and hands it on; nothing changes it afterwards.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "base/module_record.h"

struct InstallContext {
  std::string PackageNumber;  // string 102 of the program's resources
  int32_t LanguageId = 0;     // the user's UI language, as NormalizeLanguageId gives it
  std::string ProductName;    // GBK, at most 50 bytes; empty when the package query failed
  std::string InstallDir;
  std::string StagingDir;
  std::string DependDir;
  // What the update check reports as installed: nothing (zero), so that the service always
  // offers its current version.
  VersionPair InstalledVersion;
};

// The modules the update service named for this package, in the order it sent them.
class ModuleList {
 public:
  void Append(const ModuleRecord& record) { records_.push_back(record); }
  size_t Count() const { return records_.size(); }
  // Throws std::out_of_range("invalid vector<T> subscript") for an index at or past the end.
  const ModuleRecord& At(size_t index) const;
  std::vector<ModuleRecord>::const_iterator begin() const { return records_.begin(); }
  std::vector<ModuleRecord>::const_iterator end() const { return records_.end(); }

 private:
  std::vector<ModuleRecord> records_;
};

// What the update check learned: where the package is downloaded from, which version it is, and
// its modules. The check client builds it; once its list is complete the controller owns it.
struct UpdateOffer {
  std::string DownloadHost;  // at most 50 characters
  int32_t DownloadPort = 0;
  VersionPair LatestVersion;
  ModuleList Modules;
};

// The folders beside InstallDir that hold a whole install: StagingDir while it is downloaded, the
// old install while the new one takes its place.
constexpr char kStagingSuffix[] = "temp";
constexpr char kPreviousSuffix[] = ".previous";

// Fills InstallDir, StagingDir and DependDir of `ctx` for its package number below the
// application-data folder `app_data`.
void SetUpPathsBelow(const std::string& app_data, InstallContext* ctx);
// The same below the current user's application-data folder.
void SetUpPaths(InstallContext* ctx);
