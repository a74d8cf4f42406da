// Restricting the DLL search and loading system DLLs by their full path.
#include "base/win/system_library.h"

void RestrictDllSearchToSystemFolder() {
  // Resolved at run time: importing it would keep the program from starting on a Windows 7
  // without the update that brought it.
  using SetDefaultDllDirectoriesFunction = BOOL(WINAPI*)(DWORD);
  const auto set_default = reinterpret_cast<SetDefaultDllDirectoriesFunction>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"),
                                             "SetDefaultDllDirectories")));
  if (set_default == nullptr || !set_default(LOAD_LIBRARY_SEARCH_SYSTEM32)) {
    SetDllDirectoryW(L"");
  }
}

HMODULE LoadSystemLibrary(const wchar_t* name) {
  wchar_t path[MAX_PATH + 1] = {};
  const UINT length = GetSystemDirectoryW(path, MAX_PATH);
  if (length == 0 || length + 1 + lstrlenW(name) >= MAX_PATH) return nullptr;
  path[length] = L'\\';
  lstrcpyW(path + length + 1, name);
  return LoadLibraryExW(path, /*hFile=*/nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
}
