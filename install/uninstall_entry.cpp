// The uninstall's portable rules; the registry and the steps are in uninstall_registry_win.cpp
// and app/uninstall.cpp.
#include "install/uninstall_entry.h"

#include <cctype>
#include <cstdio>
#include <cstring>

namespace {

constexpr char kFolderPrefix[] = "quillbank";

}  // namespace

std::string UninstallKeyPath(const std::string& package_number) {
  return "Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Quillbank" + package_number;
}

std::string DisplayVersionText(const VersionPair& version) {
  char text[32];
  std::snprintf(text, sizeof text, "9.3.%d.%d", static_cast<int>(version.Part3),
                static_cast<int>(version.Part4));
  return text;
}

uint32_t EstimatedSizeKb(uint64_t bytes) {
  const uint64_t kb = bytes / 1024 + (bytes % 1024 != 0 ? 1 : 0);
  return kb > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<uint32_t>(kb);
}

bool IsPackageFolderName(const std::string& name) {
  const size_t prefix = sizeof kFolderPrefix - 1;
  if (name.size() <= prefix) return false;
  for (size_t i = 0; i < prefix; ++i) {
    if (std::tolower(static_cast<unsigned char>(name[i])) != kFolderPrefix[i]) return false;
  }
  for (size_t i = prefix; i < name.size(); ++i) {
    if (name[i] < '0' || name[i] > '9') return false;
  }
  return true;
}
