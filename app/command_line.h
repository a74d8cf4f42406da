// The program's command line: what IT departments and package managers run it with. Switches
// are case-insensitive and start with "/" or "-"; anything else is refused, so that a deployment
// with a misspelt switch installs nothing rather than something it did not ask for.
//
//   (none)        the window, the user clicks "Install" and then "Open"
//   /silent       the window shows, the install starts at once and the window closes at the end;
//                 the terminal is not started
//   /verysilent   the same install with no window at all
//   /log=PATH     at the end the install log is also copied to PATH (quotes as the system's
//                 command-line rules have them: /log="C:\a b\x.log" or "/log=C:\a b\x.log")
//   /? or /help   the usage (a message box; nothing in the silent modes)
//   /uninstall    the uninstall, from the Apps & features entry; takes /silent and /verysilent
#pragma once

#include <cstdint>
#include <string>
#include <vector>

enum class UiMode {
  Normal,      // the window and the user's clicks
  Silent,      // the window, no clicks
  VerySilent,  // no window, nothing on screen
};

enum class CommandAction {
  Install,
  Usage,         // /? or /help
  Uninstall,     // /uninstall: the first stage, from the entry
  UninstallRun,  // the second stage, the copy in the temporary folder (the program's own switch)
  Invalid,       // an argument not understood: nothing is done
};

struct CommandLine {
  CommandAction action = CommandAction::Install;
  UiMode ui = UiMode::Normal;
  // /log=: where the install log is copied at the end (empty: nowhere).
  std::wstring log_path;
  // UninstallRun: the handles the first stage gave, as numbers: its process (waited for before
  // the program beside the install is deleted) and the pipe the result goes back on; 0 when none.
  uint64_t parent = 0;
  uint64_t result_pipe = 0;
  // Invalid: the first argument that was not understood.
  std::wstring refused;

  bool quiet() const { return ui != UiMode::Normal; }
};

// The arguments of a whole command line (GetCommandLineW's: the program's name first, which is
// skipped), split as the system's CommandLineToArgvW does: spaces separate, double quotes group,
// backslashes escape a quote only when they precede one.
std::vector<std::wstring> SplitArguments(const wchar_t* command_line);

// The switches of a whole command line (the program's name first).
CommandLine ParseCommandLine(const wchar_t* command_line);

// The switches the first stage of the uninstall gives the second: "/uninstall-run <parent>
// <pipe>" and the first stage's UI mode.
std::wstring UninstallRunArguments(uint64_t parent, uint64_t result_pipe, UiMode ui);
