// DLLs from the system folder only. The program is started from folders anyone can write to (a
// Downloads folder): a DLL left there under a system DLL's name must never be loaded, so the
// search is restricted before anything is loaded at run time, and every DLL this program loads
// itself is named by its full path in the system folder.
#pragma once

#include <windows.h>

// Limits the folders LoadLibrary searches to the system folder, for the whole process. The first
// step of the program. Where the system lacks SetDefaultDllDirectories (Vista and 7 without
// KB2533623), the current folder at least is taken off the search.
void RestrictDllSearchToSystemFolder();

// Loads the system DLL `name` ("msimg32.dll") from the system folder, by its full path, its own
// dependencies searched there first; null when it cannot be loaded.
HMODULE LoadSystemLibrary(const wchar_t* name);
