// Native stand-in of the file layer: Windows path text with "\" mapped to "/".
#include "app/file_system.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

std::string NativePath(const std::string& path) {
  std::string native = path;
  std::replace(native.begin(), native.end(), '\\', '/');
  return native;
}

FILE* OpenFile(const char* path, const char* mode) {
  return std::fopen(NativePath(path).c_str(), mode);
}

bool PathExists(const char* path) { return access(NativePath(path).c_str(), F_OK) == 0; }

bool MakeDirectory(const char* path) { return mkdir(NativePath(path).c_str(), 0755) == 0; }

bool RenamePath(const char* from, const char* to) {
  return std::rename(NativePath(from).c_str(), NativePath(to).c_str()) == 0;
}
