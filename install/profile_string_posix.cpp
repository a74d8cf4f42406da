// Profile files through our own writer, which behaves as the system's does.
#include "install/profile_string.h"

#include "install/profile_text.h"

bool WriteProfileValue(const char* section, const char* key, const char* value, const char* path) {
  return WriteProfileFile(section, key, value, path);
}

bool ReadProfileValue(const char* section, const char* key, const char* path, std::string* value) {
  return ReadProfileFile(section, key, path, value);
}
