// Checks of the relative paths that module and base archive chunks carry.
#include "clients/staging_path.h"

#include <algorithm>
#include <utility>

#include "base/path_rules.h"

namespace {

bool IsSeparator(char c) { return c == '\\' || c == '/'; }

bool PartAcceptable(const std::string& part) {
  if (!part.empty() && IsSeparator(part[0])) return false;
  return part.find(':') == std::string::npos;
}

// Windows drops trailing dots and spaces from a path component, so ".. " or "..." may climb too.
bool ClimbsUp(const std::string& component) {
  return IsOnlyDotsAndBlanks(component) &&
         std::count(component.begin(), component.end(), '.') >= 2;
}

}  // namespace

bool FormStagingPath(const std::string& staging_dir, const std::string& folder,
                     const std::string& file, std::string* path) {
  if (!PartAcceptable(folder) || !PartAcceptable(file)) return false;
  const std::string relative = folder + file;
  if (relative.empty() || IsSeparator(relative.back())) return false;
  size_t start = 0;
  while (start <= relative.size()) {
    size_t end = start;
    while (end < relative.size() && !IsSeparator(relative[end])) ++end;
    const std::string component = relative.substr(start, end - start);
    if (ClimbsUp(component) || IsWindowsDeviceName(component)) return false;
    start = end + 1;
  }
  std::string full = staging_dir + "\\" + relative;
  if (full.size() > kMaxStagingPathLength) return false;
  *path = std::move(full);
  return true;
}
