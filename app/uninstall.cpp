// The uninstall: registration after an install, and the two stages run from the entry.
#include "app/uninstall.h"

#include <windows.h>

#include <string>
#include <vector>

#include "base/debug_output.h"
#include "base/deployment_values.h"
#include "base/file_system.h"
#include "base/special_folder.h"
#include "core/install_context.h"
#include "core/install_log.h"
#include "install/folder_swap.h"
#include "install/system.h"
#include "install/system_win.h"
#include "install/uninstall_entry.h"
#include "install/uninstall_registry.h"
#include "ui/wide_text.h"

namespace {

constexpr int kPathChars = 32768;
constexpr DWORD kParentWaitMs = 30000;
constexpr int kMaxTerminals = 8;

std::wstring Wide(const std::string& gbk) { return GbkToWide(gbk.c_str(), kPathChars); }

std::wstring OwnProgramPath() {
  std::vector<wchar_t> buffer(kPathChars, L'\0');
  const DWORD length = GetModuleFileNameW(nullptr, buffer.data(), kPathChars);
  return length == 0 || length >= kPathChars ? std::wstring() : std::wstring(buffer.data(), length);
}

std::wstring TempFolder() {
  wchar_t buffer[MAX_PATH + 1] = {};
  const DWORD length = GetTempPathW(MAX_PATH + 1, buffer);
  return length == 0 || length > MAX_PATH ? std::wstring() : std::wstring(buffer, length);
}

// Where the first stage puts the copy that does the work.
std::wstring TempCopyPath() {
  const std::wstring temp = TempFolder();
  const std::string& number = InstallContext::Get().PackageNumber;
  return temp.empty() ? temp
                      : temp + L"Quillbank" + std::wstring(number.begin(), number.end()) +
                            L"-uninstall.exe";
}

std::wstring UninstallProgramPath() {
  return Wide(InstallContext::Get().InstallDir + kUninstallProgramSuffix);
}

// True when the application-data folder holds the install folder of another of the publisher's
// packages, which may use the dependency folder too. In doubt (the folder cannot be listed) true.
bool OtherPackageInstalled() {
  const InstallContext& ctx = InstallContext::Get();
  const size_t slash = ctx.InstallDir.rfind('\\');
  if (slash == std::string::npos) return true;
  const std::string own = ctx.InstallDir.substr(slash + 1);
  WIN32_FIND_DATAA entry = {};
  HANDLE find = FindFirstFileA((ctx.InstallDir.substr(0, slash) + "\\*").c_str(), &entry);
  if (find == INVALID_HANDLE_VALUE) return true;
  bool other = false;
  do {
    other = (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 &&
            IsPackageFolderName(entry.cFileName) && lstrcmpiA(entry.cFileName, own.c_str()) != 0;
  } while (!other && FindNextFileA(find, &entry));
  FindClose(find);
  return other;
}

// Removes `path` (a file or a folder) when it is there; false when it is there afterwards.
bool RemoveIfThere(const std::string& path, std::vector<std::string>* left) {
  if (!PathExists(path.c_str())) return true;
  DeletePath(path.c_str());
  if (!PathExists(path.c_str())) {
    DebugOutput(("Uninstall: removed " + path + "\r\n").c_str());
    return true;
  }
  DebugOutput(("Uninstall: cannot remove " + path + "\r\n").c_str());
  left->push_back(path);
  return false;
}

}  // namespace

bool RegisterUninstall() {
  const InstallContext& ctx = InstallContext::Get();
  const std::wstring self = OwnProgramPath();
  const std::wstring program = UninstallProgramPath();
  if (self.empty() || program.empty() || !CopyFileW(self.c_str(), program.c_str(), FALSE)) {
    return false;
  }
  std::vector<FileEntry> files;
  uint64_t bytes = 0;
  if (ListFiles(ctx.InstallDir, &files)) {
    for (const FileEntry& file : files) bytes += file.size;
  }
  const std::string version = DisplayVersionText(ctx.LatestVersion);
  const std::string publisher = QB_PUBLISHER_NAME;
  UninstallValues values;
  // A product name the package query did not give still names the entry.
  values.display_name = Wide(ctx.ProductName.empty() ? "Quillbank" + ctx.PackageNumber
                                                      : ctx.ProductName);
  values.display_version.assign(version.begin(), version.end());
  values.publisher.assign(publisher.begin(), publisher.end());
  values.install_location = Wide(ctx.InstallDir);
  values.display_icon = Wide(ctx.InstallDir + "\\" + kTerminalExeName);
  values.uninstall_string = L"\"" + program + L"\" " +
                            std::wstring(kUninstallArgument, kUninstallArgument +
                                                                 sizeof kUninstallArgument - 1);
  values.shortcut = DesktopShortcutPath();
  values.estimated_size_kb = EstimatedSizeKb(bytes);
  return !values.display_name.empty() && !values.install_location.empty() &&
         WriteUninstallEntry(ctx.PackageNumber, values);
}

int UninstallFromEntry() {
  // The copy in the temporary folder does the work, so that this program, and the folder Windows
  // may have started it in, can go.
  const std::wstring self = OwnProgramPath();
  const std::wstring temp = TempFolder();
  const std::wstring copy = TempCopyPath();
  HANDLE own = nullptr;
  if (self.empty() || copy.empty() || !CopyFileW(self.c_str(), copy.c_str(), FALSE) ||
      !DuplicateHandle(GetCurrentProcess(), GetCurrentProcess(), GetCurrentProcess(), &own,
                       SYNCHRONIZE, /*bInheritHandle=*/TRUE, 0)) {
    DebugOutput("Uninstall: no copy in the temporary folder; this one stays until a restart\r\n");
    return UninstallFromTemp();
  }
  const std::string run_argument = kUninstallRunArgument;
  std::wstring command = L"\"" + copy + L"\" " +
                         std::wstring(run_argument.begin(), run_argument.end()) + L" " +
                         std::to_wstring(reinterpret_cast<uintptr_t>(own));
  std::vector<wchar_t> line(command.begin(), command.end());
  line.push_back(L'\0');
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process = {};
  const BOOL started =
      CreateProcessW(copy.c_str(), line.data(), nullptr, nullptr, /*bInheritHandles=*/TRUE, 0,
                     nullptr, temp.c_str(), &startup, &process);
  CloseHandle(own);
  if (!started) {
    DebugOutput("Uninstall: the copy in the temporary folder did not start\r\n");
    DeleteFileW(copy.c_str());
    return UninstallFromTemp();
  }
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  DebugOutput("Uninstall: handed to the copy in the temporary folder\r\n");
  return 0;
}

void WaitForUninstallParent(uint64_t parent) {
  if (parent == 0) return;
  const HANDLE process = reinterpret_cast<HANDLE>(static_cast<uintptr_t>(parent));
  WaitForSingleObject(process, kParentWaitMs);
  CloseHandle(process);
}

int UninstallFromTemp() {
  const std::wstring temp = TempFolder();
  if (!temp.empty()) SetCurrentDirectoryW(temp.c_str());
  const InstallContext& ctx = InstallContext::Get();
  // Every terminal of the install, however often the user started it (a few at the most).
  for (int i = 0; i < kMaxTerminals && StopTerminalRunningFrom(Wide(ctx.InstallDir) + L"\\"); ++i) {
    DebugOutput("Uninstall: a running terminal was ended\r\n");
  }
  std::vector<std::string> left;
  const bool install_gone = RemoveIfThere(ctx.InstallDir, &left);
  RemoveIfThere(ctx.StagingDir, &left);
  RemoveIfThere(ctx.InstallDir + kPreviousSuffix, &left);
  RemoveIfThere(ctx.InstallDir + kFailedLogSuffix, &left);
  std::wstring shortcut;
  if (ReadUninstallShortcut(ctx.PackageNumber, &shortcut) &&
      GetFileAttributesW(shortcut.c_str()) != INVALID_FILE_ATTRIBUTES &&
      !DeleteFileW(shortcut.c_str())) {
    DebugOutput("Uninstall: cannot remove the desktop shortcut\r\n");
    left.push_back("desktop shortcut");
  }
  // The dependency folder, and its place on the Path, stay while another package may use them.
  if (!OtherPackageInstalled()) {
    if (DependPathAdded()) {
      if (RemoveDependDirFromUserPath()) {
        ClearDependPathAdded();
        DebugOutput("Uninstall: the dependency folder is off the user's Path\r\n");
      } else {
        left.push_back("Path");
      }
    }
    RemoveIfThere(ctx.DependDir, &left);
  }
  // While the install is there the entry stays, so that the uninstall can be run again.
  if (install_gone) {
    if (!DeleteUninstallEntry(ctx.PackageNumber)) left.push_back("Apps & features entry");
    const std::wstring beside = UninstallProgramPath();
    if (GetFileAttributesW(beside.c_str()) != INVALID_FILE_ATTRIBUTES &&
        !DeleteFileW(beside.c_str())) {
      MoveFileExW(beside.c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT);
    }
  }
  // The copy in the temporary folder goes at the next restart (where the system lets a program
  // ask for that). Any other program running this stays.
  const std::wstring self = OwnProgramPath();
  if (!self.empty() && lstrcmpiW(self.c_str(), TempCopyPath().c_str()) == 0) {
    MoveFileExW(self.c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT);
  }
  if (left.empty()) {
    DebugOutput("Uninstall: done\r\n");
    return 0;
  }
  std::string text = "These could not be removed:\r\n";
  for (const std::string& item : left) text += item + "\r\n";
  MessageBoxW(nullptr, Wide(text).c_str(), Wide("Quillbank" + ctx.PackageNumber).c_str(),
              MB_OK | MB_ICONWARNING);
  return 1;
}
