// The demo package as the native build assembles it: a package the service accepts (once the
// windows build's terminal is there), with tens of MB of data, one module of kind "D", a Chinese
// product name and a base archive of plain file entries.
#include <gtest/gtest.h>
#include <minizip/unzip.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <string>

#include "demo/demo_content.h"
#include "demo/demo_data.h"
#include "service/package.h"
#include "test_support/temp_dir.h"

namespace fs = std::filesystem;

TEST(DemoPackage, BuildOutputLoadsWithTheTerminalInPlace) {
  // Copy the package without its link to the windows build and put a program in its place, so
  // the check does not depend on the order the two builds ran in.
  TempDir dir;
  fs::path copy = fs::path(dir.path()) / "package";
  fs::path source = QB_DEMO_PACKAGE_DIR;
  for (const auto& entry : fs::recursive_directory_iterator(source)) {
    fs::path rel = entry.path().lexically_relative(source);
    if (rel == kDemoTerminalFile) continue;
    if (entry.is_directory()) {
      fs::create_directories(copy / rel);
    } else {
      fs::create_directories((copy / rel).parent_path());
      fs::copy_file(entry.path(), copy / rel);
    }
  }
  std::ofstream(copy / kDemoTerminalFile) << "MZ stand-in";

  Package package;
  std::string error;
  ASSERT_TRUE(LoadPackage(copy.string(), &package, &error)) << error;
  EXPECT_EQ(package.number, "100201");
  EXPECT_EQ(package.product_name, kDemoProductName);
  EXPECT_GT(static_cast<unsigned char>(package.product_name[0]), 0x7F);
  EXPECT_LE(package.product_name.size(), kProductNameMax);

  uint64_t total = 0;
  int kind_d = 0;
  std::set<std::string> folders;
  for (const PackageModule& m : package.modules) {
    total += m.size;
    if (m.kind == 'D') ++kind_d;
    folders.insert(m.folder_part);
  }
  EXPECT_EQ(kind_d, 1);
  EXPECT_GE(total, 20u << 20);
  EXPECT_LE(total, 99u << 20);
  EXPECT_GE(folders.size(), 4u);
  EXPECT_EQ(package.modules[0].file_part, kDemoTerminalFile);
  EXPECT_EQ(package.modules[0].folder_part, "");

  // Each data file holds exactly the generator's bytes.
  for (const DemoFile& file : kDemoDataFiles) {
    std::string rel = std::string(file.folder_part) + file.file_part;
    for (char& c : rel) c = c == '\\' ? '/' : c;
    std::ifstream in(copy / rel, std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(bytes.size(), file.size) << rel;
    EXPECT_TRUE(bytes == DemoFileBytes(file)) << rel;
  }

  // The base archive: exactly the dependency files, no folder entries, contents intact.
  unzFile zip = unzOpen(package.base_archive_path.c_str());
  ASSERT_NE(zip, nullptr);
  std::set<std::string> names;
  ASSERT_EQ(unzGoToFirstFile(zip), UNZ_OK);
  do {
    char name[260];
    unz_file_info info;
    ASSERT_EQ(unzGetCurrentFileInfo(zip, &info, name, sizeof(name), nullptr, 0, nullptr, 0),
              UNZ_OK);
    EXPECT_EQ((info.external_fa >> 4) & 1, 0u) << name;
    ASSERT_EQ(unzOpenCurrentFile(zip), UNZ_OK);
    std::string bytes(info.uncompressed_size, '\0');
    EXPECT_EQ(unzReadCurrentFile(zip, &bytes[0], static_cast<unsigned>(bytes.size())),
              static_cast<int>(bytes.size()));
    unzCloseCurrentFile(zip);
    bool known = false;
    for (const DemoFile& file : kDemoDependFiles) {
      if (std::string(file.folder_part) + file.file_part == name) {
        known = true;
        EXPECT_TRUE(bytes == DemoFileBytes(file)) << name;
      }
    }
    EXPECT_TRUE(known) << name;
    names.insert(name);
  } while (unzGoToNextFile(zip) == UNZ_OK);
  unzClose(zip);
  EXPECT_EQ(names.size(), 2u);
}

TEST(DemoPackage, ContentsAreDeterministicAndNotTrivial) {
  const DemoFile& file = kDemoDataFiles[0];
  std::string a = DemoFileBytes(file);
  EXPECT_TRUE(a == DemoFileBytes(file));
  // Binary-like: many distinct byte values, no long runs of one repeated block.
  std::set<unsigned char> values(a.begin(), a.begin() + 65536);
  EXPECT_GT(values.size(), 200u);
  EXPECT_NE(a.substr(0, 4096), a.substr(4096, 4096));
  EXPECT_NE(DemoFileBytes(kDemoDataFiles[1]).substr(0, 4096), a.substr(0, 4096));
}
