// The Apps & features entry of an installed package, and the rules of its uninstall that need no
// system: the entry's key and texts, and which folders belong to the publisher's packages.
#pragma once

#include <cstdint>
#include <string>

#include "base/module_record.h"

// "Software\Microsoft\Windows\CurrentVersion\Uninstall\Quillbank<package number>", below
// HKEY_CURRENT_USER: the entry Settings > Apps lists for this user.
std::string UninstallKeyPath(const std::string& package_number);
// "9.3.<part 3>.<part 4>".
std::string DisplayVersionText(const VersionPair& version);
// `bytes` in kilobytes, rounded up, as the entry's EstimatedSize (at most 0xFFFFFFFF).
uint32_t EstimatedSizeKb(uint64_t bytes);
// True for "Quillbank" followed by one or more digits and nothing else, the first letters in any
// case (folder names on Windows are): the install folder of one of the publisher's packages.
bool IsPackageFolderName(const std::string& name);

// The uninstall program beside the install folder: "<InstallDir>.uninstall.exe", a copy of the
// installer that installed it.
constexpr char kUninstallProgramSuffix[] = ".uninstall.exe";
// The argument the entry runs it with (the program's command line: app/command_line.h).
constexpr char kUninstallArgument[] = "/uninstall";
