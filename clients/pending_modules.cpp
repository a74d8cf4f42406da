// The pending modules of a download.
#include "clients/pending_modules.h"

void PendingModules::Add(const std::string& name, const ModuleDownloadRecord& record) {
  const size_t position = records_.size();
  const auto [chain, added] = by_name_.try_emplace(name, Chain{position, position});
  if (!added) {
    if (chain->second.first == kNone) {
      chain->second.first = position;
    } else {
      next_[chain->second.last] = position;
    }
    chain->second.last = position;
  }
  next_.push_back(kNone);
  records_.push_back(record);
  names_.push_back(name);
  done_.push_back(false);
  ++count_;
}

bool PendingModules::Complete(const std::string& name) {
  const auto found = by_name_.find(name);
  if (found == by_name_.end() || found->second.first == kNone) return false;
  const size_t position = found->second.first;
  done_[position] = true;
  found->second.first = next_[position];
  --count_;
  return true;
}

const ModuleDownloadRecord* PendingModules::Find(const std::string& name) const {
  const auto found = by_name_.find(name);
  if (found == by_name_.end() || found->second.first == kNone) return nullptr;
  return &records_[found->second.first];
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
