// Writing a new key pair: the private key file created exclusively with mode 0600.
#include "service/keygen.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

#include "service/signing_key.h"

namespace fs = std::filesystem;

namespace {

// Creates `path` (failing when it exists, symbolic links included) with exactly `mode` and
// writes `text` into it.
bool CreateExclusive(const std::string& path, const std::string& text, mode_t mode,
                     std::string* error) {
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
  if (fd < 0) {
    *error = errno == EEXIST ? path + " exists already; it is not replaced"
                             : "cannot create " + path + ": " + strerror(errno);
    return false;
  }
  // The umask may have taken bits away; the mode is set as asked, no wider.
  bool ok = fchmod(fd, mode) == 0;
  size_t done = 0;
  while (ok && done < text.size()) {
    const ssize_t n = write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    ok = n > 0;
    if (ok) done += static_cast<size_t>(n);
  }
  ok = fsync(fd) == 0 && ok;
  ok = close(fd) == 0 && ok;
  if (!ok) {
    *error = "cannot write " + path + ": " + strerror(errno);
    unlink(path.c_str());
  }
  return ok;
}

}  // namespace

bool WriteNewKeyPair(const std::string& dir, KeygenResult* result, std::string* error) {
  const fs::path folder(dir);
  result->key_path = (folder / kSigningKeyFileName).string();
  result->public_path = (folder / kPublicKeyFileName).string();
  std::error_code ec;
  for (const std::string& path : {result->key_path, result->public_path}) {
    const fs::file_type type = fs::symlink_status(path, ec).type();
    if (type == fs::file_type::none) {
      *error = "cannot look at " + path + ": " + ec.message();
      return false;
    }
    if (type != fs::file_type::not_found) {
      *error = path + " exists already; it is not replaced";
      return false;
    }
  }
  SigningKey key;
  if (!SigningKey::Generate(&key, error)) return false;
  fs::create_directories(folder, ec);
  if (ec) {
    *error = "cannot create " + dir + ": " + ec.message();
    return false;
  }
  std::string key_text = key.KeyFileText();
  const bool key_written = CreateExclusive(result->key_path, key_text, 0600, error);
  explicit_bzero(key_text.data(), key_text.size());
  if (!key_written) return false;
  const std::string public_text = key.PublicKeyText();
  if (!CreateExclusive(result->public_path, public_text, 0644, error)) {
    unlink(result->key_path.c_str());
    return false;
  }
  result->public_text = public_text.substr(0, public_text.size() - 1);
  return true;
}
