// The part of the system integration only the Windows program has: ending and starting the
// terminal, the desktop shortcut, the installer's own folder. Implemented in system_win.cpp with
// the shared part (install/system.h).
#pragma once

#include <string>

#include "core/install_context.h"

// File name of the terminal's executable.
constexpr char kTerminalExeName[] = "quillbank ix.exe";

// Folder of the installer's own executable, ending in "\" (empty if it has none).
std::wstring GetExeDir();
// Full path of the main module of a process; empty when unknown.
std::wstring GetProcessImagePath(unsigned long process_id);
// Ends the first "quillbank ix.exe" that runs from the installer's own folder, waits for it and
// pauses 2.5 s; returns at once when none runs. Returns 0.
int KillRunningTerminal();
// The same for a terminal that runs from `folder` (ending in "\\"). True when one was ended.
bool StopTerminalRunningFrom(const std::wstring& folder);
// Takes `depend_dir` off HKCU\Environment "Path" (the value goes when nothing else is left in
// it) and broadcasts the change. True when it is not there afterwards.
bool RemoveDependDirFromUserPath(const std::string& depend_dir);
// Starts InstallDir\quillbank ix.exe with the argument "end" in a new console. Nonzero if the
// process was created.
int LaunchTerminal(const InstallContext& ctx);
// The shortcut DesktopShortcutPath names, pointing at InstallDir\quillbank ix.exe: it replaces
// only a shortcut an earlier install made. False when no shortcut path can be used.
bool CreateDesktopShortcut(const InstallContext& ctx);
// The desktop shortcut of this install: Desktop\<ProductName>.lnk when the product name is a
// plain file name (IsPlainFileName), Desktop\Quillbank<package number>.lnk otherwise or when the
// first is someone else's; of these the first that is not there or is ours (IsOurShortcut).
// Empty when neither can be used or the path cannot be formed.
std::wstring DesktopShortcutPath(const InstallContext& ctx);
// True when `link` is a shortcut pointing at `install_dir`\quillbank ix.exe (letter case aside):
// one that an install of this package made.
bool IsOurShortcut(const std::wstring& link, const std::string& install_dir);
