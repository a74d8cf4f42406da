// The native build's system integration is this stand-in: the Windows version, the installer's Path and the
// user's stored Path are values that tests set; deletion and the copy command work on the
// (mapped) test folders they are given. Nothing here reads or changes the real environment.
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

#include <filesystem>
#include <mutex>
#include <string>

#include "base/file_system.h"
#include "install/path_text.h"
#include "install/system.h"
#include "install/testing/system_stand_in.h"

namespace fs = std::filesystem;

namespace {

struct StandIn {
  std::mutex lock;
  int windows_major = 10;
  std::string process_path;
  bool stored_exists = false;
  std::string stored_path;
  int stored_writes = 0;
};

StandIn& State() {
  static StandIn state;
  return state;
}

// The one command the installer runs: cmd.exe /c XCOPY "<from>" "<to>\" /S /E /Y /C. Parses it
// into its two folders.
bool ParseXcopy(const std::string& command, std::string* from, std::string* to) {
  const std::string head = "cmd.exe /c XCOPY \"";
  const std::string tail = "\" /S /E /Y /C";
  if (command.compare(0, head.size(), head) != 0 || command.size() < head.size() + tail.size() ||
      command.compare(command.size() - tail.size(), tail.size(), tail) != 0) {
    return false;
  }
  const std::string middle =
      command.substr(head.size(), command.size() - head.size() - tail.size());
  const size_t split = middle.find("\" \"");
  if (split == std::string::npos) return false;
  *from = middle.substr(0, split);
  *to = middle.substr(split + 3);
  if (to->empty() || to->back() != '\\') return false;
  to->pop_back();
  return true;
}

// XCOPY /S /E /Y /C: the tree with its empty folders, overwriting, going on after errors. Like
// XCOPY it fails when the source is missing or no file was copied.
bool CopyTree(const std::string& from, const std::string& to) {
  const fs::path source = NativePath(from);
  const fs::path target = NativePath(to);
  std::error_code error;
  if (!fs::is_directory(source, error)) return false;
  bool ok = true;
  int files = 0;
  fs::create_directories(target, error);
  for (auto it = fs::recursive_directory_iterator(source, error);
       !error && it != fs::recursive_directory_iterator(); it.increment(error)) {
    const fs::path destination = target / fs::relative(it->path(), source);
    std::error_code step;
    if (it->is_directory(step)) {
      fs::create_directories(destination, step);
    } else {
      fs::copy_file(it->path(), destination, fs::copy_options::overwrite_existing, step);
      if (!step) ++files;
    }
    if (step) ok = false;
  }
  return ok && !error && files > 0;
}

bool RunShell(const std::string& command) {
  const char* argv[] = {"/bin/sh", "-c", command.c_str(), nullptr};
  pid_t child;
  if (posix_spawn(&child, "/bin/sh", nullptr, nullptr, const_cast<char* const*>(argv),
                  environ) != 0) {
    return false;
  }
  int status = 0;
  while (waitpid(child, &status, 0) < 0) {
    if (errno != EINTR) return false;
  }
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

}  // namespace

// POSIX lets a folder move whatever is open in it, and tells nobody who holds what.
std::string FirstHeldFile(const std::string&) { return std::string(); }

bool RunAndWait(const char* command_line, unsigned long* exit_code) {
  bool ok = false;
  if (command_line != nullptr) {
    std::string from;
    std::string to;
    ok = ParseXcopy(command_line, &from, &to) ? CopyTree(from, to) : RunShell(command_line);
  }
  if (exit_code != nullptr) *exit_code = ok ? 0 : 1;
  return ok;
}

void ExtendProcessPath(const std::string& depend_dir) {
  std::lock_guard<std::mutex> guard(State().lock);
  State().process_path = ProcessPathWithDependDir(State().process_path, depend_dir);
}

bool BaseZipWanted(const std::string& depend_dir) {
  std::lock_guard<std::mutex> guard(State().lock);
  return State().windows_major < 10 && State().process_path.find(depend_dir) == std::string::npos;
}

bool BaseZipNeeded(const std::string& depend_dir) {
  if (!BaseZipWanted(depend_dir)) return false;
  AddToUserPath(depend_dir);
  return true;
}

bool AddToUserPath(const std::string& depend_dir) {
  std::lock_guard<std::mutex> guard(State().lock);
  std::string text = State().stored_exists ? State().stored_path : std::string();
  if (!AddDependDirToStoredPath(&text, depend_dir)) return true;
  State().stored_exists = true;
  State().stored_path = text;
  ++State().stored_writes;
  return true;
}

void SetWindowsMajorVersionForTest(int major) {
  std::lock_guard<std::mutex> guard(State().lock);
  State().windows_major = major;
}

void SetProcessPathForTest(const std::string& path) {
  std::lock_guard<std::mutex> guard(State().lock);
  State().process_path = path;
}

std::string ProcessPathForTest() {
  std::lock_guard<std::mutex> guard(State().lock);
  return State().process_path;
}

void SetStoredUserPathForTest(bool exists, const std::string& value) {
  std::lock_guard<std::mutex> guard(State().lock);
  State().stored_exists = exists;
  State().stored_path = exists ? value : std::string();
  State().stored_writes = 0;
}

bool StoredUserPathExistsForTest() {
  std::lock_guard<std::mutex> guard(State().lock);
  return State().stored_exists;
}

std::string StoredUserPathForTest() {
  std::lock_guard<std::mutex> guard(State().lock);
  return State().stored_path;
}

int StoredUserPathWritesForTest() {
  std::lock_guard<std::mutex> guard(State().lock);
  return State().stored_writes;
}
