// The log of the last failed attempt, "<InstallDir>.failed.log" beside the install folder: the
// one log that outlives the staging folder, for the user to send to support.
#pragma once

#include <string>

// Copies the staging folder's install log there (replacing an older one). False when there is
// no log or it could not be copied in full.
bool KeepFailedLog(const std::string& staging_dir, const std::string& install_dir);
// A successful install leaves no failed log behind.
void DeleteFailedLog(const std::string& install_dir);
