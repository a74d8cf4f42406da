// Chunking of files into download replies.
#include "service/transfer.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "net/message.h"
#include "net/records.h"
#include "service/replies.h"

namespace {
constexpr size_t kReadBufferSize = 64 * 1024;
}

std::unique_ptr<Transfer> Transfer::Modules(std::vector<const PackageModule*> modules) {
  std::unique_ptr<Transfer> t(new Transfer());
  t->code_ = kMsgFileDownloadRsp;
  t->items_ = std::move(modules);
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
}

bool Transfer::OpenItem(std::string* reason) {
  const std::string& path = ItemPath();
  size_ = 0;
  offset_ = 0;
  chunk_index_ = 0;
  buffer_pos_ = buffer_len_ = 0;
  if (path.empty()) return true;  // the stand-in for a missing base archive
  fd_ = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  struct stat st {};
  if (fd_ < 0 || fstat(fd_, &st) != 0 || !S_ISREG(st.st_mode)) {
    *reason = "cannot open " + path + ": " + strerror(errno);
    return false;
  }
  if (static_cast<uint64_t>(st.st_size) > 0x7FFFFFFF) {
    *reason = path + " has grown past 2 GiB";
    return false;
  }
  size_ = static_cast<uint64_t>(st.st_size);
  if (buffer_.empty()) buffer_.resize(kReadBufferSize);
  return true;
}

bool Transfer::ReadChunk(uint8_t* data, size_t length, std::string* reason) {
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

bool Transfer::NextMessage(size_t max_records, std::vector<uint8_t>* message,
                           std::string* reason) {
  const bool modules = code_ == kMsgFileDownloadRsp;
  const size_t record_size = modules ? kFileChunkRecordSize : kBaseChunkRecordSize;
  max_records = std::min(max_records, kChunksPerMessage);
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
      FileChunkRecord chunk;
      chunk.Index = chunk_index_;
      SetFieldText(chunk.ModuleName, module.name);
      SetFieldText(chunk.FileName, module.file_part);
      SetFieldText(chunk.Folder, module.folder_part);
      chunk.Data = data;
      chunk.DataLength = static_cast<int32_t>(length);
      chunk.Offset = static_cast<uint32_t>(offset_);
      chunk.Total = static_cast<uint32_t>(size_);
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
      if (fd_ >= 0) close(fd_);
      fd_ = -1;
      ++item_;
      started_ = false;
    }
  }
  done_ = item_ == items_.size();
  message->resize(kMessageHeaderSize + count * record_size);
  EncodeReplyHeader(code_, done_, count, record_size, 0, message->data());
  return true;
}
