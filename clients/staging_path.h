// Where a downloaded file goes: StagingDir + "\" + the relative text the service names, refused
// when it could land anywhere but below StagingDir.
#pragma once

#include <string>

// Longest path a chunk may name (it is formed in a 256-byte buffer).
constexpr size_t kMaxStagingPathLength = 255;

// Forms `staging_dir` + "\" + `folder` + `file` (the two parts joined with nothing between, as
// the service sends them). False, with `path` untouched, when either part is absolute ("\" or
// "/" first), carries ":" (a drive letter or a stream name), when the joined text has a ".."
// component (one of dots and spaces only, which Windows reads as "..") with either separator,
// names a device ("CON", "nul.txt", "COM1", ...) or ends in a separator, or when the result has
// more than 255 characters.
bool FormStagingPath(const std::string& staging_dir, const std::string& folder,
                     const std::string& file, std::string* path);
