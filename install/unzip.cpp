// TUnzip over minizip: entry names become paths below the destination, folders are made on the
// way, a file that cannot be written is put to the user, and each entry's time is restored.
#include "install/unzip.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "base/file_system.h"
#include "install/entry_name.h"
#include "install/extract_files.h"
#include "install/overwrite_prompt.h"

namespace {

constexpr size_t kCopyChunk = 2048;
constexpr uLong kNameBufferSize = 260;
constexpr uLong kCommentBufferSize = 255;

// The overwrite question and its caption, in GBK: "cannot overwrite file "<name>", it may be in
// use! / Abort the upgrade?", caption "Warning".
constexpr char kPromptHead[] = "\xCE\xDE\xB7\xA8\xB8\xB2\xB8\xC7\xCE\xC4\xBC\xFE";
constexpr char kPromptInUse[] =
    ",\xB8\xC3\xCE\xC4\xBC\xFE\xBF\xC9\xC4\xDC\xD5\xFD\xB1\xBB\xCA\xB9\xD3\xC3!";
constexpr char kPromptQuestion[] = "\xCA\xC7\xB7\xF1\xD6\xD5\xD6\xB9\xC9\xFD\xBC\xB6?";
constexpr char kPromptCaption[] = "\xBE\xAF\xB8\xE6";

bool IsSeparator(char c) { return c == '\\' || c == '/'; }

}  // namespace

TUnzip::TUnzip(const char* archive_path, OverwritePrompt* prompt) : prompt_(prompt) {
  OpenArchive(archive_path);
}

TUnzip::~TUnzip() { CloseArchive(); }

bool TUnzip::OpenArchive(const char* archive_path) {
  CloseArchive();
  if (archive_path == nullptr || archive_path[0] == '\0') return false;
  std::string full;
  if (!GetFullPath(archive_path, &full)) return false;
  archive_ = unzOpen(NativePath(full).c_str());
  if (archive_ == nullptr) return false;
  // Drive and directory of the absolute path: everything up to its last separator.
  size_t folder_length = 0;
  for (size_t i = 0; i < full.size(); ++i) {
    if (IsSeparator(full[i])) folder_length = i + 1;
  }
  std::memcpy(default_folder_, full.data(), folder_length);
  default_folder_[folder_length] = '\0';
  return true;
}

void TUnzip::CloseArchive() {
  if (archive_ != nullptr) {
    unzCloseCurrentFile(archive_);
    unzClose(archive_);
  }
  archive_ = nullptr;
  default_folder_[0] = '\0';
}

bool TUnzip::ExtractAll(const char* destination) {
  if (archive_ == nullptr || destination == nullptr) return false;
  if (!MakeDirectories(destination)) return false;
  unz_global_info global{};
  if (unzGetGlobalInfo(archive_, &global) != UNZ_OK || global.number_entry == 0) return false;
  if (unzGoToFirstFile(archive_) != UNZ_OK) return false;
  for (;;) {
    if (!ExtractEntry(destination)) return false;
    if (unzGoToNextFile(archive_) != UNZ_OK) return true;
  }
}

bool TUnzip::ExtractEntry(const char* destination) {
  if (archive_ == nullptr) return false;
  const char* folder = destination != nullptr ? destination : default_folder_;
  if (!MakeDirectories(folder)) return false;
  ZipEntryInfo info;
  if (!ReadEntryInfo(info)) return false;
  // Names from the archive are untrusted: nothing is created for one that would leave `folder`.
  if (!IsSafeEntryName(info.name)) return false;
  // Only stored and deflated data, unencrypted: minizip would copy anything else out raw.
  if (!info.is_directory && ((info.method != 0 && info.method != Z_DEFLATED) || (info.flags & 1))) {
    return false;
  }
  std::string path;
  if (!JoinEntryPath(folder, info.name, &path)) return false;
  if (info.is_directory) return MakeDirectories(path.c_str());

  size_t cut = std::string::npos;
  for (size_t i = 0; i < path.size(); ++i) {
    if (IsSeparator(path[i])) cut = i;
  }
  if (cut == std::string::npos || !MakeDirectories(path.substr(0, cut).c_str())) return false;
  return WriteEntryFile(info, path.c_str());
}

bool TUnzip::WriteEntryFile(const ZipEntryInfo& info, const char* path) {
  OutputFile out;
  while (!out.Create(path)) {
    char text[1024];
    std::snprintf(text, sizeof text, "%s\"%s\"%s\n%s", kPromptHead, info.name, kPromptInUse,
                  kPromptQuestion);
    const int answer = prompt_ != nullptr ? prompt_->Ask(text, kPromptCaption)
                                          : ShowSystemOverwritePrompt(text, kPromptCaption);
    // No answer at all would otherwise retry for ever.
    if (answer == kPromptAbort || answer <= kPromptNoAnswer) return false;
    if (answer == kPromptIgnore) return true;
  }
  if (unzOpenCurrentFile(archive_) != UNZ_OK) return false;

  std::vector<char> chunk(kCopyChunk);
  int last;
  for (;;) {
    last = unzReadCurrentFile(archive_, chunk.data(), static_cast<unsigned>(chunk.size()));
    if (last <= 0) break;
    if (!out.Write(chunk.data(), static_cast<size_t>(last))) {
      last = -1;
      break;
    }
  }
  out.Close();
  // Data that does not match its CRC is damaged: the entry fails, like any other read error.
  const int closed = unzCloseCurrentFile(archive_);
  if (last != 0 || closed == UNZ_CRCERROR) return false;
  RestoreDosTime(path, info.dos_time);  // a time that cannot be set does not fail the entry
  return true;
}

bool TUnzip::ReadEntryInfo(ZipEntryInfo& info) {
  if (archive_ == nullptr) return false;
  std::memset(&info, 0, sizeof info);
  unz_file_info raw;
  std::memset(&raw, 0, sizeof raw);
  if (unzGetCurrentFileInfo(archive_, &raw, info.name, kNameBufferSize, /*extraField=*/nullptr, 0,
                            info.comment, kCommentBufferSize) != UNZ_OK) {
    return false;
  }
  info.version_made_by = static_cast<uint32_t>(raw.version);
  info.version_needed = static_cast<uint32_t>(raw.version_needed);
  info.flags = static_cast<uint32_t>(raw.flag);
  info.method = static_cast<uint32_t>(raw.compression_method);
  info.dos_time = static_cast<uint32_t>(raw.dosDate);
  info.crc32 = static_cast<uint32_t>(raw.crc);
  info.compressed_size = static_cast<uint32_t>(raw.compressed_size);
  info.uncompressed_size = static_cast<uint32_t>(raw.uncompressed_size);
  info.internal_attributes = static_cast<uint32_t>(raw.internal_fa);
  info.external_attributes = static_cast<uint32_t>(raw.external_fa);
  for (char& c : info.name) {
    if (c == '/') c = '\\';
  }
  info.is_directory = ((info.external_attributes >> 4) & 1) != 0;
  return true;
}

bool TUnzip::MakeDirectories(const char* folder) {
  if (folder == nullptr) return false;
  std::string path = folder;
  for (char& c : path) {
    if (c == '/') c = '\\';
  }
  while (!path.empty() && path.back() == '\\') path.pop_back();
  // A rooted path ("\dir", natively "/tmp/...") keeps its leading separators; dropping them would
  // turn it into a path relative to the current folder.
  size_t lead = 0;
  while (lead < path.size() && path[lead] == '\\') ++lead;
  std::vector<std::string> parts;
  size_t start = lead;
  while (start < path.size()) {
    size_t end = path.find('\\', start);
    if (end == std::string::npos) end = path.size();
    if (end > start) parts.push_back(path.substr(start, end - start));
    start = end + 1;
  }
  if (parts.size() < 2) return true;
  std::string current = path.substr(0, lead) + parts[0];
  for (size_t i = 1; i < parts.size(); ++i) {
    current += '\\';
    current += parts[i];
    if (CreateFolder(current.c_str()) == FolderResult::kFailed) return false;
  }
  return true;
}
