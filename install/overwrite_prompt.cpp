// Routes the overwrite question to a test's hook when one is installed, else to the system.
#include "install/overwrite_prompt.h"

#include <mutex>
#include <utility>

namespace {
std::mutex g_lock;
OverwritePromptHook& Hook() {
  static OverwritePromptHook hook;
  return hook;
}
}  // namespace

int ShowOverwritePrompt(const char* text, const char* caption) {
  OverwritePromptHook hook;
  {
    std::lock_guard<std::mutex> guard(g_lock);
    hook = Hook();
  }
  if (hook) return hook(text, caption);
  return ShowSystemOverwritePrompt(text, caption);
}

void SetOverwritePromptForTest(OverwritePromptHook hook) {
  std::lock_guard<std::mutex> guard(g_lock);
  Hook() = std::move(hook);
}
