// The written file's stream and buffer.
#include "base/written_file.h"

#include "base/file_system.h"

bool WrittenFile::Failed(uint64_t wanted) {
  disk_full_ = LastWriteFoundDiskFull(path_, wanted);
  return false;
}

bool WrittenFile::Open(const std::string& path, size_t buffer_size) {
  Drop();
  disk_full_ = false;
  path_ = path;
  // A file already there is deleted, not truncated: it may be a second name of another file (an
  // update's link to an installed one), which writing through would change too.
  uint64_t size = 0;
  if (RegularFileSize(path.c_str(), &size) && !RemoveTree(path)) return false;
  FILE* file = OpenFile(path.c_str(), "wb");
  if (file == nullptr) return Failed(1);
  file_.reset(file);
  buffer_.resize(buffer_size);
  if (std::setvbuf(file, buffer_.data(), _IOFBF, buffer_.size()) != 0) {
    Drop();
    return false;
  }
  return true;
}

bool WrittenFile::Write(const void* data, size_t size) {
  if (!file_.valid()) return false;
  return std::fwrite(data, 1, size, file_.get()) == size || Failed(buffer_.size() + size);
}

bool WrittenFile::Close() {
  if (!file_.valid()) return true;
  FILE* file = file_.release();
  // The buffer is flushed on its own first: some runtimes' close (Wine's) reports success when
  // the flush it made failed, and the file's tail would then be missing unnoticed.
  const bool flushed = std::fflush(file) == 0 || Failed(buffer_.size());
  const bool closed = std::fclose(file) == 0;
  if (!flushed) return false;
  return closed || Failed(buffer_.size());
}
