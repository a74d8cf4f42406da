// File operations that zip extraction needs: the output file, folders, the absolute archive path
// and the entry's time stamp. Paths are Windows path text; the POSIX side maps "\" to "/".
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

// The file an entry is written to: CreateFileA with write access, no sharing, always create.
class OutputFile {
 public:
  OutputFile();
  ~OutputFile();
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;

  // Creates or truncates the file; false when it cannot be opened (in use, a folder, ...).
  bool Create(const char* path);
  // Writes all `size` bytes; false on a failed or short write.
  bool Write(const void* data, size_t size);
  void Close();
  bool IsOpen() const { return file_ != nullptr; }

 private:
  // The open file's owner: a HANDLE on Windows, a file descriptor natively.
  struct Owner;
  std::unique_ptr<Owner> file_;
};

enum class FolderResult { kCreated, kAlreadyExists, kFailed };

// CreateDirectoryA without security attributes; "already exists" is told apart from failure.
FolderResult CreateFolder(const char* path);

// The absolute form of `path` (GetFullPathNameA into 260 characters). False when it cannot be
// formed or would not fit.
bool GetFullPath(const char* path, std::string* full);

// Sets creation and last-write time of an existing file to `dos_time` (MS-DOS date in the high,
// time in the low 16 bits) read as local time; the last-access time stays. False when any step
// fails, and then the times are as they were.
bool RestoreDosTime(const char* path, uint32_t dos_time);
