// Time-stamped log lines under one lock, so lines from different threads never interleave.
#include "service/service_log.h"

#include <cstdarg>
#include <cstdio>
#include <ctime>
#include <mutex>
#include <sys/time.h>

namespace {

std::mutex& LogMutex() {
  static std::mutex mutex;
  return mutex;
}

ServiceLogSink& Sink() {
  static ServiceLogSink sink;
  return sink;
}

bool quiet = false;
FILE* log_file = nullptr;

std::string TimeStamp() {
  timeval now{};
  gettimeofday(&now, nullptr);
  tm parts{};
  localtime_r(&now.tv_sec, &parts);
  char text[40];
  size_t n = strftime(text, sizeof(text), "%Y-%m-%d %H:%M:%S", &parts);
  snprintf(text + n, sizeof(text) - n, ".%03d", static_cast<int>(now.tv_usec / 1000));
  return text;
}

}  // namespace

void ServiceLog(const std::string& line) {
  std::lock_guard<std::mutex> lock(LogMutex());
  if (Sink()) {
    Sink()(line);
    return;
  }
  if (quiet) return;
  std::string text = TimeStamp() + " " + line + "\n";
  FILE* out = log_file ? log_file : stderr;
  fwrite(text.data(), 1, text.size(), out);
  fflush(out);
}

void ServiceLogF(const char* format, ...) {
  char buffer[1024];
  va_list args;
  va_start(args, format);
  vsnprintf(buffer, sizeof(buffer), format, args);
  va_end(args);
  ServiceLog(buffer);
}

void SetServiceLogSink(ServiceLogSink sink) {
  std::lock_guard<std::mutex> lock(LogMutex());
  Sink() = std::move(sink);
}

void SetServiceLogQuiet(bool value) {
  std::lock_guard<std::mutex> lock(LogMutex());
  quiet = value;
}

void SetServiceLogFile(FILE* file) {
  std::lock_guard<std::mutex> lock(LogMutex());
  log_file = file;
}
