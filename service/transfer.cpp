// Chunking of files into download replies.
#include "service/transfer.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "wire/message.h"
#include "wire/lzo_compress.h"
#include "wire/records.h"
#include "service/replies.h"

namespace {

constexpr size_t kReadBufferSize = 64 * 1024;

// The most the kept messages of a module of `size` bytes can take: its messages compressed at
// LZO's worst, the last one twice.
uint64_t WorstKeptSize(uint64_t size) {
  auto worst = [](uint64_t records) {
    return CompressWorstCase(kMessageHeaderSize + records * kFileChunkRecordSize);
  };
  const uint64_t chunks = std::max<uint64_t>((size + kChunkDataSize - 1) / kChunkDataSize, 1);
  const uint64_t full = chunks / Transfer::kChunksPerMessage;
  const uint64_t rest = chunks % Transfer::kChunksPerMessage;
  const uint64_t last = rest ? rest : Transfer::kChunksPerMessage;
  return full * worst(Transfer::kChunksPerMessage) + (rest ? worst(rest) : 0) + worst(last);
}

}  // namespace

std::unique_ptr<Transfer> Transfer::Modules(std::vector<const PackageModule*> modules,
                                            MessageCache* cache,
                                            const std::string& corrupt_module,
                                            const std::string& grow_module) {
  std::unique_ptr<Transfer> t(new Transfer());
  t->code_ = kMsgFileDownloadRsp;
  t->corrupt_module_ = corrupt_module;
  t->grow_module_ = grow_module;
  t->items_ = std::move(modules);
  t->cache_ = cache;
  return t;
}

std::unique_ptr<Transfer> Transfer::Ranges(std::vector<Range> ranges) {
  std::unique_ptr<Transfer> t(new Transfer());
  t->code_ = kMsgFileDownloadRsp;
  for (const Range& r : ranges) {
    t->items_.push_back(r.module);
    t->spans_.emplace_back(r.offset, r.offset + r.length);
  }
  return t;
}

std::unique_ptr<Transfer> Transfer::BaseArchive(const std::string& path,
                                                const std::string& wire_name) {
  std::unique_ptr<Transfer> t(new Transfer());
  t->code_ = kMsgSystemDependFileRsp;
  t->wire_name_ = wire_name;
  t->base_path_ = path;
  t->items_.push_back(nullptr);
  return t;
}

const std::string& Transfer::ItemPath() const {
  return items_[item_] ? items_[item_]->source_path : base_path_;
}

Transfer::~Transfer() {
  if (fd_ >= 0) close(fd_);
  if (building_) cache_->AbandonBuild(items_[item_]);
}

bool Transfer::OpenItem(std::string* reason) {
  const std::string& path = ItemPath();
  size_ = 0;
  buffer_pos_ = buffer_len_ = 0;
  if (path.empty()) return true;  // the stand-in for a missing base archive
  fd_ = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  struct stat st {};
  if (fd_ < 0 || fstat(fd_, &st) != 0 || !S_ISREG(st.st_mode)) {
    *reason = "cannot open " + path + ": " + strerror(errno);
    return false;
  }
  // Never other bytes than the record names: a file replaced or rewritten since its version was
  // loaded is not sent (also not into the message cache).
  FileIdentity opened;
  const PackageModule* module = items_[item_];
  if (module != nullptr && module->identity.known &&
      (!ReadFileIdentity(fd_, &opened) || opened != module->identity)) {
    *reason = path + " changed since its version was loaded";
    return false;
  }
  if (static_cast<uint64_t>(st.st_size) > 0x7FFFFFFF) {
    *reason = path + " has grown past 2 GiB";
    return false;
  }
  size_ = file_size_ = static_cast<uint64_t>(st.st_size);
  if (Grown(items_[item_])) size_ += kChunkDataSize;
  if (!spans_.empty()) {
    // Checked against the loaded size when it was asked for; the file is still that one.
    if (spans_[item_].second > file_size_) {
      *reason = path + " is shorter than the range asked for";
      return false;
    }
    offset_ = spans_[item_].first;
    size_ = spans_[item_].second;
  }
  if (buffer_.empty()) buffer_.resize(kReadBufferSize);
  // Kept messages may have carried the start of the file already.
  if (offset_ > 0 && lseek(fd_, static_cast<off_t>(offset_), SEEK_SET) < 0) {
    *reason = "cannot seek in " + path + ": " + strerror(errno);
    return false;
  }
  return true;
}

bool Transfer::ReadChunk(uint8_t* data, size_t length, std::string* reason) {
  // Past the end of a grown module's file: bytes that no file holds.
  const size_t from_file = static_cast<size_t>(
      std::min<uint64_t>(length, file_size_ > offset_ ? file_size_ - offset_ : 0));
  std::memset(data + from_file, 'X', length - from_file);
  length = from_file;
  size_t done = 0;
  while (done < length) {
    if (buffer_pos_ == buffer_len_) {
      ssize_t n = read(fd_, buffer_.data(), buffer_.size());
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        *reason = ItemPath() + " ended early: it changed while being sent";
        return false;
      }
      buffer_pos_ = 0;
      buffer_len_ = static_cast<size_t>(n);
    }
    size_t take = std::min(length - done, buffer_len_ - buffer_pos_);
    std::memcpy(data + done, buffer_.data() + buffer_pos_, take);
    buffer_pos_ += take;
    done += take;
  }
  return true;
}

void Transfer::NextItem() {
  if (fd_ >= 0) close(fd_);
  fd_ = -1;
  ++item_;
  started_ = false;
  offset_ = 0;
  chunk_index_ = 0;
}

bool Transfer::NextPiece(size_t max_records, Next* next, std::string* reason) {
  next->payload = nullptr;
  next->payload_length = 0;
  if (FromCache(max_records, next)) return true;
  const uint64_t before = chunks_;
  if (!NextMessage(max_records, &next->message, reason)) {
    if (building_) cache_->AbandonBuild(items_[item_]);
    building_ = false;
    return false;
  }
  if (!building_) return true;
  // The message ended with the module or with `max_records`; a shorter one would leave a kept
  // module with a message boundary no later download could reproduce.
  const size_t count = static_cast<size_t>(chunks_ - before);
  const bool module_ended = !started_;
  return KeepBuilt(next->message, count, module_ended, next, reason);
}

bool Transfer::FromCache(size_t max_records, Next* next) {
  if (!cache_ || building_ || item_ >= items_.size() || chunk_index_ % kChunksPerMessage != 0) {
    return false;
  }
  const PackageModule* module = items_[item_];
  // Kept messages hold the true bytes, and a corrupted or grown module's must not be kept.
  if (Corrupted(module) || Grown(module)) return false;
  const CachedModule* kept = cache_->Find(module);
  if (!kept) {
    // Start keeping this module when it is sent from its beginning in whole messages.
    if (chunk_index_ == 0 && !started_ && max_records >= kChunksPerMessage) {
      const uint64_t worst = WorstKeptSize(module->size);
      if (cache_->BeginBuild(module, worst)) {
        building_ = true;
        built_ = CachedModule();
      }
    }
    return false;
  }
  const size_t k = chunk_index_ / kChunksPerMessage;
  if (k >= kept->payloads.size() || kept->chunks[k] > max_records) return false;
  const bool last_message = k + 1 == kept->payloads.size();
  const std::vector<uint8_t>& payload =
      last_message && item_ + 1 == items_.size() ? kept->last_of_download : kept->payloads[k];
  next->payload = payload.data();
  next->payload_length = payload.size();
  next->message.clear();
  if (started_) {  // a raw continuation reopens the file where the kept messages end
    close(fd_);
    fd_ = -1;
    started_ = false;
  }
  chunks_ += kept->chunks[k];
  chunk_index_ += kept->chunks[k];
  const uint64_t end = std::min<uint64_t>(uint64_t{chunk_index_} * kChunkDataSize, module->size);
  data_bytes_ += end - offset_;
  offset_ = end;
  if (last_message) NextItem();
  done_ = item_ == items_.size();
  return true;
}

bool Transfer::KeepBuilt(std::vector<uint8_t>& message, size_t count, bool module_ended,
                         Next* next, std::string* reason) {
  const PackageModule* module = items_[module_ended ? item_ - 1 : item_];
  if (!module_ended && count < kChunksPerMessage) {
    cache_->AbandonBuild(module);
    building_ = false;
    return true;
  }
  if (compressed_.empty()) compressed_.resize(kCompressBufferSize);
  auto compress = [&](bool last, std::vector<uint8_t>* kept) {
    EncodeReplyHeader(code_, last, count, kFileChunkRecordSize, 0, message.data());
    const size_t n = Compress(message.data(), message.size(), compressed_.data());
    kept->assign(compressed_.begin(), compressed_.begin() + static_cast<ptrdiff_t>(n));
    built_.bytes += n;
    return n > 0;
  };
  // The kept form is a middle message; the last of a download differs in its header only.
  built_.payloads.emplace_back();
  built_.chunks.push_back(static_cast<uint32_t>(count));
  if (!compress(false, &built_.payloads.back()) ||
      (module_ended && !compress(true, &built_.last_of_download))) {
    *reason = "a download message did not compress";
    return false;
  }
  // The kept buffers stay where they are when the module goes into the cache.
  const std::vector<uint8_t>& send =
      module_ended && done_ ? built_.last_of_download : built_.payloads.back();
  next->payload = send.data();
  next->payload_length = send.size();
  next->message.clear();
  if (module_ended) {
    cache_->FinishBuild(module, std::move(built_));
    built_ = CachedModule();
    building_ = false;
  }
  return true;
}

bool Transfer::NextMessage(size_t max_records, std::vector<uint8_t>* message,
                           std::string* reason) {
  const bool modules = code_ == kMsgFileDownloadRsp;
  const size_t record_size = modules ? kFileChunkRecordSize : kBaseChunkRecordSize;
  max_records = std::min(max_records, kChunksPerMessage);
  // With a cache a message ends with its module: room for the chunks the module has left.
  if (cache_ && item_ < items_.size()) {
    const uint64_t left = items_[item_]->size - std::min(items_[item_]->size, offset_);
    max_records = static_cast<size_t>(std::min<uint64_t>(
        max_records, std::max<uint64_t>((left + kChunkDataSize - 1) / kChunkDataSize, 1)));
  }
  message->assign(kMessageHeaderSize + max_records * record_size, 0);
  size_t count = 0;
  uint8_t data[kChunkDataSize];
  while (count < max_records && item_ < items_.size()) {
    if (!started_) {
      if (!OpenItem(reason)) return false;
      started_ = true;
    }
    const size_t length = static_cast<size_t>(std::min<uint64_t>(kChunkDataSize, size_ - offset_));
    const bool last = offset_ + length == size_;
    if (length > 0 && !ReadChunk(data, length, reason)) return false;
    uint8_t* record = message->data() + kMessageHeaderSize + count * record_size;
    if (modules) {
      const PackageModule& module = *items_[item_];
      if (chunk_index_ == 0 && length > 0 && Corrupted(&module)) data[0] ^= 0xFF;
      FileChunkRecord chunk;
      chunk.Index = chunk_index_;
      SetFieldText(chunk.ModuleName, module.name);
      SetFieldText(chunk.FileName, module.file_part);
      SetFieldText(chunk.Folder, module.folder_part);
      chunk.Data = data;
      chunk.DataLength = static_cast<int32_t>(length);
      chunk.Offset = static_cast<uint32_t>(offset_);
      chunk.Total = static_cast<uint32_t>(spans_.empty() ? size_ : file_size_);
      chunk.Last = last;
      EncodeFileChunkRecord(chunk, record);
    } else {
      BaseChunkRecord chunk;
      chunk.Index = chunk_index_;
      SetFieldText(chunk.FileName, wire_name_);
      chunk.Data = data;
      chunk.DataLength = static_cast<int32_t>(length);
      chunk.Offset = static_cast<uint32_t>(offset_);
      chunk.Total = static_cast<uint32_t>(size_);
      chunk.Last = last;
      EncodeBaseChunkRecord(chunk, record);
    }
    ++count;
    ++chunks_;
    data_bytes_ += length;
    offset_ += length;
    ++chunk_index_;
    if (last) {
      NextItem();
      // With a cache every module ends its message, so that the messages of a module are its
      // own and the next module can be kept or come from the cache.
      if (cache_) break;
    }
  }
  done_ = item_ == items_.size();
  message->resize(kMessageHeaderSize + count * record_size);
  EncodeReplyHeader(code_, done_, count, record_size, 0, message->data());
  return true;
}
