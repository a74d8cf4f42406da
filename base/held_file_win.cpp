// HeldFile on Windows: the share mode leaves out FILE_SHARE_WRITE.
#include "base/held_file.h"

#include <windows.h>

namespace {

HANDLE AsHandle(intptr_t handle) { return reinterpret_cast<HANDLE>(handle); }

}  // namespace

void HeldFileTraits::Free(intptr_t handle) { CloseHandle(AsHandle(handle)); }

bool HeldFile::Open(const char* path) {
  // Deletion is shared: a staging folder that is given up must still go while files are held.
  const HANDLE handle =
      CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, /*security=*/nullptr,
                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return false;
  file_.reset(reinterpret_cast<intptr_t>(handle));
  return true;
}

bool HeldFile::Read(void* data, size_t size, size_t* got) {
  *got = 0;
  DWORD read = 0;
  if (!file_.valid() ||
      !ReadFile(AsHandle(file_.get()), data, static_cast<DWORD>(size), &read, nullptr)) {
    return false;
  }
  *got = read;
  return true;
}

bool HeldFile::KeepsWritersOut() { return true; }
