// The question asked when an extracted file cannot be written: abort, retry or ignore. A message
// box without owner on Windows; natively there is nobody to ask unless a test answers.
#pragma once

#include <functional>

// Answers, with the values MessageBoxA returns (IDABORT, IDRETRY, IDIGNORE; 0 when no box could
// be shown).
constexpr int kPromptNoAnswer = 0;
constexpr int kPromptAbort = 3;
constexpr int kPromptRetry = 4;
constexpr int kPromptIgnore = 5;

// Shows `text` (GBK) under `caption` and returns the answer.
int ShowOverwritePrompt(const char* text, const char* caption);

// Tests answer in place of the user in both builds; an empty function removes the hook.
using OverwritePromptHook = std::function<int(const char* text, const char* caption)>;
void SetOverwritePromptForTest(OverwritePromptHook hook);

// The platform's own prompt (MessageBoxA; natively no answer).
int ShowSystemOverwritePrompt(const char* text, const char* caption);
