// The question asked when an extracted file cannot be written: abort, retry or ignore. A message
// box without owner on Windows; natively there is nobody to ask. Tests and fuzz targets answer in
// place of the user through an OverwritePrompt of their own, given to the extraction.
#pragma once

// Answers, with the values MessageBoxA returns (IDABORT, IDRETRY, IDIGNORE; 0 when no box could
// be shown).
constexpr int kPromptNoAnswer = 0;
constexpr int kPromptAbort = 3;
constexpr int kPromptRetry = 4;
constexpr int kPromptIgnore = 5;

// Whoever answers in place of the user.
class OverwritePrompt {
 public:
  // The question `text` (GBK) under `caption`; returns the answer.
  virtual int Ask(const char* text, const char* caption) = 0;

 protected:
  ~OverwritePrompt() = default;
};

// The platform's own prompt, which asks the user (MessageBoxA; natively no answer).
int ShowSystemOverwritePrompt(const char* text, const char* caption);
