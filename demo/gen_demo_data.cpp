// Build-time generator of the demo package: writes the data files (quote-like binary records,
// deterministic, so every build makes the same bytes), the files of the base archive and
// package.json into one folder. The archive itself and the terminal are added by CMake.
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "demo/demo_content.h"
#include "demo/demo_data.h"
#include "service/package.h"

namespace fs = std::filesystem;

namespace {

bool WriteFile(const fs::path& path, const std::string& bytes) {
  std::error_code ec;
  fs::create_directories(path.parent_path(), ec);
  FILE* f = fopen(path.c_str(), "wb");
  if (!f) return false;
  bool ok = fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
  return fclose(f) == 0 && ok;
}

std::string SourcePath(const DemoFile& file) {
  std::string path = std::string(file.folder_part) + file.file_part;
  for (char& c : path) {
    if (c == '\\') c = '/';
  }
  return path;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    fprintf(stderr, "usage: %s PACKAGE_DIR DEPEND_DIR\n", argv[0]);
    return 2;
  }
  fs::path package_dir = argv[1];
  fs::path depend_dir = argv[2];
  Package package;
  package.dir = fs::absolute(package_dir).string();
  package.number = kDemoPackageNumber;
  package.product_name = kDemoProductName;
  package.version_part3 = kDemoVersionPart3;
  package.version_part4 = kDemoVersionPart4;
  package.base_archive_path = (fs::absolute(package_dir) / "SystemDepend.zip").string();

  PackageModule terminal;
  terminal.package_key = kDemoPackageNumber;
  terminal.name = "terminal";
  terminal.num1 = 1;
  terminal.num2 = kDemoVersionPart4;
  terminal.kind = 'E';
  terminal.file_part = kDemoTerminalFile;
  terminal.source_path = (fs::absolute(package_dir) / kDemoTerminalFile).string();
  package.modules.push_back(terminal);

  int32_t index = 2;
  for (const DemoFile& file : kDemoDataFiles) {
    std::string source = SourcePath(file);
    if (!WriteFile(package_dir / source, DemoFileBytes(file))) {
      fprintf(stderr, "cannot write %s\n", source.c_str());
      return 1;
    }
    PackageModule m;
    m.package_key = kDemoPackageNumber;
    m.name = file.file_part;
    m.num1 = index++;
    m.num2 = kDemoVersionPart4;
    m.kind = file.kind;
    m.tail = "demo";
    m.folder_part = file.folder_part;
    m.file_part = file.file_part;
    m.source_path = (fs::absolute(package_dir) / source).string();
    package.modules.push_back(m);
  }
  for (const DemoFile& file : kDemoDependFiles) {
    if (!WriteFile(depend_dir / SourcePath(file), DemoFileBytes(file))) {
      fprintf(stderr, "cannot write %s\n", file.file_part);
      return 1;
    }
  }
  if (!WriteFile(package_dir / "package.json", PackageJsonText(package))) {
    fprintf(stderr, "cannot write package.json\n");
    return 1;
  }
  return 0;
}
