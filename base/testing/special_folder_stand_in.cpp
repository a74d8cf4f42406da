// GetSpecialFolder for native test programs, answering from what the test set.
#include "base/testing/special_folder_stand_in.h"

#include <map>
#include <mutex>
#include <string>

#include "base/special_folder.h"

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

void SetStandInSpecialFolder(int csidl, const char* path) {
  std::lock_guard<std::mutex> guard(g_lock);
  if (path == nullptr) {
    Folders().erase(csidl);
  } else {
    Folders()[csidl] = path;
  }
}
