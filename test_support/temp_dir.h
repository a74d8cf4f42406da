// A fresh folder for one test, removed with everything in it when the test ends.
#pragma once

#include <string>

class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  // The folder as the operating system names it ("/tmp/qb-..." or "C:\...\Temp\qb-...").
  const std::string& path() const { return path_; }
  // path() + separator + name, with the separator the installer's own code uses ("\").
  std::string Join(const std::string& name) const { return path_ + "\\" + name; }

 private:
  std::string path_;
};

// Whole contents of a file (by installer path text), or empty when it cannot be read.
std::string ReadFileBytes(const std::string& path);
// Writes a file (by installer path text); false on failure.
bool WriteFileBytes(const std::string& path, const std::string& bytes);
