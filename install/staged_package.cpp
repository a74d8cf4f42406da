// What the download finished, kept for the install steps.
#include "install/staged_package.h"

#include <cstdio>
#include <utility>

#include "install/staged_hashes.h"
#include "install/system.h"
#include "install/unzip.h"

StagedPackage::StagedPackage(std::string staging_dir, std::string depend_dir,
                             StagedHashes* hashes, OverwritePrompt* prompt)
    : staging_dir_(std::move(staging_dir)), depend_dir_(std::move(depend_dir)), hashes_(hashes),
      prompt_(prompt) {}

bool StagedPackage::WantsBaseArchive() {
  // A program that checks packages puts the dependency folder on the Path only once the archive
  // has passed.
  return hashes_ != nullptr ? BaseZipWanted(depend_dir_) : BaseZipNeeded(depend_dir_);
}

void StagedPackage::FileStarted(const std::string& path) {
  if (hashes_ != nullptr) hashes_->Forget(path);
  std::lock_guard<std::mutex> guard(lock_);
  finished_sizes_.erase(path);
}

void StagedPackage::FileFinished(const std::string& path, uint64_t size) {
  if (hashes_ != nullptr) hashes_->Add(path);
  std::lock_guard<std::mutex> guard(lock_);
  finished_sizes_[path] = size;
}

void StagedPackage::BaseArchiveFinished(const std::string& path) {
  if (hashes_ == nullptr) {
    Unpack(path);
    return;
  }
  hashes_->Add(path);
  std::lock_guard<std::mutex> guard(lock_);
  kept_base_archive_ = path;
}

void StagedPackage::AddReused(const std::vector<ReusedFile>& files) {
  std::lock_guard<std::mutex> guard(lock_);
  for (const ReusedFile& file : files) {
    const std::string path = staging_dir_ + "\\" + file.path;
    // A linked file is the install's own: what the install's programs write reaches it. Unless a
    // hold keeps them out, the check at the end reads it again (a path seen without a hash).
    const bool trusted = !file.linked || file.held;
    if (hashes_ != nullptr && !trusted) hashes_->Forget(path);
    if (hashes_ != nullptr && trusted) hashes_->Put(path, file.size, file.sha256);
    finished_sizes_[path] = file.size;
  }
}

bool StagedPackage::FinishedFilesIntact(std::string* first_bad, std::string* reason) const {
  std::lock_guard<std::mutex> guard(lock_);
  const std::string prefix = staging_dir_ + "\\";
  for (const auto& [path, written] : finished_sizes_) {
    uint64_t size = 0;
    const bool present = RegularFileSize(path.c_str(), &size);
    if (present && size == written) continue;
    *first_bad = path.compare(0, prefix.size(), prefix) == 0 ? path.substr(prefix.size()) : path;
    // Formatted in place: the shipped program has no room for the number conversions of
    // std::string.
    char text[100] = "missing from the staging folder";
    if (present) {
      std::snprintf(text, sizeof text, "size %llu where %llu bytes were written",
                    static_cast<unsigned long long>(size), static_cast<unsigned long long>(written));
    }
    *reason = text;
    return false;
  }
  return true;
}

std::string StagedPackage::KeptBaseArchive() const {
  std::lock_guard<std::mutex> guard(lock_);
  return kept_base_archive_;
}

void StagedPackage::UnpackKeptBaseArchive() {
  std::string archive;
  {
    std::lock_guard<std::mutex> guard(lock_);
    archive.swap(kept_base_archive_);
  }
  if (archive.empty()) return;
  Unpack(archive);
  AddToUserPath(depend_dir_);
}

void StagedPackage::Unpack(const std::string& archive) const {
  {
    TUnzip unzip(nullptr, prompt_);
    // An archive that does not open is deleted all the same; the stage ends either way.
    if (unzip.OpenArchive(archive.c_str())) unzip.ExtractAll(depend_dir_.c_str());
  }
  DeletePath(archive.c_str());
}
