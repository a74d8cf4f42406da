// The module files a download completes by parts: each one already in staging at its full
// size, built from the earlier install's chunks, with byte ranges still to fetch. It says what
// to ask for (the ranges not done yet, split into requests within the wire's bounds) and takes
// the chunk records of the replies, which must come exactly as asked: the range at the head of
// what was asked, from its next byte on, never past its end. Not thread-safe: the download
// client holds its lock around every call.
#pragma once

#include <cstdint>
#include <cstdio>
#include <deque>
#include <map>
#include <string>
#include <vector>

#include "base/sha256.h"
#include "wire/records.h"

struct FileRange {
  uint64_t offset = 0;
  uint32_t length = 0;
};

// A chunk of the file whose start was taken from the old file unproven (an append): once the
// file's ranges are in, its bytes must hash to `sha256`, else the chunk is fetched whole.
struct ProvenChunk {
  uint64_t offset = 0;
  uint32_t length = 0;
  Sha256Digest sha256 = {};
};

class RangedFiles {
 public:
  RangedFiles() = default;
  ~RangedFiles() { Drop(); }
  RangedFiles(const RangedFiles&) = delete;
  RangedFiles& operator=(const RangedFiles&) = delete;

  // The file at `path` (full staging path) of module `record`, `size` bytes, lacks `ranges`.
  // False when a range is empty, leaves the file or is longer than kMaxRangeLength.
  bool Add(const ModuleDownloadRecord& record, const std::string& path, uint64_t size,
           const std::vector<FileRange>& ranges, const std::vector<ProvenChunk>& proofs = {});
  // A file completed by parts, done or not: its records are only ever written here.
  bool Has(const std::string& path) const { return files_.count(path) != 0; }
  bool HasModule(const std::string& module) const;
  size_t Count() const { return files_.size(); }
  // The requests for every range not done, in order: at most kMaxRangesPerRequest ranges and
  // kMaxRangeRequestBytes bytes each. What they ask for is what the replies must be, in order.
  std::vector<std::vector<ModuleRangeRecord>> Requests();
  // The requests for the ranges of `path` not done and not asked for yet (a chunk that failed
  // its proof), asked after everything asked before.
  std::vector<std::vector<ModuleRangeRecord>> RequestsFor(const std::string& path);

  struct Outcome {
    std::string refusal;       // a record that is not what was asked for
    std::string failed_path;   // the file could not be written
    std::string finished;      // the path of a file now complete (its last range in)
    std::string module;        // its module
    uint64_t size = 0;
    bool started = false;      // the first byte written to this file on this connection
    bool ask_again = false;    // a chunk failed its proof: RequestsFor(path) asks for it whole
  };
  // One chunk record for `path` (formed from the record's folder and name). Writes its bytes at
  // their offset.
  Outcome Write(const std::string& path, const FileChunkRecord& chunk);
  // The connection is gone: the open file is closed, what was asked for and did not come is
  // asked for again by the next Requests; of a range cut short only the bytes that did not
  // come. A range counts as done only once its last byte is written.
  void Drop();
  uint64_t bytes_asked() const { return bytes_asked_; }

 private:
  struct File {
    ModuleDownloadRecord record;
    uint64_t size = 0;
    std::vector<FileRange> ranges;
    std::vector<bool> done;
    std::vector<bool> asked;  // on this connection
    size_t left = 0;  // ranges not done
    std::vector<ProvenChunk> proofs;
  };
  // Appends the requests for file `path`'s ranges not done and not asked to `requests`.
  void AskFor(const std::string& path, File& file,
              std::vector<std::vector<ModuleRangeRecord>>* requests, uint64_t* request_bytes);
  // The file's ranges are in: each proof checked against what is written. False, with the
  // chunks that failed added as ranges to fetch, when one fails.
  bool Proven(File& file);
  struct Asked {
    std::string path;
    size_t range = 0;
    uint64_t next = 0;  // the offset the next record must have
  };
  std::map<std::string, File> files_;
  std::deque<Asked> asked_;
  FILE* open_ = nullptr;
  std::string open_path_;
  uint64_t bytes_asked_ = 0;
};
