// Natively the debug-output channel is stderr.
#include <cstdio>

void PlatformDebugOutput(const char* text) { std::fputs(text, stderr); }
