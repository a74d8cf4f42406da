// Natively nobody can be asked: no answer, which fails the entry.
#include "install/overwrite_prompt.h"

int ShowSystemOverwritePrompt(const char*, const char*) { return kPromptNoAnswer; }
