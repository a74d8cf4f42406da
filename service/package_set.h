// The packages one service publishes, with the look-ups the request handlers need.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "service/message_cache.h"
#include "service/package.h"

class PackageSet {
 public:
  // Adds a loaded package, announced (what the update check of its number offers) or only kept
  // (an earlier or a coming version of a releases folder, still served to the downloads that ask
  // for its records). False with a reason when its number is announced already, when that
  // version of it is here already, or when a module of it has the record of a module here (key,
  // name and numbers) but other bytes: a record names one content. The bytes of two files with
  // one record are compared when `compare_bytes` (their sizes always).
  bool Add(Package package, std::string* error, bool announced = true, bool compare_bytes = true);

  // The announced package of `number`; null when none is.
  const Package* Find(const std::string& number) const;
  // The module a download request names; null when no package publishes it. `*owner`, when
  // given, is the package (the version) it was found in. `*holders`, when given (one flag per
  // package), has the flags of the packages without this record cleared: over a whole request
  // it is left with the versions that hold every file asked for.
  const PackageModule* FindModule(const std::string& package_key, const std::string& name,
                                  int32_t num1, int32_t num2, const Package** owner = nullptr,
                                  std::vector<bool>* holders = nullptr) const;
  // Makes the version part3.part4 of `number` (added as kept) the announced one. False when it
  // is not here, or another version of the number is announced.
  bool Announce(const std::string& number, int32_t part3, int32_t part4);
  // Whether packages()[i] is the announced version of its number.
  bool announced(size_t i) const { return announced_[i]; }
  // The shared base dependency archive: the first package's that has one; null when none does.
  const Package* BaseArchiveOwner() const;

  const std::vector<Package>& packages() const { return packages_; }
  bool empty() const { return packages_.empty(); }

  // The compressed messages kept for this set's modules; null when none are kept.
  MessageCache* cache() const { return cache_.get(); }
  void set_cache(std::shared_ptr<MessageCache> cache) { cache_ = std::move(cache); }

 private:
  static std::string RecordKey(const std::string& package_key, const std::string& name,
                               int32_t num1, int32_t num2);

  std::vector<Package> packages_;
  std::vector<bool> announced_;
  // Record -> (package, module) of every module of every package, in the order added.
  std::unordered_map<std::string, std::vector<std::pair<size_t, size_t>>> records_;
  std::shared_ptr<MessageCache> cache_;
};
