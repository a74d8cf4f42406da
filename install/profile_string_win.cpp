// Profile files through the system's profile API.
#include "install/profile_string.h"

#include <windows.h>

#include <cstring>

bool WriteProfileValue(const char* section, const char* key, const char* value, const char* path) {
  return WritePrivateProfileStringA(section, key, value, path) != FALSE;
}

bool ReadProfileValue(const char* section, const char* key, const char* path, std::string* value) {
  // A default that no value can be tells a missing key from an empty value.
  const char kMissing[] = "\x01";
  char text[260] = {};
  GetPrivateProfileStringA(section, key, kMissing, text, sizeof text, path);
  if (std::strcmp(text, kMissing) == 0) return false;
  *value = text;
  return true;
}
