// What an install records in the user's registry for its uninstall: the Apps & features entry
// (HKCU\Software\Microsoft\Windows\CurrentVersion\Uninstall\Quillbank<package number>), and
// whether one of the publisher's installs put the dependency folder on the user's stored Path
// (HKCU\Software\Quillbank, value "DependPathAdded"), so that only then does an uninstall take it
// off. Windows build only.
#pragma once

#include <cstdint>
#include <string>

struct UninstallValues {
  std::wstring display_name;  // the product name
  std::wstring display_version;
  std::wstring publisher;
  std::wstring install_location;
  std::wstring display_icon;
  std::wstring uninstall_string;
  // The desktop shortcut's file, for the uninstall (value "QuillbankShortcut").
  std::wstring shortcut;
  uint32_t estimated_size_kb = 0;
};

// Writes every value (replacing an entry of the same package). False when one cannot be written.
bool WriteUninstallEntry(const std::string& package_number, const UninstallValues& values);
// The desktop shortcut the entry names; false when there is no entry or no such text.
bool ReadUninstallShortcut(const std::string& package_number, std::wstring* path);
// True when the entry is gone afterwards (also when there was none).
bool DeleteUninstallEntry(const std::string& package_number);

void RecordDependPathAdded();
bool DependPathAdded();
void ClearDependPathAdded();
