// Where a downloaded file goes: StagingDir + "\" + the relative text the service names, refused
// when it could land anywhere but below StagingDir.
#pragma once

#include <string>

#include "core/install_context.h"

// Longest path of any file of an install, in whichever of its folders it is (formed in 256-byte
// buffers, and within what the system's narrow functions take).
constexpr size_t kMaxInstallPathLength = 255;
// Longest path a chunk may name. A file staged as StagingDir\x later lives as InstallDir\x and,
// while an update replaces it, as InstallDir.previous\x: the limit leaves room for the longest of
// those folder names, so that no file can make ".previous" undeletable.
constexpr size_t kMaxStagingPathLength = 250;
static_assert(kMaxStagingPathLength - (sizeof kStagingSuffix - 1) + (sizeof kPreviousSuffix - 1) <=
                  kMaxInstallPathLength,
              "a staged path must fit as a path of the old install's folder too");

// Forms `staging_dir` + "\" + `folder` + `file` (the two parts joined with nothing between, as
// the service sends them). False, with `path` untouched, when either part is absolute ("\" or
// "/" first), carries ":" (a drive letter or a stream name), when the joined text has a ".."
// component (one of dots and spaces only, which Windows reads as "..") with either separator,
// names a device ("CON", "nul.txt", "COM1", ...) or ends in a separator, or when the result has
// more than kMaxStagingPathLength characters.
bool FormStagingPath(const std::string& staging_dir, const std::string& folder,
                     const std::string& file, std::string* path);
