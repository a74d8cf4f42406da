// Shell special folders (application data, desktop) by CSIDL number.
#pragma once

#include <string>

constexpr int kCsidlAppData = 0x1A;
constexpr int kCsidlDesktopDirectory = 0x10;

// Appends the folder's path to `path` (not cleared first); appends nothing when the folder is
// unavailable.
void GetSpecialFolder(int csidl, std::string& path);

// Native builds have no shell: tests say which path a CSIDL has; null makes it unavailable.
// The Windows build ignores this and asks the shell.
void SetSpecialFolderForTest(int csidl, const char* path);
