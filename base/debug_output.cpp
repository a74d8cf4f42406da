// Routes debug-output lines to a test sink when one is installed, else to the platform channel.
#include "base/debug_output.h"

#include <atomic>

void PlatformDebugOutput(const char* text);  // debug_output_win.cpp / debug_output_posix.cpp

namespace {
std::atomic<DebugOutputSink> g_sink{nullptr};
}

void DebugOutput(const char* text) {
  if (text == nullptr) return;
  if (DebugOutputSink sink = g_sink.load()) {
    sink(text);
    return;
  }
  PlatformDebugOutput(text);
}

void SetDebugOutputSink(DebugOutputSink sink) { g_sink.store(sink); }
