// Helpers for the extraction tests: where the archives made at test time are, what a folder
// holds, and a prompt answerer that records what it was asked.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "base/file_system.h"
#include "install/overwrite_prompt.h"

// Path text of an archive made by testing/make_archives.sh.
inline std::string TestArchive(const std::string& name) {
  const char* folder = std::getenv("QB_TEST_ARCHIVES");
  return std::string(folder != nullptr ? folder : "") + "\\" + name;
}

// Every file and folder below `folder`, relative, with "/" as separator; folders end in "/".
inline std::set<std::string> ListTree(const std::string& folder) {
  namespace fs = std::filesystem;
  std::set<std::string> entries;
  const fs::path root = NativePath(folder);
  std::error_code error;
  for (auto it = fs::recursive_directory_iterator(root, error);
       !error && it != fs::recursive_directory_iterator(); it.increment(error)) {
    std::string relative = fs::relative(it->path(), root).generic_string();
    if (it->is_directory()) relative += "/";
    entries.insert(relative);
  }
  return entries;
}

inline std::string ContentOf(const std::string& name) { return "content of " + name + "\n"; }

// Answers the overwrite prompt from a list (the last answer repeats) and records each question.
// `on_ask` runs before answering, to free a blocked file for a retry.
class PromptAnswers final : public OverwritePrompt {
 public:
  explicit PromptAnswers(std::vector<int> answers, std::function<void(int asked)> on_ask = {})
      : answers_(std::move(answers)), on_ask_(std::move(on_ask)) {}

  int Ask(const char* text, const char* caption) override {
    texts.push_back(text);
    captions.push_back(caption);
    const int asked = static_cast<int>(texts.size());
    if (on_ask_) on_ask_(asked);
    const size_t index = std::min(texts.size(), answers_.size()) - 1;
    // Guards against a loop that never ends should extraction keep asking.
    return asked > 20 ? kPromptAbort : answers_[index];
  }

  std::vector<std::string> texts;
  std::vector<std::string> captions;

 private:
  std::vector<int> answers_;
  std::function<void(int)> on_ask_;
};
