// Native stand-in for the shell's special folders: tests say which path each CSIDL has.
#include "base/special_folder.h"

#include <map>
#include <mutex>

namespace {
std::mutex g_lock;
std::map<int, std::string>& Folders() {
  static std::map<int, std::string> folders;
  return folders;
}
}  // namespace

void GetSpecialFolder(int csidl, std::string& path) {
  std::lock_guard<std::mutex> guard(g_lock);
  auto it = Folders().find(csidl);
  if (it != Folders().end()) path += it->second;
}

void SetSpecialFolderForTest(int csidl, const char* folder) {
  std::lock_guard<std::mutex> guard(g_lock);
  if (folder == nullptr) {
    Folders().erase(csidl);
  } else {
    Folders()[csidl] = folder;
  }
}
