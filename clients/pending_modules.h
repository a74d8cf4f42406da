// The modules a download still waits for, in the order of the module list, found by name in
// logarithmic time: a package may hold 65,535 modules, and each finished or reused one leaves.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
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
  // of its positions still pending (low 32 bits) and its last position (high 32 bits); next_
  // links each position to the next of that name. (One 64-bit value, so that the map is the
  // same type as the download client's others: the shipped program stays within its budget.)
  static constexpr uint32_t kNone = 0xFFFFFFFF;
  std::map<std::string, uint64_t> by_name_;
  std::vector<uint32_t> next_;
  size_t count_ = 0;
};
