// Files and folders named by Windows path text ("C:\a\b"). Portable code always builds paths
// with backslashes; the POSIX side maps "\" to "/" at this boundary, so texts are the same in
// both builds.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

// The path as the operating system takes it (identity on Windows).
std::string NativePath(const std::string& path);

// fopen of the mapped path.
FILE* OpenFile(const char* path, const char* mode);

// True when a file or folder of that name exists (_access with mode 0).
bool PathExists(const char* path);

// Creates one folder (_mkdir); false when it could not be created.
bool MakeDirectory(const char* path);

// Renames a file or folder (MoveFileA / rename); false when it could not be renamed, e.g. while
// a program holds a file inside the folder.
bool RenamePath(const char* from, const char* to);

struct FileEntry {
  std::string relative;  // below the listed folder, "\" separators
  uint64_t size = 0;
};

// Every regular file below `folder`, at any depth, in no particular order; folders are walked,
// not listed. False when `folder` or one of its subfolders cannot be read.
bool ListFiles(const std::string& folder, std::vector<FileEntry>* out);

// The size of a regular file; false when there is none of that name.
bool RegularFileSize(const char* path, uint64_t* size);
