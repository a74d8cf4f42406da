// The overwrite question as a message box without owner window.
#include <windows.h>

#include "install/overwrite_prompt.h"

int ShowSystemOverwritePrompt(const char* text, const char* caption) {
  return MessageBoxA(/*hWnd=*/nullptr, text, caption, MB_ABORTRETRYIGNORE);
}
