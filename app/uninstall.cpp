// The uninstall: registration after an install, and the two stages run from the entry. Texts are
// built in fixed buffers with the system's string functions, which keeps the shipped program
// within its size budget.
#include "app/uninstall.h"

#include <windows.h>

#include <string>
#include <vector>

#include "app/exit_codes.h"
#include "base/debug_output.h"
#include "base/deployment_values.h"
#include "base/file_system.h"
#include "base/text_convert.h"
#include "core/install_context.h"
#include "core/install_log.h"
#include "install/folder_swap.h"
#include "install/system.h"
#include "install/system_win.h"
#include "install/uninstall_entry.h"
#include "install/uninstall_registry.h"

namespace {

constexpr DWORD kParentWaitMs = 30000;
constexpr int kMaxTerminals = 8;

// A UTF-16 text of at most kChars characters, built by appending; `ok()` is false once anything
// did not fit (and then the text is not to be used).
class WideText {
 public:
  static constexpr int kChars = 1024;
  WideText() { text_[0] = L'\0'; }
  WideText& Add(const wchar_t* text) {
    const int length = lstrlenW(text);
    if (length_ + length >= kChars) {
      ok_ = false;
      return *this;
    }
    lstrcpyW(text_ + length_, text);
    length_ += length;
    return *this;
  }
  // GBK (or plain ASCII) text: the product name, the package number.
  WideText& AddGbk(const std::string& text) { return AddNarrow(text, kCodePageGbk); }
  // A path as the system's narrow functions gave it (the install folder).
  WideText& AddSystem(const std::string& text) { return AddNarrow(text, kCodePageSystem); }
  bool ok() const { return ok_ && length_ > 0; }
  const wchar_t* get() const { return text_; }
  wchar_t* buffer() { return text_; }
  int length() const { return length_; }
  // After the buffer was written by someone else.
  void Adopt() { length_ = lstrlenW(text_); }

 private:
  WideText& AddNarrow(const std::string& text, unsigned code_page) {
    if (!ToWide(text.c_str(), reinterpret_cast<char16_t*>(text_ + length_), kChars - length_,
                code_page)) {
      ok_ = false;
      return *this;
    }
    length_ = lstrlenW(text_);
    return *this;
  }

  wchar_t text_[kChars];
  int length_ = 0;
  bool ok_ = true;
};

bool OwnProgramPath(WideText* path) {
  const DWORD length = GetModuleFileNameW(nullptr, path->buffer(), WideText::kChars);
  if (length == 0 || length >= WideText::kChars) return false;
  path->Adopt();
  return true;
}

// The temporary folder, ending in "\".
bool TempFolder(WideText* folder) {
  const DWORD length = GetTempPathW(WideText::kChars, folder->buffer());
  if (length == 0 || length >= WideText::kChars) return false;
  folder->Adopt();
  return true;
}

// Where the first stage puts the copy that does the work.
bool TempCopyPath(const InstallContext& ctx, WideText* path) {
  if (!TempFolder(path)) return false;
  path->Add(L"Quillbank").AddGbk(ctx.PackageNumber).Add(L"-uninstall.exe");
  return path->ok();
}

bool UninstallProgramPath(const InstallContext& ctx, WideText* path) {
  path->AddSystem(ctx.InstallDir + kUninstallProgramSuffix);
  return path->ok();
}

bool Exists(const wchar_t* path) { return GetFileAttributesW(path) != INVALID_FILE_ATTRIBUTES; }

// True when the application-data folder holds the install folder of another of the publisher's
// packages, which may use the dependency folder too. In doubt (the folder cannot be listed) true.
bool OtherPackageInstalled(const InstallContext& ctx) {
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

// Removes `path` (a file or a folder) when it is there; false when it is there afterwards, and
// then it is named in `left`, and `*held_file` is set when a file in it was in the way.
bool RemoveIfThere(const std::string& path, std::string* left, bool* held_file) {
  if (!PathExists(path.c_str())) return true;
  std::string held;
  DeletePath(path.c_str(), &held);
  const bool gone = !PathExists(path.c_str());
  DebugOutput(((gone ? "Uninstall: removed " : "Uninstall: cannot remove ") + path + "\r\n").c_str());
  // The file in the way, when it is not the folder itself: what the user has to close.
  const bool file_in_way = !gone && !held.empty() && held != path;
  if (!gone) *left += (file_in_way ? path + " (" + held + ")" : path) + "\r\n";
  if (file_in_way) *held_file = true;
  return gone;
}

// True when `folder` is a folder with nothing in it.
bool EmptyFolder(const std::string& folder) {
  WIN32_FIND_DATAA entry = {};
  HANDLE find = FindFirstFileA((folder + "\\*").c_str(), &entry);
  if (find == INVALID_HANDLE_VALUE) return false;
  bool empty = true;
  do {
    empty = lstrcmpA(entry.cFileName, ".") == 0 || lstrcmpA(entry.cFileName, "..") == 0;
  } while (empty && FindNextFileA(find, &entry));
  FindClose(find);
  return empty;
}

// The second stage's exit code, to the first stage waiting on the pipe `pipe` (0: none).
void SendResult(uint64_t pipe, int code) {
  if (pipe == 0) return;
  const HANDLE handle = reinterpret_cast<HANDLE>(static_cast<uintptr_t>(pipe));
  const DWORD value = static_cast<DWORD>(code);
  DWORD written = 0;
  if (!WriteFile(handle, &value, sizeof value, &written, nullptr) || written != sizeof value) {
    DebugOutput("Uninstall: the first stage did not take the result\r\n");
  }
  CloseHandle(handle);
}

// Waits (a while at most) for the process `parent` names to exit.
void WaitForUninstallParent(uint64_t parent) {
  if (parent == 0) return;
  const HANDLE process = reinterpret_cast<HANDLE>(static_cast<uintptr_t>(parent));
  WaitForSingleObject(process, kParentWaitMs);
  CloseHandle(process);
}

}  // namespace

void ShowUninstallMustWait(const std::string& package_number) {
  WideText caption;
  caption.Add(L"Quillbank").AddGbk(package_number);
  MessageBoxW(nullptr,
              L"The installer of this package is still running. Close it, then uninstall again.",
              caption.get(), MB_OK | MB_ICONWARNING);
}

bool RegisterUninstall(const InstallContext& ctx, const VersionPair& installed) {
  WideText self, program;
  if (!OwnProgramPath(&self) || !UninstallProgramPath(ctx, &program) ||
      !CopyFileW(self.get(), program.get(), FALSE)) {
    return false;
  }
  std::vector<FileEntry> files;
  uint64_t bytes = 0;
  if (ListFiles(ctx.InstallDir, &files)) {
    for (const FileEntry& file : files) bytes += file.size;
  }
  // A product name the package query did not give still names the entry.
  WideText name, version, publisher, location, icon, command, quiet_command;
  name.AddGbk(ctx.ProductName.empty() ? "Quillbank" + ctx.PackageNumber : ctx.ProductName);
  version.AddGbk(DisplayVersionText(installed));
  publisher.AddGbk(QB_PUBLISHER_NAME);
  location.AddSystem(ctx.InstallDir);
  icon.AddSystem(ctx.InstallDir + "\\" + kTerminalExeName);
  command.Add(L"\"").Add(program.get()).Add(L"\" ").AddGbk(kUninstallArgument);
  quiet_command.Add(command.get()).Add(L" /verysilent");
  const std::wstring shortcut = DesktopShortcutPath(ctx);
  if (!name.ok() || !version.ok() || !location.ok() || !icon.ok() || !command.ok() ||
      !quiet_command.ok()) {
    return false;
  }
  UninstallValues values;
  values.display_name = name.get();
  values.display_version = version.get();
  values.publisher = publisher.get();
  values.install_location = location.get();
  values.display_icon = icon.get();
  values.uninstall_string = command.get();
  values.quiet_uninstall_string = quiet_command.get();
  values.shortcut = shortcut.c_str();
  values.estimated_size_kb = EstimatedSizeKb(bytes);
  return WriteUninstallEntry(ctx.PackageNumber, values);
}

int UninstallFromEntry(const InstallContext& ctx, UiMode ui, SingleInstance* instance) {
  CommandLine here;
  here.ui = ui;
  // The copy in the temporary folder does the work, so that this program, and the folder Windows
  // may have started it in, can go.
  WideText self, temp, copy;
  HANDLE own = nullptr;
  HANDLE result_read = nullptr;
  HANDLE result_write = nullptr;
  SECURITY_ATTRIBUTES inherited = {sizeof inherited, nullptr, /*bInheritHandle=*/TRUE};
  if (!OwnProgramPath(&self) || !TempFolder(&temp) || !TempCopyPath(ctx, &copy) ||
      !CopyFileW(self.get(), copy.get(), FALSE) ||
      !DuplicateHandle(GetCurrentProcess(), GetCurrentProcess(), GetCurrentProcess(), &own,
                       SYNCHRONIZE, /*bInheritHandle=*/TRUE, 0)) {
    DebugOutput("Uninstall: no copy in the temporary folder; this one stays until a restart\r\n");
    return UninstallFromTemp(ctx, here);
  }
  // The copy's result comes back on a pipe whose writing end only the copy holds.
  if (!CreatePipe(&result_read, &result_write, &inherited, 0)) {
    result_read = result_write = nullptr;
  } else if (!SetHandleInformation(result_read, HANDLE_FLAG_INHERIT, 0)) {
    // A reading end the copy inherited would keep the pipe open for ever: no result then.
    CloseHandle(result_read);
    CloseHandle(result_write);
    result_read = result_write = nullptr;
  }
  // Nothing of this process keeps a folder the copy deletes.
  SetCurrentDirectoryW(temp.get());
  const std::wstring arguments = UninstallRunArguments(
      reinterpret_cast<uintptr_t>(own), reinterpret_cast<uintptr_t>(result_write), ui);
  WideText command;
  command.Add(L"\"").Add(copy.get()).Add(L"\" ").Add(arguments.c_str());
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process = {};
  const BOOL started =
      command.ok() && CreateProcessW(copy.get(), command.buffer(), nullptr, nullptr,
                                     /*bInheritHandles=*/TRUE, 0, nullptr, temp.get(), &startup,
                                     &process);
  CloseHandle(own);
  if (result_write != nullptr) CloseHandle(result_write);
  if (!started) {
    DebugOutput("Uninstall: the copy in the temporary folder did not start\r\n");
    if (result_read != nullptr) CloseHandle(result_read);
    DeleteFileW(copy.get());
    return UninstallFromTemp(ctx, here);
  }
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  // The copy takes the package's mutex; this one only waits for its result.
  instance->Release();
  DebugOutput("Uninstall: handed to the copy in the temporary folder\r\n");
  // A copy that ends without a result (it crashed, say) closes the pipe: a failure. Without a
  // pipe, nothing tells how it went.
  DWORD code = kExitFailed;
  DWORD read = 0;
  if (result_read == nullptr ||
      !ReadFile(result_read, &code, sizeof code, &read, nullptr) || read != sizeof code) {
    code = kExitFailed;
  }
  if (result_read != nullptr) CloseHandle(result_read);
  return static_cast<int>(code);
}

int UninstallFromTemp(const InstallContext& ctx, const CommandLine& command) {
  WideText temp;
  if (TempFolder(&temp)) SetCurrentDirectoryW(temp.get());
  WideText folder;
  folder.AddSystem(ctx.InstallDir).Add(L"\\");
  // Every terminal of the install, however often the user started it (a few at the most).
  for (int i = 0; i < kMaxTerminals && folder.ok() && StopTerminalRunningFrom(folder.get()); ++i) {
    DebugOutput("Uninstall: a running terminal was ended\r\n");
  }
  std::string left;
  bool held_file = false;
  std::string install_left;
  bool install_gone = RemoveIfThere(ctx.InstallDir, &install_left, &held_file);
  // Emptied, but the folder itself in use: the first stage's current folder when it was started
  // there, which a 32-bit program under Wine's WoW64 keeps even after it has changed folders. It
  // goes once the first stage has ended (below); nothing of the install is left meanwhile.
  const bool folder_after_parent =
      !install_gone && !held_file && command.parent != 0 && EmptyFolder(ctx.InstallDir);
  if (folder_after_parent) {
    install_gone = true;
  } else {
    left += install_left;
  }
  RemoveIfThere(ctx.StagingDir, &left, &held_file);
  RemoveIfThere(ctx.InstallDir + kPreviousSuffix, &left, &held_file);
  RemoveIfThere(ctx.InstallDir + kFailedLogSuffix, &left, &held_file);
  WideText shortcut;
  if (ReadUninstallShortcut(ctx.PackageNumber, shortcut.buffer(), WideText::kChars) &&
      Exists(shortcut.get())) {
    // Only the shortcut the install made: one the user (or another program) put in its place
    // since stays.
    if (!IsOurShortcut(shortcut.get(), ctx.InstallDir)) {
      DebugOutput("Uninstall: the desktop shortcut points elsewhere now; it stays\r\n");
    } else if (!DeleteFileW(shortcut.get())) {
      left += "desktop shortcut\r\n";
    }
  }
  // The dependency folder, and its place on the Path, stay while another package may use them.
  if (!OtherPackageInstalled(ctx)) {
    if (DependPathAdded()) {
      if (RemoveDependDirFromUserPath(ctx.DependDir)) {
        ClearDependPathAdded();
        DebugOutput("Uninstall: the dependency folder is off the user's Path\r\n");
      } else {
        left += "Path\r\n";
      }
    }
    RemoveIfThere(ctx.DependDir, &left, &held_file);
  }
  // While the install is there the entry stays, so that the uninstall can be run again.
  if (install_gone && !DeleteUninstallEntry(ctx.PackageNumber)) left += "Apps & features entry\r\n";
  const int code = left.empty() ? kExitSuccess : held_file ? kExitFileHeld : kExitFailed;
  // The first stage learns the result now, and exits with it.
  SendResult(command.result_pipe, code);
  if (!left.empty() && !command.quiet()) {
    WideText text, caption;
    text.Add(L"These could not be removed:\r\n").AddSystem(left);
    caption.Add(L"Quillbank").AddGbk(ctx.PackageNumber);
    MessageBoxW(nullptr, text.get(), caption.get(), MB_OK | MB_ICONWARNING);
  }
  // The program beside the install is the first stage: it goes once it has ended.
  WaitForUninstallParent(command.parent);
  if (folder_after_parent && !DeletePath(ctx.InstallDir.c_str())) {
    DebugOutput("Uninstall: the emptied install folder is still in use; it stays\r\n");
  }
  if (install_gone) {
    WideText beside;
    if (UninstallProgramPath(ctx, &beside) && Exists(beside.get()) && !DeleteFileW(beside.get())) {
      DeleteAtNextLogon(ctx.PackageNumber, L"UninstallProgram", beside.get());
    }
  }
  // The copy in the temporary folder, which cannot delete itself while it runs, goes at the
  // user's next logon. Any other program running this stays.
  WideText self, copy;
  if (OwnProgramPath(&self) && TempCopyPath(ctx, &copy) && lstrcmpiW(self.get(), copy.get()) == 0 &&
      !DeleteAtNextLogon(ctx.PackageNumber, L"UninstallCopy", self.get())) {
    DebugOutput("Uninstall: cannot have the copy in the temporary folder deleted at logon\r\n");
  }
  DebugOutput(code == kExitSuccess ? "Uninstall: done\r\n" : "Uninstall: something is left\r\n");
  return code;
}
