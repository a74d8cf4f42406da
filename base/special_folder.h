// Shell special folders (application data, desktop) by CSIDL number.
#pragma once

#include <string>

constexpr int kCsidlAppData = 0x1A;
constexpr int kCsidlDesktopDirectory = 0x10;

// Appends the folder's path to `path` (not cleared first); appends nothing when the folder is
// unavailable. The shell answers in the Windows build; native builds have none.
void GetSpecialFolder(int csidl, std::string& path);
