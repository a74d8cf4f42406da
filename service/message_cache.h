// Compressed download messages kept per module of one package set. A module's chunk messages
// do not depend on the session (only the cipher does), so each is compressed once and every
// later download of the module only enciphers it. One budget bounds every set's cache: past
// it, modules not yet kept are compressed for each download as before, and nothing is evicted
// (under many downloads of a package larger than the budget, eviction would only churn).
// Every worker loop uses the caches at once: the budget's lock guards every cache's
// bookkeeping, and a module once kept is never changed or dropped until its cache goes, so
// what Find returned is read without the lock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "service/package.h"

// The bytes all caches may hold together (--cache-mib). Shared by the caches of the package
// sets still alive after reloads; a set's bytes come back when its last connection closes.
struct MessageCacheBudget {
  uint64_t limit = 0;  // set before any cache is used
  uint64_t used = 0;
  std::mutex mutex;  // guards `used` and the bookkeeping of every cache sharing the budget
};

// One module's messages: the compressed payloads in order with their chunk counts, the last
// one twice: as a middle message and as the last message of a download.
struct CachedModule {
  std::vector<std::vector<uint8_t>> payloads;
  std::vector<uint32_t> chunks;
  std::vector<uint8_t> last_of_download;
  uint64_t bytes = 0;
};

class MessageCache {
 public:
  explicit MessageCache(std::shared_ptr<MessageCacheBudget> budget) : budget_(std::move(budget)) {}
  ~MessageCache();
  MessageCache(const MessageCache&) = delete;
  MessageCache& operator=(const MessageCache&) = delete;

  // The module's messages when they are kept; null otherwise.
  const CachedModule* Find(const PackageModule* module) const;
  // Claims the building of a module's messages, reserving `estimate` bytes. False when it is
  // kept already, another download is building it, or the budget has no room.
  bool BeginBuild(const PackageModule* module, uint64_t estimate);
  // Keeps what was built (the reservation becomes its real size) or gives the claim back.
  void FinishBuild(const PackageModule* module, CachedModule built);
  void AbandonBuild(const PackageModule* module);

  uint64_t bytes() const;
  size_t modules() const;

 private:
  std::shared_ptr<MessageCacheBudget> budget_;
  std::map<const PackageModule*, CachedModule> kept_;
  std::map<const PackageModule*, uint64_t> building_;  // module -> bytes reserved
  uint64_t bytes_ = 0;  // kept and reserved
};
