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

// Right after a stream's write or flush to `path` failed: the disk (or the user's quota) was
// full. errno says so where the runtime sets it; where it does not (Wine's runtime reports a large
// write cut short on a full disk as EINVAL), the volume with fewer than `wanted` bytes free for
// this user does.
bool LastWriteFoundDiskFull(const std::string& path, uint64_t wanted);

// True when a file or folder of that name exists (_access with mode 0).
bool PathExists(const char* path);

// Creates one folder (_mkdir); false when it could not be created.
bool MakeDirectory(const char* path);

// Renames a file or folder (MoveFileA / rename); false when it could not be renamed, e.g. while
// a program holds a file inside the folder.
bool RenamePath(const char* from, const char* to);

// Copies the file `from` to `to`, replacing a file there (CopyFileA); false when it could not be
// copied in full.
bool CopyFileOver(const char* from, const char* to);

// Makes `link` a second name of the regular file `existing` (a hard link: no byte is copied), on
// the same volume. False when the volume or the system does not allow it, when `existing` is a
// link of another kind (a reparse point, a symbolic link) or not a regular file, or when `link`
// exists. Writing through either name changes both.
bool LinkFile(const char* existing, const char* link);

struct FileEntry {
  std::string relative;  // below the listed folder, "\" separators
  uint64_t size = 0;
};

// Every regular file below `folder`, at any depth, in no particular order; folders are walked,
// not listed. Links (symbolic links, junctions: any reparse point) are neither listed nor
// entered. False when `folder` or one of its subfolders cannot be read.
bool ListFiles(const std::string& folder, std::vector<FileEntry>* out);

// Deletes a file, or a folder with everything below it, without asking and without following a
// link: a link (symbolic link, junction: any reparse point), at the top or anywhere below, is
// removed itself and never entered, so nothing outside `path` is touched. Read-only files go
// too. False when `path` does not exist, or when something below it could not be deleted (a file
// a program holds open); everything else that could go is gone then, and `*first_left`, when
// given, names the first path left.
bool RemoveTree(const std::string& path, std::string* first_left = nullptr);

// The size of a regular file; false when there is none of that name.
bool RegularFileSize(const char* path, uint64_t* size);
