// Our own profile-file (.ini) writer, producing the bytes the system's WritePrivateProfileStringA
// produces: the file is read as sections of "key=value" lines (blank lines dropped, blanks
// around names and values trimmed, names matched ignoring letter case), the key is replaced in
// place or appended to its section, a missing section is appended, and everything is written
// back with CR LF after each line.
#pragma once

#include <string>

// Applies one write to the text of a profile file. Returns false (and leaves `text` as it was)
// when the key already holds exactly that value: the file is then not rewritten.
bool ApplyProfileString(std::string* text, const char* section, const char* key, const char* value);

// The value of `key` in `section` of a profile file's text, found as the system's reader finds it
// (names matched ignoring letter case, blanks trimmed). False when there is none.
bool FindProfileString(const std::string& text, const char* section, const char* key,
                       std::string* value);

// Reads the file and finds one value; false when the file or the value is missing.
bool ReadProfileFile(const char* section, const char* key, const char* path, std::string* value);

// Reads the file (missing means empty), applies the write and writes it back when it changed.
// False when the file cannot be written (for example, its folder does not exist).
bool WriteProfileFile(const char* section, const char* key, const char* value, const char* path);
