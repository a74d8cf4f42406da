// Shell special folders (application data, desktop) by CSIDL number.
#pragma once

#include <string>

constexpr int kCsidlAppData = 0x1A;
constexpr int kCsidlDesktopDirectory = 0x10;

// Appends the folder's path to `path` (not cleared first); appends nothing when the folder is
// unavailable. The shell answers in the Windows build. Native builds have no shell: their test
// programs link a stand-in that the tests fill in (base/testing/special_folder_stand_in.h).
void GetSpecialFolder(int csidl, std::string& path);
