// The native build's special folders: there is no shell, so the tests that need one say which
// path each CSIDL has. Built only into native test targets (fuzz targets and benchmarks
// included); the Windows build asks the shell (base/special_folder_win.cpp).
#pragma once

// From now on GetSpecialFolder(csidl) appends `path`; null makes the folder unavailable again
// (as it is until a test sets it).
void SetStandInSpecialFolder(int csidl, const char* path);
