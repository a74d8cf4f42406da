// What an install records in the user's registry for its uninstall: the Apps & features entry
// (HKCU\Software\Microsoft\Windows\CurrentVersion\Uninstall\Quillbank<package number>), and
// whether one of the publisher's installs put the dependency folder on the user's stored Path
// (HKCU\Software\Quillbank, value "DependPathAdded"), so that only then does an uninstall take it
// off. Windows build only.
#pragma once

#include <cstdint>
#include <string>

struct UninstallValues {
  const wchar_t* display_name = L"";  // the product name
  const wchar_t* display_version = L"";
  const wchar_t* publisher = L"";
  const wchar_t* install_location = L"";
  const wchar_t* display_icon = L"";
  const wchar_t* uninstall_string = L"";
  // The same with nothing on screen, for deployment tools.
  const wchar_t* quiet_uninstall_string = L"";
  // The desktop shortcut's file, for the uninstall (value "QuillbankShortcut").
  const wchar_t* shortcut = L"";
  uint32_t estimated_size_kb = 0;
};

// Writes every value (replacing an entry of the same package). False when one cannot be written.
bool WriteUninstallEntry(const std::string& package_number, const UninstallValues& values);
// The desktop shortcut the entry names, into `path` (`capacity` characters); false when there is
// no entry, no such text, or it does not fit.
bool ReadUninstallShortcut(const std::string& package_number, wchar_t* path, unsigned capacity);
// True when the entry is gone afterwards (also when there was none).
bool DeleteUninstallEntry(const std::string& package_number);

// Has the file `path` deleted at this user's next logon: a command under
// HKCU\Software\Microsoft\Windows\CurrentVersion\RunOnce, value "Quillbank<package number>
// <what>" (Windows removes the value before it runs it). For the uninstall's own program, which
// cannot delete itself while it runs; unlike a delete at the next restart, it needs no more than
// the user's rights. False when the value cannot be written.
bool DeleteAtNextLogon(const std::string& package_number, const wchar_t* what,
                       const wchar_t* path);
// The command DeleteAtNextLogon would record for `path`: the system folder's cmd.exe deleting it.
std::wstring DeleteAtLogonCommand(const wchar_t* path);
// RunOnce, below HKEY_CURRENT_USER.
constexpr wchar_t kRunOnceKey[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\RunOnce";

void RecordDependPathAdded();
bool DependPathAdded();
void ClearDependPathAdded();
