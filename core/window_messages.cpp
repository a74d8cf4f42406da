// Delivery of the clients' messages: a test sink when installed, else the platform's window.
#include "core/window_messages.h"

#include <utility>

bool PlatformPost(unsigned message, uintptr_t w_param, intptr_t l_param);   // _win / _posix
intptr_t PlatformSend(unsigned message, uintptr_t w_param, intptr_t l_param);

namespace {
MainWindowSink& Sink() {
  static MainWindowSink sink;
  return sink;
}
}  // namespace

bool PostToMainWindow(unsigned message, uintptr_t w_param, intptr_t l_param) {
  if (Sink()) {
    Sink()(message, w_param, l_param, /*sent=*/false);
    return true;
  }
  return PlatformPost(message, w_param, l_param);
}

intptr_t SendToMainWindow(unsigned message, uintptr_t w_param, intptr_t l_param) {
  if (Sink()) {
    Sink()(message, w_param, l_param, /*sent=*/true);
    return 0;
  }
  return PlatformSend(message, w_param, l_param);
}

void SetMainWindowSink(MainWindowSink sink) { Sink() = std::move(sink); }
