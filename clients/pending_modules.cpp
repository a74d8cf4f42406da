// The pending modules of a download.
#include "clients/pending_modules.h"

namespace {

uint32_t First(uint64_t chain) { return static_cast<uint32_t>(chain); }
uint32_t Last(uint64_t chain) { return static_cast<uint32_t>(chain >> 32); }
uint64_t Chain(uint32_t first, uint32_t last) { return uint64_t{last} << 32 | first; }

}  // namespace

void PendingModules::Add(const std::string& name, const ModuleDownloadRecord& record) {
  const uint32_t position = static_cast<uint32_t>(records_.size());
  const auto chain = by_name_.find(name);
  if (chain == by_name_.end() || First(chain->second) == kNone) {
    by_name_[name] = Chain(position, position);
  } else {
    next_[Last(chain->second)] = position;
    chain->second = Chain(First(chain->second), position);
  }
  next_.push_back(kNone);
  records_.push_back(record);
  names_.push_back(name);
  done_.push_back(false);
  ++count_;
}

bool PendingModules::Complete(const std::string& name) {
  const auto found = by_name_.find(name);
  if (found == by_name_.end() || First(found->second) == kNone) return false;
  const uint32_t position = First(found->second);
  done_[position] = true;
  found->second = Chain(next_[position], Last(found->second));
  --count_;
  return true;
}

const ModuleDownloadRecord* PendingModules::Find(const std::string& name) const {
  const auto found = by_name_.find(name);
  if (found == by_name_.end() || First(found->second) == kNone) return nullptr;
  return &records_[First(found->second)];
}

std::vector<ModuleDownloadRecord> PendingModules::Records() const {
  std::vector<ModuleDownloadRecord> pending;
  pending.reserve(count_);
  for (size_t i = 0; i < records_.size(); ++i) {
    if (!done_[i]) pending.push_back(records_[i]);
  }
  return pending;
}

std::vector<std::string> PendingModules::Names() const {
  std::vector<std::string> pending;
  pending.reserve(count_);
  for (size_t i = 0; i < names_.size(); ++i) {
    if (!done_[i]) pending.push_back(names_[i]);
  }
  return pending;
}
