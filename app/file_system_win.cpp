// The file layer on Windows: the C runtime takes the path text as it is.
#include "app/file_system.h"

#include <direct.h>
#include <io.h>
#include <windows.h>

std::string NativePath(const std::string& path) { return path; }

FILE* OpenFile(const char* path, const char* mode) { return std::fopen(path, mode); }

bool PathExists(const char* path) { return _access(path, 0) == 0; }

bool MakeDirectory(const char* path) { return _mkdir(path) == 0; }

bool RenamePath(const char* from, const char* to) { return MoveFileA(from, to) != FALSE; }
