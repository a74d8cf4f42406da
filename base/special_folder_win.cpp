// Special folders from the shell: allocator, item list, path.
#include "base/special_folder.h"

#include <windows.h>
#include <shlobj.h>

void GetSpecialFolder(int csidl, std::string& path) {
  IMalloc* allocator = nullptr;
  if (FAILED(SHGetMalloc(&allocator))) return;
  LPITEMIDLIST item_list = nullptr;
  if (FAILED(SHGetSpecialFolderLocation(/*hwnd=*/nullptr, csidl, &item_list))) {
    allocator->Release();
    return;
  }
  char buffer[260] = {};
  if (SHGetPathFromIDListA(item_list, buffer)) path += buffer;
  allocator->Free(item_list);
  allocator->Release();
}
