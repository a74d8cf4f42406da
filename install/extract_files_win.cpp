// Extraction file operations over the ANSI file API.
#include "install/extract_files.h"

#include <windows.h>

#include "base/win/scoped_handle.h"

struct OutputFile::Owner {
  explicit Owner(HANDLE file) : handle(file) {}
  ScopedHandle handle;
};

OutputFile::OutputFile() = default;

OutputFile::~OutputFile() = default;

bool OutputFile::Create(const char* path) {
  Close();
  HANDLE file = CreateFileA(path, GENERIC_WRITE, /*dwShareMode=*/0, /*lpSecurityAttributes=*/nullptr,
                            CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, /*hTemplateFile=*/nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  file_ = std::make_unique<Owner>(file);
  return true;
}

bool OutputFile::Write(const void* data, size_t size) {
  if (!IsOpen()) return false;
  DWORD written = 0;
  const BOOL ok = WriteFile(file_->handle.get(), data, static_cast<DWORD>(size), &written,
                            /*lpOverlapped=*/nullptr);
  return ok && written == size;
}

void OutputFile::Close() { file_.reset(); }

FolderResult CreateFolder(const char* path) {
  if (CreateDirectoryA(path, /*lpSecurityAttributes=*/nullptr)) return FolderResult::kCreated;
  return GetLastError() == ERROR_ALREADY_EXISTS ? FolderResult::kAlreadyExists
                                                : FolderResult::kFailed;
}

bool GetFullPath(const char* path, std::string* full) {
  constexpr DWORD kMaxPath = 260;
  if (path == nullptr || *path == '\0') return false;
  char buffer[kMaxPath] = {};
  // A result of kMaxPath or more is the size needed, with nothing written to the buffer.
  const DWORD length = GetFullPathNameA(path, kMaxPath, buffer, /*lpFilePart=*/nullptr);
  if (length == 0 || length >= kMaxPath) return false;
  *full = buffer;
  return true;
}

bool RestoreDosTime(const char* path, uint32_t dos_time) {
  ScopedHandle file(CreateFileA(path, GENERIC_READ | GENERIC_WRITE, /*dwShareMode=*/0,
                                /*lpSecurityAttributes=*/nullptr, OPEN_EXISTING,
                                /*dwFlagsAndAttributes=*/0, /*hTemplateFile=*/nullptr));
  if (!file.valid()) return false;
  FILETIME created, accessed, written;
  if (GetFileTime(file.get(), &created, &accessed, &written) != TRUE) return false;
  FILETIME local;
  if (DosDateTimeToFileTime(HIWORD(dos_time), LOWORD(dos_time), &local) != TRUE) return false;
  FILETIME utc;
  if (LocalFileTimeToFileTime(&local, &utc) != TRUE) return false;
  return SetFileTime(file.get(), &utc, &accessed, &utc) == TRUE;
}
