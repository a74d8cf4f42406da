// The stand-in terminal's record of how it was started: its command line, as UTF-8, in
// "launch.txt" beside the program.
#pragma once

#include <string>

constexpr const wchar_t* kLaunchRecordName = L"launch.txt";

// The folder part of a program path, with its trailing backslash ("C:\a\" for "C:\a\b.exe").
std::wstring FolderOf(const std::wstring& program_path);
// Writes `command_line` (UTF-8, then CR LF) to launch.txt in `folder`, replacing an older one.
bool WriteLaunchRecord(const std::wstring& folder, const std::wstring& command_line);
