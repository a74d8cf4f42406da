// Natively there is no window: without a test sink, messages are dropped.
#include <cstdint>

bool PlatformPost(unsigned, uintptr_t, intptr_t) { return false; }
intptr_t PlatformSend(unsigned, uintptr_t, intptr_t) { return 0; }
