// Files and folders named by Windows path text ("C:\a\b"). Portable code always builds paths
// with backslashes; the POSIX side maps "\" to "/" at this boundary, so texts are the same in
// both builds.
#pragma once

#include <cstdio>
#include <string>

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
