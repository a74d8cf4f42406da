// Entry-name checks and path joining for zip extraction.
#include "install/entry_name.h"

#include <cstring>
#include <string_view>

#include "base/path_rules.h"

bool IsSafeEntryName(const char* name) {
  if (name == nullptr || name[0] == '\0' || name[0] == '\\') return false;
  if (std::strchr(name, ':') != nullptr) return false;
  int depth = 0;
  const char* step = name;
  while (*step != '\0') {
    const char* end = step;
    while (*end != '\0' && *end != '\\') ++end;
    const std::string_view component(step, static_cast<size_t>(end - step));
    if (component == "..") {
      if (--depth < 0) return false;
    } else if (component.empty() || component == ".") {
      // a doubled separator or the current folder: no step
    } else if (IsOnlyDotsAndBlanks(component) || IsWindowsDeviceName(component)) {
      return false;
    } else {
      ++depth;
    }
    step = *end == '\0' ? end : end + 1;
  }
  return true;
}

bool JoinEntryPath(const char* folder, const char* name, std::string* path) {
  std::string joined = folder;
  if (!joined.empty() && joined.back() != '\\' && joined.back() != '/') joined += '\\';
  joined += name;
  if (joined.size() > kMaxExtractPath) return false;
  *path = joined;
  return true;
}
