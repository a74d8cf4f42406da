// Ties the installed package into the user's account: running the copy command, deletion
// and the dependency folder on the Path. Special folders are in base/special_folder.h.
#pragma once

#include <string>

#include "base/file_system.h"

// Built in both builds: natively as stand-ins (see install/testing/system_stand_in.h). What only
// the Windows program does is in install/system_win.h.

// Deletes a file, or a folder with all it holds, without asking and without following links
// (RemoveTree). True when it is gone; a missing path is a failure. `first_left`, when given,
// receives the first file or folder that could not be deleted (a file a program holds).
inline bool DeletePath(const char* path, std::string* first_left = nullptr) {
  return path != nullptr && RemoveTree(path, first_left);
}

// The first file below `folder` that a program holds open without letting it be deleted or
// renamed (so Windows will not move the folder), as a full path; empty when there is none or
// the system cannot tell.
std::string FirstHeldFile(const std::string& folder);

// Runs `command_line` hidden at idle priority and waits for it without time limit. True only when
// it started and exited with code 0. `exit_code`, when given, receives the exit code (0xFFFFFFFF
// when the command could not be started).
bool RunAndWait(const char* command_line, unsigned long* exit_code = nullptr);

// Appends ";" + `depend_dir` to the installer's own "Path" unless it already occurs in it. A
// Path that cannot be read whole or set is left as it was.
void ExtendProcessPath(const std::string& depend_dir);

// True when the base dependency archive must be downloaded: Windows before 10 and `depend_dir`
// (the dependency folder) not in the installer's Path. Then it is also added to the user's
// stored Path.
bool BaseZipNeeded(const std::string& depend_dir);

// The same decision without touching the stored Path: for an installer that puts the archive in
// place only once the package has passed its check (AddToUserPath then).
bool BaseZipWanted(const std::string& depend_dir);

// Adds `depend_dir` to HKCU\Environment "Path" (keeping the value's type; a new value is REG_SZ)
// and broadcasts the change. True if it is in, or was added to, the stored Path.
bool AddToUserPath(const std::string& depend_dir);
