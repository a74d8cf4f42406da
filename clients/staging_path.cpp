// Checks of the relative paths that module and base archive chunks carry.
#include "clients/staging_path.h"

#include <cctype>
#include <utility>

namespace {

bool IsSeparator(char c) { return c == '\\' || c == '/'; }

bool PartAcceptable(const std::string& part) {
  if (!part.empty() && IsSeparator(part[0])) return false;
  return part.find(':') == std::string::npos;
}

// Windows drops trailing dots and spaces from a path component, so ".. " or "..." may climb too.
bool ClimbsUp(const std::string& component) {
  size_t dots = 0;
  for (char c : component) {
    if (c == '.') {
      ++dots;
    } else if (c != ' ') {
      return false;
    }
  }
  return dots >= 2;
}

// Windows opens a device, not a file, for these names, whatever the folder or extension.
bool IsDeviceName(const std::string& component) {
  std::string base = component.substr(0, component.find('.'));
  while (!base.empty() && base.back() == ' ') base.pop_back();
  for (char& c : base) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  static const char* const kDevices[] = {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"};
  for (const char* device : kDevices) {
    if (base == device) return true;
  }
  return base.size() == 4 && (base.compare(0, 3, "COM") == 0 || base.compare(0, 3, "LPT") == 0) &&
         base[3] >= '1' && base[3] <= '9';
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
    if (ClimbsUp(component) || IsDeviceName(component)) return false;
    start = end + 1;
  }
  std::string full = staging_dir + "\\" + relative;
  if (full.size() > kMaxStagingPathLength) return false;
  *path = std::move(full);
  return true;
}
