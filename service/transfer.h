// A download running on one connection: the requested module files one after another (or the
// base archive), cut into chunk records of at most 1001 data bytes and packed into messages.
// It reads each file through a small buffer, so its memory does not grow with the file size.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "service/message_cache.h"
#include "service/package.h"

class Transfer {
 public:
  // Records per message: with the header and LZO's worst-case growth the frame stays below the
  // largest payload an installer accepts.
  static constexpr size_t kChunksPerMessage = 96;

  // Module files, in request order (message code 0x3072). An empty list still yields one
  // message, without records, which tells the installer its download is complete.
  // With a `cache`, each module's messages end with the module, come from the cache when it
  // keeps them, and are kept while they are built when it has room.
  // `corrupt_module` names a module whose file goes out with its first data byte flipped (a
  // fault for tests); that module never comes from the cache nor goes into it. `grow_module`
  // likewise names one whose file goes out with a chunk of kChunkDataSize bytes more than it
  // holds (the chunks' Total says so too).
  static std::unique_ptr<Transfer> Modules(std::vector<const PackageModule*> modules,
                                           MessageCache* cache = nullptr,
                                           const std::string& corrupt_module = "",
                                           const std::string& grow_module = "");
  // Parts of module files, in request order (message code 0x3072): each range's chunk records
  // carry their offset in the file and its size, the last of each range marked Last. Never
  // from the cache, whose messages are of whole files; read from the file.
  struct Range {
    const PackageModule* module = nullptr;
    uint64_t offset = 0;
    uint64_t length = 0;
  };
  static std::unique_ptr<Transfer> Ranges(std::vector<Range> ranges);
  // The base archive under the name the installer asked for (message code 0x3092). An empty
  // `path` sends one empty last chunk: the installer then finds no archive and goes on.
  static std::unique_ptr<Transfer> BaseArchive(const std::string& path,
                                               const std::string& wire_name);
  ~Transfer();

  // Builds the next message, with at most `max_records` records (never more than
  // kChunksPerMessage). False with a reason when a file cannot be opened or ends early.
  bool NextMessage(size_t max_records, std::vector<uint8_t>* message, std::string* reason);
  // A message ready to be enciphered: either `message` (to be compressed) or, when `payload`
  // is set, its LZO payload already compressed (valid until the next call or the end of the
  // transfer).
  struct Next {
    std::vector<uint8_t> message;
    const uint8_t* payload = nullptr;
    size_t payload_length = 0;
  };
  // NextMessage with the cache: a kept message costs no reading and no compression.
  bool NextPiece(size_t max_records, Next* next, std::string* reason);
  bool done() const { return done_; }

  uint16_t code() const { return code_; }
  size_t files_total() const { return items_.size(); }
  size_t files_done() const { return item_; }
  uint64_t data_bytes() const { return data_bytes_; }
  uint64_t chunks() const { return chunks_; }

 private:
  Transfer() = default;
  const std::string& ItemPath() const;
  bool OpenItem(std::string* reason);
  bool ReadChunk(uint8_t* data, size_t length, std::string* reason);
  bool FromCache(size_t max_records, Next* next);
  // Compresses `message` (as built) for the cache and for sending.
  bool KeepBuilt(std::vector<uint8_t>& message, size_t count, bool module_ended, Next* next,
                 std::string* reason);
  void NextItem();
  bool Corrupted(const PackageModule* module) const {
    return module && !corrupt_module_.empty() && module->name == corrupt_module_;
  }
  bool Grown(const PackageModule* module) const {
    return module && !grow_module_.empty() && module->name == grow_module_;
  }

  uint16_t code_ = 0;
  std::string wire_name_;
  std::string corrupt_module_;
  std::string grow_module_;
  uint64_t file_size_ = 0;  // of the open file; size_ is more for a grown module
  std::string base_path_;
  // The modules to send; a single null entry stands for the base archive. Pointers only, so a
  // queued request of 1665 modules costs a few KB.
  std::vector<const PackageModule*> items_;
  // For ranges, each item's first byte and the byte past its last; empty for whole files.
  std::vector<std::pair<uint64_t, uint64_t>> spans_;
  size_t item_ = 0;
  int fd_ = -1;
  uint64_t size_ = 0;    // of the open file
  uint64_t offset_ = 0;  // of the next chunk
  uint32_t chunk_index_ = 0;
  bool started_ = false;
  bool done_ = false;
  std::vector<uint8_t> buffer_;
  size_t buffer_pos_ = 0;
  size_t buffer_len_ = 0;
  uint64_t data_bytes_ = 0;
  uint64_t chunks_ = 0;
  MessageCache* cache_ = nullptr;
  bool building_ = false;  // the current module's messages are being kept as they are built
  CachedModule built_;
  std::vector<uint8_t> compressed_;  // LZO output before it is kept
};
