// The packages one service publishes, with the look-ups the request handlers need.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "service/message_cache.h"
#include "service/package.h"

class PackageSet {
 public:
  // Adds a loaded package. False with a reason when its number is already published, or when a
  // module of it has the key and name of another package's module but different content.
  bool Add(Package package, std::string* error);

  const Package* Find(const std::string& number) const;
  // The module a download request names; null when no package publishes it.
  const PackageModule* FindModule(const std::string& package_key, const std::string& name,
                                  int32_t num1, int32_t num2) const;
  // The shared base dependency archive: the first package's that has one; null when none does.
  const Package* BaseArchiveOwner() const;

  const std::vector<Package>& packages() const { return packages_; }
  bool empty() const { return packages_.empty(); }

  // The compressed messages kept for this set's modules; null when none are kept.
  MessageCache* cache() const { return cache_.get(); }
  void set_cache(std::shared_ptr<MessageCache> cache) { cache_ = std::move(cache); }

 private:
  std::vector<Package> packages_;
  std::shared_ptr<MessageCache> cache_;
};
