// The edits of a "Path" text that put DependDir on the search path, and the one that takes it
// off. The two that put it on are exact, case-sensitive sub-string tests.
#pragma once

#include <string>

// The installer's own Path: unchanged when DependDir occurs anywhere in it, else ";" + DependDir
// appended (also to an empty text).
std::string ProcessPathWithDependDir(const std::string& path, const std::string& depend_dir);

// The user's stored Path: the needle is ";" + DependDir, or DependDir alone when `path` is empty.
// False when the needle is already there (nothing to write); else appends it and returns true.
bool AddDependDirToStoredPath(std::string* path, const std::string& depend_dir);

// The user's stored Path without DependDir: every ";"-separated entry equal to DependDir goes,
// with its separator; the other entries stay as they are, in their order. False when there was
// none (nothing to write).
bool RemoveDependDirFromStoredPath(std::string* path, const std::string& depend_dir);
