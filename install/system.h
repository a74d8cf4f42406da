// Ties the installed package into the user's account: running the copy command, shell deletion
// and the dependency folder on the Path. Special folders are in base/special_folder.h.
#pragma once

#include <string>

// Built in both builds: natively as stand-ins (see install/testing/system_stand_in.h). What only
// the Windows program does is in install/system_win.h.

// Deletes a file, or a folder with all it holds, without asking. True when the shell reports
// success; a missing path is a failure.
bool DeletePath(const char* path);

// The first file below `folder` that a program holds open without letting it be deleted or
// renamed (so Windows will not move the folder), as a full path; empty when there is none or
// the system cannot tell.
std::string FirstHeldFile(const std::string& folder);

// Runs `command_line` hidden at idle priority and waits for it without time limit. True only when
// it started and exited with code 0. `exit_code`, when given, receives the exit code (0xFFFFFFFF
// when the command could not be started).
bool RunAndWait(const char* command_line, unsigned long* exit_code = nullptr);

// Appends ";" + DependDir to the installer's own "Path" unless DependDir already occurs in it. A
// Path that cannot be read whole or set is left as it was.
void ExtendProcessPath();

// True when the base dependency archive must be downloaded: Windows before 10 and DependDir not
// in the installer's Path. Then DependDir is also added to the user's stored Path.
bool BaseZipNeeded();

// The same decision without touching the stored Path: for an installer that puts the archive in
// place only once the package has passed its check (AddToUserPath then).
bool BaseZipWanted();

// Adds DependDir to HKCU\Environment "Path" (keeping the value's type; a new value is REG_SZ) and
// broadcasts the change. True if DependDir is in, or was added to, the stored Path.
bool AddToUserPath();
