// The modules a download still waits for, in the order of the module list, found by name in
// constant time: a package may hold 65,535 modules, and each finished or reused one leaves.
#pragma once

#include <cstddef>
#include <string>
#include <unordered_map>
#include <vector>

#include "wire/records.h"

class PendingModules {
 public:
  void Add(const std::string& name, const ModuleDownloadRecord& record);
  // The first pending module of that name leaves; false when none of that name is pending.
  bool Complete(const std::string& name);
  // The first pending module of that name, or null.
  const ModuleDownloadRecord* Find(const std::string& name) const;
  size_t Count() const { return count_; }
  // The pending ones, in list order.
  std::vector<ModuleDownloadRecord> Records() const;
  std::vector<std::string> Names() const;

 private:
  std::vector<ModuleDownloadRecord> records_;
  std::vector<std::string> names_;
  std::vector<bool> done_;
  // A list may name a module twice; each occurrence is one file to wait for. Per name, the first
  // and last of its positions still pending; next_ links each position to the next of that name.
  static constexpr size_t kNone = static_cast<size_t>(-1);
  struct Chain {
    size_t first;
    size_t last;
  };
  std::unordered_map<std::string, Chain> by_name_;
  std::vector<size_t> next_;
  size_t count_ = 0;
};
