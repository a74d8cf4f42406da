// The written file's stream and buffer.
#include "base/written_file.h"

#include "base/file_system.h"

bool WrittenFile::Open(const std::string& path, size_t buffer_size) {
  Drop();
  FILE* file = OpenFile(path.c_str(), "wb");
  if (file == nullptr) return false;
  file_.reset(file);
  buffer_.resize(buffer_size);
  if (std::setvbuf(file, buffer_.data(), _IOFBF, buffer_.size()) != 0) {
    Drop();
    return false;
  }
  return true;
}

bool WrittenFile::Write(const void* data, size_t size) {
  return file_.valid() && std::fwrite(data, 1, size, file_.get()) == size;
}

bool WrittenFile::Close() {
  if (!file_.valid()) return true;
  return std::fclose(file_.release()) == 0;
}
