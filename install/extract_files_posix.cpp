// Native stand-in of the extraction file operations over POSIX calls. There is no share mode and
// no creation time here: the output file is opened exclusively only by convention, and the DOS
// time goes to the modification time.
#include "install/extract_files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <ctime>

#include "base/file_system.h"

struct OutputFile::Owner {
  explicit Owner(int descriptor) : fd(descriptor) {}
  ~Owner() { close(fd); }
  Owner(const Owner&) = delete;
  Owner& operator=(const Owner&) = delete;
  const int fd;
};

OutputFile::OutputFile() = default;

OutputFile::~OutputFile() = default;

bool OutputFile::Create(const char* path) {
  Close();
  const int fd = open(NativePath(path).c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  file_ = std::make_unique<Owner>(fd);
  return true;
}

bool OutputFile::Write(const void* data, size_t size) {
  if (!IsOpen()) return false;
  const char* bytes = static_cast<const char*>(data);
  while (size > 0) {
    const ssize_t n = write(file_->fd, bytes, size);
    if (n <= 0) {
      if (n < 0 && errno == EINTR) continue;
      return false;
    }
    bytes += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

void OutputFile::Close() { file_.reset(); }

FolderResult CreateFolder(const char* path) {
  if (mkdir(NativePath(path).c_str(), 0755) == 0) return FolderResult::kCreated;
  return errno == EEXIST ? FolderResult::kAlreadyExists : FolderResult::kFailed;
}

bool GetFullPath(const char* path, std::string* full) {
  constexpr size_t kMaxPath = 260;
  if (path == nullptr || *path == '\0') return false;
  std::string result;
  if (path[0] == '/' || path[0] == '\\') {
    result = path;
  } else {
    char cwd[PATH_MAX];
    if (getcwd(cwd, sizeof cwd) == nullptr) return false;
    result = std::string(cwd) + "/" + path;
  }
  if (result.size() >= kMaxPath) return false;
  *full = result;
  return true;
}

bool RestoreDosTime(const char* path, uint32_t dos_time) {
  const unsigned date = dos_time >> 16;
  const unsigned time = dos_time & 0xFFFF;
  std::tm fields{};
  fields.tm_year = static_cast<int>((date >> 9) + 1980 - 1900);
  fields.tm_mon = static_cast<int>(((date >> 5) & 0x0F)) - 1;
  fields.tm_mday = static_cast<int>(date & 0x1F);
  fields.tm_hour = static_cast<int>(time >> 11);
  fields.tm_min = static_cast<int>((time >> 5) & 0x3F);
  fields.tm_sec = static_cast<int>((time & 0x1F) * 2);
  fields.tm_isdst = -1;
  // DosDateTimeToFileTime refuses fields out of range; mktime would quietly roll them over.
  if (fields.tm_mon < 0 || fields.tm_mon > 11 || fields.tm_mday < 1 || fields.tm_hour > 23 ||
      fields.tm_min > 59 || fields.tm_sec > 59) {
    return false;
  }
  std::tm normalized = fields;
  const time_t stamp = mktime(&normalized);
  if (stamp == static_cast<time_t>(-1) || normalized.tm_mday != fields.tm_mday) return false;
  timespec times[2] = {};
  times[0].tv_nsec = UTIME_OMIT;
  times[1].tv_sec = stamp;
  return utimensat(AT_FDCWD, NativePath(path).c_str(), times, 0) == 0;
}
