// On Windows the clients' messages go to the installer window.
#include <windows.h>

#include <cstdint>

#include "core/install_context.h"

bool PlatformPost(unsigned message, uintptr_t w_param, intptr_t l_param) {
  return PostMessageW(static_cast<HWND>(MainWindowHandle), message, w_param, l_param) != FALSE;
}

intptr_t PlatformSend(unsigned message, uintptr_t w_param, intptr_t l_param) {
  return SendMessageW(static_cast<HWND>(MainWindowHandle), message, w_param, l_param);
}
