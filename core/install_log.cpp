// The install log. One lock serialises each write-and-flush with the close, so a receive thread
// writing while the window thread closes never reaches a closed stream.
#include "core/install_log.h"

#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>

#include "base/file_system.h"
#include "base/make_path_dirs.h"

namespace {

std::mutex& LogLock() {
  static std::mutex lock;
  return lock;
}

FILE* LogFile = nullptr;  // guarded by LogLock()

bool OpenLog(const std::string& staging_dir, const char* mode) {
  const std::string path = staging_dir + "\\" + kInstallLogRelativePath;
  if (!MakePathDirs(path.c_str())) return false;
  FILE* file = OpenFile(path.c_str(), mode);
  std::lock_guard<std::mutex> guard(LogLock());
  if (LogFile != nullptr) std::fclose(LogFile);
  LogFile = file;
  return file != nullptr;
}

}  // namespace

bool OpenInstallLog(const std::string& staging_dir) { return OpenLog(staging_dir, "wb"); }

bool ReopenInstallLog(const std::string& staging_dir) { return OpenLog(staging_dir, "ab"); }

void WriteLog(const char* text) {
  if (text == nullptr) return;
  // One buffer, one write call: a line never interleaves with another.
  std::string line(text);
  line += "\r\n";
  std::lock_guard<std::mutex> guard(LogLock());
  if (LogFile == nullptr) return;
  std::fwrite(line.data(), 1, line.size(), LogFile);
  std::fflush(LogFile);
}

void CloseInstallLog() {
  std::lock_guard<std::mutex> guard(LogLock());
  if (LogFile == nullptr) return;
  std::fclose(LogFile);
  LogFile = nullptr;
}

bool IsInstallLogOpen() {
  std::lock_guard<std::mutex> guard(LogLock());
  return LogFile != nullptr;
}
