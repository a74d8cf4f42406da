// TempDir and small file helpers for tests.
#include "test_support/temp_dir.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <random>

#include "base/file_system.h"

namespace fs = std::filesystem;

TempDir::TempDir() {
  static std::atomic<unsigned> counter{0};
  std::random_device random;
  const auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
  const fs::path dir = fs::temp_directory_path() /
                       ("qb-" + std::to_string(random()) + "-" + std::to_string(stamp % 100000) +
                        "-" + std::to_string(counter++));
  fs::create_directories(dir);
  path_ = dir.string();
}

TempDir::~TempDir() {
  std::error_code ignored;
  fs::remove_all(path_, ignored);
}

std::string ReadFileBytes(const std::string& path) {
  std::string bytes;
  FILE* file = OpenFile(path.c_str(), "rb");
  if (file == nullptr) return bytes;
  char chunk[65536];
  size_t n;
  while ((n = std::fread(chunk, 1, sizeof chunk, file)) > 0) bytes.append(chunk, n);
  std::fclose(file);
  return bytes;
}

bool WriteFileBytes(const std::string& path, const std::string& bytes) {
  FILE* file = OpenFile(path.c_str(), "wb");
  if (file == nullptr) return false;
  const bool ok = std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
  return std::fclose(file) == 0 && ok;
}
