// The package as it is staged, for the install steps: what the download client finished. Each
// finished file's size (to see at the end whether something removed or cut it since), its hash
// when packages are checked, and the base archive: unpacked into the dependency folder at once,
// or, when packages are checked, kept packed in the staging folder until the package passed.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "core/download_consumer.h"
#include "install/module_reuse.h"

class StagedHashes;
class OverwritePrompt;

class StagedPackage : public DownloadConsumer {
 public:
  // `hashes` (which outlives this) is null when packages are installed unchecked. `prompt` (which
  // outlives this) answers when an extracted file cannot be written; null asks the user.
  StagedPackage(std::string staging_dir, std::string depend_dir, StagedHashes* hashes,
                OverwritePrompt* prompt = nullptr);

  // Windows before 10 without the dependency folder on the Path. Unchecked, the folder is then
  // put on the user's stored Path at once; checked, only by UnpackKeptBaseArchive.
  bool WantsBaseArchive() override;
  void FileStarted(const std::string& path) override;
  void FileFinished(const std::string& path, uint64_t size) override;
  // Unchecked: extracted below the dependency folder (when it opens as an archive) and deleted.
  // Checked: kept as it is.
  void BaseArchiveFinished(const std::string& path) override;

  // Files an update took from the earlier install (below the staging folder, with the hash of
  // the bytes seen): finished as if downloaded. A copy's hash counts at the check, and a held
  // link's (while its hold lasts); a link not held is read again there.
  void AddReused(const std::vector<ReusedFile>& files);
  // Every finished file is still in the staging folder with the size it was finished with.
  // Otherwise `*first_bad` names the first that is not (relative to the staging folder) and
  // `*reason` says how. Something else (an antivirus program, another process) may have removed
  // or cut a file since.
  bool FinishedFilesIntact(std::string* first_bad, std::string* reason) const;
  // The base archive kept in the staging folder, or empty when none was kept.
  std::string KeptBaseArchive() const;
  // Unpacks the kept base archive into the dependency folder, deletes it and adds the folder to
  // the user's Path. Nothing when no archive was kept.
  void UnpackKeptBaseArchive();

 private:
  void Unpack(const std::string& archive) const;

  const std::string staging_dir_;
  const std::string depend_dir_;
  StagedHashes* const hashes_;
  OverwritePrompt* const prompt_;
  // The receive thread finishes files while the controller's thread reads them.
  mutable std::mutex lock_;
  std::map<std::string, uint64_t> finished_sizes_;  // by full staging path
  std::string kept_base_archive_;
};
