// The relative paths a chunk may name: what is taken below the staging folder and every form
// that could land elsewhere (climbing, absolute, drives and streams, devices, over-long).
#include "clients/staging_path.h"

#include <gtest/gtest.h>

#include <string>

namespace {

const std::string kStaging = "C:\\Users\\u\\AppData\\Roaming\\Quillbank100201temp";

TEST(StagingPathTest, SafePartsAreJoinedWithNothingBetween) {
  struct Case {
    const char* folder;
    const char* file;
    const char* relative;
  };
  const Case cases[] = {
      {"", "quillbank ix.exe", "quillbank ix.exe"},
      {"bin\\", "core.dll", "bin\\core.dll"},
      {"bin", "core.dll", "bincore.dll"},
      {"a/b/", "c.txt", "a/b/c.txt"},
      {".\\x\\", "y", ".\\x\\y"},
      {"..x\\", "..y", "..x\\..y"},
      {"data\\", "console.txt", "data\\console.txt"},
      {"data\\", "com10", "data\\com10"},
      {"", "a\\\\b", "a\\\\b"},
  };
  for (const Case& c : cases) {
    std::string path;
    ASSERT_TRUE(FormStagingPath(kStaging, c.folder, c.file, &path)) << c.folder << c.file;
    EXPECT_EQ(path, kStaging + "\\" + c.relative);
  }
}

TEST(StagingPathTest, FormsThatCouldLeaveTheFolderAreRefused) {
  const char* const unsafe[][2] = {
      {"..\\", "x"},         {"../", "x"},        {"a\\..\\..\\", "x"}, {"a/../../", "x"},
      {".", "./x"},          {"..", ""},          {"a\\", ".."},        {".. \\", "x"},
      {"...\\", "x"},        {". .\\", "x"},      {"\\", "x"},          {"/", "x"},
      {"", "\\x"},           {"a\\", "/x"},       {"C:\\", "x"},        {"", "c:x"},
      {"a", "b:stream"},     {"", "CON"},         {"dev\\", "nul.txt"}, {"Com1\\", "x"},
      {"", "lpt9 .log"},     {"", "CONOUT$"},     {"sub\\", ""},        {"", ""},
  };
  for (const auto& parts : unsafe) {
    std::string path = "untouched";
    EXPECT_FALSE(FormStagingPath(kStaging, parts[0], parts[1], &path))
        << "[" << parts[0] << "][" << parts[1] << "]";
    EXPECT_EQ(path, "untouched");
  }
}

// Every staged file must fit in the old install's folder too, whose name is 5 characters longer:
// 250 characters at most, so that the same file as InstallDir.previous\x has at most 255.
TEST(StagingPathTest, LeavesRoomForThePreviousFolder) {
  const std::string install = "C:\\" + std::string(136, 'i');
  const std::string staging = install + "temp";
  const std::string folder = std::string(99, 'd') + "\\";
  std::string path;
  EXPECT_TRUE(FormStagingPath(staging, folder, "ff.bin", &path));
  EXPECT_EQ(path.size(), 250u);
  const std::string previous = install + ".previous" + path.substr(staging.size());
  EXPECT_EQ(previous.size(), kMaxInstallPathLength);
  EXPECT_FALSE(FormStagingPath(staging, folder, "fff.bin", &path));
}

}  // namespace
