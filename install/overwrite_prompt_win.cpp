// The overwrite question as a message box without owner window.
#include <windows.h>

#include "install/overwrite_prompt.h"

int ShowSystemOverwritePrompt(const char* text, const char* caption) {
  const int answer = MessageBoxA(/*hWnd=*/nullptr, text, caption, MB_ABORTRETRYIGNORE);
  // A box that could not be shown gives 0, or -1 from the dialog code under it: no answer.
  return answer > 0 ? answer : kPromptNoAnswer;
}
