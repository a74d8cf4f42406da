// Writes and reads one key of a profile (.ini) file: WritePrivateProfileStringA and
// GetPrivateProfileStringA on Windows, our own writer and reader (install/profile_text.h) natively.
#pragma once

#include <string>

// True when the file holds the value afterwards. The file's folder must exist.
bool WriteProfileValue(const char* section, const char* key, const char* value, const char* path);

// The key's value; false when the file or the key is missing. Values longer than 259 characters
// are cut.
bool ReadProfileValue(const char* section, const char* key, const char* path, std::string* value);
