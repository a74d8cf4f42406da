// The entry's texts, the publisher's folder names and the uninstall's command line.
#include "install/uninstall_entry.h"

#include <gtest/gtest.h>

namespace {

TEST(UninstallEntryTest, KeyVersionAndSize) {
  EXPECT_EQ(UninstallKeyPath("500100"),
            "Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Quillbank500100");
  VersionPair version;
  version.Part3 = 12;
  version.Part4 = 3071;
  EXPECT_EQ(DisplayVersionText(version), "9.3.12.3071");
  EXPECT_EQ(EstimatedSizeKb(0), 0u);
  EXPECT_EQ(EstimatedSizeKb(1), 1u);
  EXPECT_EQ(EstimatedSizeKb(1024), 1u);
  EXPECT_EQ(EstimatedSizeKb(1025), 2u);
  EXPECT_EQ(EstimatedSizeKb(uint64_t{1} << 50), 0xFFFFFFFFu);
}

TEST(UninstallEntryTest, OnlyQuillbankAndDigitsIsAPackageFolder) {
  EXPECT_TRUE(IsPackageFolderName("Quillbank500100"));
  EXPECT_TRUE(IsPackageFolderName("QUILLBANK7"));
  // The install's neighbours are not installs.
  EXPECT_FALSE(IsPackageFolderName("Quillbank"));
  EXPECT_FALSE(IsPackageFolderName("QuillbankDependBase"));
  EXPECT_FALSE(IsPackageFolderName("Quillbank500100temp"));
  EXPECT_FALSE(IsPackageFolderName("Quillbank500100.previous"));
  EXPECT_FALSE(IsPackageFolderName("Quillbank500100.uninstall.exe"));
  EXPECT_FALSE(IsPackageFolderName("XQuillbank5"));
}

}  // namespace
