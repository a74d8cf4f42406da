// Bookkeeping of the kept messages against the shared budget.
#include "service/message_cache.h"

MessageCache::~MessageCache() {
  std::lock_guard<std::mutex> lock(budget_->mutex);
  budget_->used -= bytes_;
}

uint64_t MessageCache::bytes() const {
  std::lock_guard<std::mutex> lock(budget_->mutex);
  return bytes_;
}

size_t MessageCache::modules() const {
  std::lock_guard<std::mutex> lock(budget_->mutex);
  return kept_.size();
}

const CachedModule* MessageCache::Find(const PackageModule* module) const {
  std::lock_guard<std::mutex> lock(budget_->mutex);
  auto it = kept_.find(module);
  return it == kept_.end() ? nullptr : &it->second;
}

bool MessageCache::BeginBuild(const PackageModule* module, uint64_t estimate) {
  std::lock_guard<std::mutex> lock(budget_->mutex);
  if (kept_.count(module) || building_.count(module)) return false;
  if (budget_->used + estimate > budget_->limit) return false;
  budget_->used += estimate;
  bytes_ += estimate;
  building_[module] = estimate;
  return true;
}

void MessageCache::FinishBuild(const PackageModule* module, CachedModule built) {
  std::lock_guard<std::mutex> lock(budget_->mutex);
  auto it = building_.find(module);
  if (it == building_.end()) return;
  budget_->used -= it->second;
  bytes_ -= it->second;
  building_.erase(it);
  // The estimate is the worst case, so the real size always fits where it did.
  budget_->used += built.bytes;
  bytes_ += built.bytes;
  kept_.emplace(module, std::move(built));
}

void MessageCache::AbandonBuild(const PackageModule* module) {
  std::lock_guard<std::mutex> lock(budget_->mutex);
  auto it = building_.find(module);
  if (it == building_.end()) return;
  budget_->used -= it->second;
  bytes_ -= it->second;
  building_.erase(it);
}
