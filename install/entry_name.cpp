// Entry-name checks and path joining for zip extraction.
#include "install/entry_name.h"

#include <cstring>

namespace {

bool OnlyDotsAndBlanks(const char* begin, const char* end) {
  for (const char* p = begin; p != end; ++p) {
    if (*p != '.' && *p != ' ') return false;
  }
  return true;
}

}  // namespace

bool IsSafeEntryName(const char* name) {
  if (name == nullptr || name[0] == '\0' || name[0] == '\\') return false;
  if (std::strchr(name, ':') != nullptr) return false;
  int depth = 0;
  const char* step = name;
  while (*step != '\0') {
    const char* end = step;
    while (*end != '\0' && *end != '\\') ++end;
    const size_t length = static_cast<size_t>(end - step);
    if (length == 2 && step[0] == '.' && step[1] == '.') {
      if (--depth < 0) return false;
    } else if (length == 1 && step[0] == '.') {
      // the current folder: no step
    } else if (length > 0 && OnlyDotsAndBlanks(step, end)) {
      return false;
    } else if (length > 0) {
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
