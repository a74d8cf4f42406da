// TUnzip: unpacks a zip archive (the base dependency archive) into a folder, over minizip.
#pragma once

#include <cstdint>

#include <minizip/unzip.h>

class OverwritePrompt;

// What the central directory says about the current entry.
struct ZipEntryInfo {
  char name[261];  // as stored, every "/" replaced by "\"
  char comment[256];
  uint32_t version_made_by;
  uint32_t version_needed;
  uint32_t flags;
  uint32_t method;    // 0 stored, 8 deflated
  uint32_t dos_time;  // MS-DOS date in the high 16 bits, time in the low 16 bits
  uint32_t crc32;
  uint32_t compressed_size;
  uint32_t uncompressed_size;
  uint32_t internal_attributes;
  uint32_t external_attributes;
  bool is_directory;  // the MS-DOS directory attribute (0x10), not a trailing "/"
};

class TUnzip {
 public:
  // Opens `archive_path` unless it is null. A file that cannot be written is put to `prompt`,
  // which must outlive the object; null puts it to the user (ShowSystemOverwritePrompt).
  explicit TUnzip(const char* archive_path = nullptr, OverwritePrompt* prompt = nullptr);
  virtual ~TUnzip();
  TUnzip(const TUnzip&) = delete;
  TUnzip& operator=(const TUnzip&) = delete;

  // Closes what was open, then opens the archive by its absolute path. True if open afterwards.
  bool OpenArchive(const char* archive_path);
  void CloseArchive();
  // Every entry in central-directory order below `destination`. Fails at the first entry that
  // fails; entries written before stay.
  bool ExtractAll(const char* destination);
  // The current entry below `destination`, or below the archive's own folder when null.
  bool ExtractEntry(const char* destination);
  bool ReadEntryInfo(ZipEntryInfo& info);
  // Creates every missing folder along `folder` (its first component, the drive, is taken for
  // granted).
  bool MakeDirectories(const char* folder);

  bool IsOpen() const { return archive_ != nullptr; }
  // Folder of the open archive, ending in a separator; empty while closed.
  const char* DefaultOutputFolder() const { return default_folder_; }

 private:
  bool WriteEntryFile(const ZipEntryInfo& info, const char* path);

  unzFile archive_ = nullptr;
  OverwritePrompt* prompt_;
  char default_folder_[261] = {};
};
