// The system's debug-output channel (OutputDebugStringA on Windows, stderr natively), for
// messages that have no log: before the window exists, or only for a debugger.
#pragma once

void DebugOutput(const char* text);

// Tests read back what went to the channel. Null uninstalls.
using DebugOutputSink = void (*)(const char* text);
void SetDebugOutputSink(DebugOutputSink sink);
