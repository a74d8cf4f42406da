// Profile files through the system's profile API.
#include "install/profile_string.h"

#include <windows.h>

bool WriteProfileValue(const char* section, const char* key, const char* value, const char* path) {
  return WritePrivateProfileStringA(section, key, value, path) != FALSE;
}
