// Writes one key of a profile (.ini) file: WritePrivateProfileStringA on Windows, our own writer
// (install/profile_text.h) natively.
#pragma once

// True when the file holds the value afterwards. The file's folder must exist.
bool WriteProfileValue(const char* section, const char* key, const char* value, const char* path);
