// On Windows the debug-output channel is OutputDebugStringA.
#include <windows.h>

void PlatformDebugOutput(const char* text) { OutputDebugStringA(text); }
