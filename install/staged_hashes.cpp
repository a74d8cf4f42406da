// The hashing thread behind StagedHashes.
#include "install/staged_hashes.h"

#include <system_error>

StagedHashes::~StagedHashes() {
  {
    std::lock_guard<std::mutex> guard(lock_);
    stop_ = true;
    queue_.clear();
  }
  changed_.notify_all();
  if (thread_.joinable()) thread_.join();
}

void StagedHashes::Add(const std::string& path) {
  {
    std::lock_guard<std::mutex> guard(lock_);
    hashes_.erase(path);
    if (!thread_.joinable()) {
      try {
        thread_ = std::thread(&StagedHashes::Run, this);
      } catch (const std::system_error&) {
        // No thread: the file gets no hash here, and the check reads it itself.
        return;
      }
    }
    queue_.push_back(Job{path, generations_[path]});
  }
  changed_.notify_all();
}

void StagedHashes::Put(const std::string& path, uint64_t size, const Sha256Digest& digest) {
  std::lock_guard<std::mutex> guard(lock_);
  // Counted as a path seen, as a downloaded file is; a hash under way for it no longer counts.
  ++generations_[path];
  hashes_[path] = Hash{size, digest};
}

void StagedHashes::Forget(const std::string& path) {
  std::lock_guard<std::mutex> guard(lock_);
  ++generations_[path];
  hashes_.erase(path);
}

bool StagedHashes::Lookup(const std::string& path, uint64_t* size, Sha256Digest* digest) {
  std::unique_lock<std::mutex> guard(lock_);
  changed_.wait(guard, [this] { return queue_.empty() && !busy_; });
  const auto found = hashes_.find(path);
  if (found == hashes_.end()) return false;
  *size = found->second.size;
  *digest = found->second.digest;
  return true;
}

void StagedHashes::Run() {
  std::unique_lock<std::mutex> guard(lock_);
  for (;;) {
    changed_.wait(guard, [this] { return stop_ || !queue_.empty(); });
    if (stop_) return;
    const Job job = queue_.front();
    queue_.pop_front();
    busy_ = true;
    guard.unlock();
    Hash hash;
    const bool read = Sha256OfFile(job.path.c_str(), &hash.digest, &hash.size);
    guard.lock();
    busy_ = false;
    if (read && generations_[job.path] == job.generation) hashes_[job.path] = hash;
    changed_.notify_all();
  }
}

size_t StagedHashes::PathsSeen() {
  std::lock_guard<std::mutex> guard(lock_);
  return generations_.size();
}
