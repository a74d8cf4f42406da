// How a zip entry's name becomes a path below the destination folder, and which names are
// refused because they would leave it or name a device.
#pragma once

#include <string>

// Longest path the extraction builds, without the terminating zero (a 260-character buffer).
constexpr size_t kMaxExtractPath = 259;

// `name` uses "\" as separator (as ZipEntryInfo holds it). Refused: an empty name, a name starting
// with "\" (absolute or UNC), any ":" (drive letter, stream name), a ".." step that climbs above
// the start, any other step made only of dots and blanks (Windows trims trailing dots and
// blanks, so ". ." or "..." could name a parent), and a step that names a device ("CON",
// "aux.txt", "dir\nul.dat"): Windows would open the device instead of writing a file.
bool IsSafeEntryName(const char* name);

// folder, then "\" unless the folder is empty or already ends in "\" or "/", then `name`.
// False when the result is longer than kMaxExtractPath.
bool JoinEntryPath(const char* folder, const char* name, std::string* path);
