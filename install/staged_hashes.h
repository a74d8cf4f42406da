// Hashes of the files a download completes, computed on a thread of its own while the download
// goes on, so that checking a package after its last byte costs almost nothing.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <thread>

#include "base/sha256.h"

class StagedHashes {
 public:
  StagedHashes() = default;
  // Waits for the file being hashed, if any, and ends the thread.
  ~StagedHashes();
  StagedHashes(const StagedHashes&) = delete;
  StagedHashes& operator=(const StagedHashes&) = delete;

  // The file at `path` is complete: it is hashed soon. The thread starts with the first file.
  void Add(const std::string& path);
  // The file at `path` was written with these bytes (a copy hashed as it was written): its hash
  // is known without reading it again.
  void Put(const std::string& path, uint64_t size, const Sha256Digest& digest);
  // The file at `path` is being written again: a hash of it, done or under way, no longer counts.
  void Forget(const std::string& path);
  // Waits until every file added so far is hashed, then gives the hash of `path`. False when it
  // has none: never added, forgotten since, or unreadable.
  bool Lookup(const std::string& path, uint64_t* size, Sha256Digest* digest);
  // How many paths, by their spelling, were written (Forget) or hashed (Add). A file system that
  // takes one file by several spellings (letter case, "/" for "\", a trailing dot) keeps one
  // file for them: more paths than files means some hash may be of a name written over since.
  size_t PathsSeen();

 private:
  struct Hash {
    uint64_t size = 0;
    Sha256Digest digest = {};
  };
  struct Job {
    std::string path;
    uint64_t generation = 0;
  };
  void Run();

  std::mutex lock_;
  std::condition_variable changed_;
  std::deque<Job> queue_;
  bool busy_ = false;
  bool stop_ = false;
  // Bumped by Forget: a hash finished for an older generation is dropped.
  std::map<std::string, uint64_t> generations_;
  std::map<std::string, Hash> hashes_;
  std::thread thread_;
};
