// Asking for the missing parts of staged files and putting the replies in place.
#include "clients/ranged_files.h"

#include <cstring>

#include "base/file_system.h"

bool RangedFiles::Add(const ModuleDownloadRecord& record, const std::string& path,
                      uint64_t size, const std::vector<FileRange>& ranges,
                      const std::vector<ProvenChunk>& proofs) {
  for (const ProvenChunk& p : proofs) {
    if (p.length == 0 || p.length > kMaxRangeLength || p.offset + p.length > size) return false;
  }
  for (const FileRange& r : ranges) {
    if (r.length == 0 || r.length > kMaxRangeLength || r.offset + r.length > size) return false;
  }
  File& file = files_[path];
  file.record = record;
  file.size = size;
  file.ranges = ranges;
  file.done.assign(ranges.size(), false);
  file.asked.assign(ranges.size(), false);
  file.left = ranges.size();
  file.proofs = proofs;
  return true;
}

bool RangedFiles::HasModule(const std::string& module) const {
  for (const auto& [path, file] : files_) {
    if (std::strncmp(file.record.Name, module.c_str(), sizeof file.record.Name) == 0) return true;
  }
  return false;
}

void RangedFiles::AskFor(const std::string& path, File& file,
                         std::vector<std::vector<ModuleRangeRecord>>* requests,
                         uint64_t* request_bytes) {
  for (size_t i = 0; i < file.ranges.size(); ++i) {
    if (file.done[i] || file.asked[i]) continue;
    const FileRange& r = file.ranges[i];
    if (requests->empty() || requests->back().size() == kMaxRangesPerRequest ||
        *request_bytes + r.length > kMaxRangeRequestBytes) {
      requests->emplace_back();
      *request_bytes = 0;
    }
    ModuleRangeRecord record;
    record.Module = file.record;
    record.Offset = static_cast<uint32_t>(r.offset);
    record.Length = r.length;
    requests->back().push_back(record);
    *request_bytes += r.length;
    bytes_asked_ += r.length;
    file.asked[i] = true;
    asked_.push_back({path, i, r.offset});
  }
}

std::vector<std::vector<ModuleRangeRecord>> RangedFiles::Requests() {
  std::vector<std::vector<ModuleRangeRecord>> requests;
  uint64_t request_bytes = 0;
  asked_.clear();
  for (auto& [path, file] : files_) {
    file.asked.assign(file.ranges.size(), false);
    AskFor(path, file, &requests, &request_bytes);
  }
  return requests;
}

std::vector<std::vector<ModuleRangeRecord>> RangedFiles::RequestsFor(const std::string& path) {
  std::vector<std::vector<ModuleRangeRecord>> requests;
  uint64_t request_bytes = 0;
  const auto found = files_.find(path);
  if (found != files_.end()) AskFor(path, found->second, &requests, &request_bytes);
  return requests;
}

bool RangedFiles::Proven(File& file) {
  std::vector<ProvenChunk> kept;
  std::vector<uint8_t> bytes;
  for (const ProvenChunk& proof : file.proofs) {
    bytes.resize(proof.length);
    const bool read = std::fseek(open_, static_cast<long>(proof.offset), SEEK_SET) == 0 &&
                      std::fread(bytes.data(), 1, bytes.size(), open_) == bytes.size();
    if (read && Sha256Of(bytes.data(), bytes.size()) == proof.sha256) continue;
    // The old file's bytes were not the chunk's start after all: the whole chunk, fetched.
    file.ranges.push_back({proof.offset, proof.length});
    file.done.push_back(false);
    file.asked.push_back(false);
    ++file.left;
  }
  file.proofs.swap(kept);
  return file.left == 0;
}

RangedFiles::Outcome RangedFiles::Write(const std::string& path, const FileChunkRecord& chunk) {
  Outcome out;
  const auto found = files_.find(path);
  if (asked_.empty() || asked_.front().path != path || found == files_.end()) {
    out.refusal = path + ": a part not asked for";
    return out;
  }
  Asked& head = asked_.front();
  File& file = found->second;
  const FileRange& range = file.ranges[head.range];
  const uint64_t end = range.offset + range.length;
  const uint64_t length = static_cast<uint64_t>(chunk.DataLength);
  // Exactly the next bytes of the range asked for, in the file of the size listed.
  if (std::strncmp(chunk.ModuleName, file.record.Name, sizeof file.record.Name) != 0 ||
      chunk.Offset != head.next || length == 0 || head.next + length > end ||
      chunk.Last != (head.next + length == end) || chunk.Total != file.size) {
    out.refusal = path + ": a part other than the one asked for";
    return out;
  }
  if (open_path_ != path) {
    if (open_ != nullptr && std::fclose(open_) != 0) {
      open_ = nullptr;
      out.failed_path = open_path_;
      return out;
    }
    open_ = OpenFile(path.c_str(), "r+b");
    open_path_ = path;
    if (open_ == nullptr) {
      open_path_.clear();
      out.failed_path = path;
      return out;
    }
    out.started = true;
  }
  if (std::fseek(open_, static_cast<long>(head.next), SEEK_SET) != 0 ||
      std::fwrite(chunk.Data, 1, static_cast<size_t>(length), open_) != length) {
    out.failed_path = path;
    return out;
  }
  head.next += length;
  if (!chunk.Last) return out;
  // Done only once its bytes are with the system: a range lost in a buffer is asked for again.
  if (std::fflush(open_) != 0) {
    out.failed_path = path;
    return out;
  }
  file.done[head.range] = true;
  --file.left;
  asked_.pop_front();
  if (file.left > 0) return out;
  if (!file.proofs.empty() && !Proven(file)) {
    out.ask_again = true;
    return out;
  }
  const bool closed = std::fclose(open_) == 0;
  open_ = nullptr;
  open_path_.clear();
  if (!closed) {
    out.failed_path = path;
    return out;
  }
  out.finished = path;
  out.module.assign(file.record.Name, strnlen(file.record.Name, sizeof file.record.Name));
  out.size = file.size;
  // Kept, so that a record for it that nobody asked for is refused, never written.
  return out;
}

void RangedFiles::Drop() {
  const bool kept = open_ != nullptr && std::fclose(open_) == 0;
  open_ = nullptr;
  open_path_.clear();
  // The range cut short: what of it is written (and now with the system) is not asked again.
  if (kept && !asked_.empty()) {
    const Asked& head = asked_.front();
    const auto found = files_.find(head.path);
    if (found != files_.end()) {
      FileRange& range = found->second.ranges[head.range];
      const uint64_t end = range.offset + range.length;
      if (head.next > range.offset && head.next < end) {
        range.length = static_cast<uint32_t>(end - head.next);
        range.offset = head.next;
      }
    }
  }
  asked_.clear();
}
