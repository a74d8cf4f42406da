// Which entry names may be extracted, and the length limit of joined paths.
#include "install/entry_name.h"

#include <gtest/gtest.h>

#include <string>

TEST(EntryNameTest, NamesThatStayBelowTheDestinationAreAccepted) {
  for (const char* name : {"a.txt", "a\\b\\c.txt", "sub\\", "a\\..\\b.txt", ".\\a.txt",
                           "a\\.\\b", "a\\\\b", "..a", "a..", "name.with.dots", "a\\b\\..\\..\\c"}) {
    EXPECT_TRUE(IsSafeEntryName(name)) << name;
  }
}

TEST(EntryNameTest, NamesThatCouldLeaveTheDestinationAreRefused) {
  for (const char* name :
       {"", "..", "..\\evil", "a\\..\\..\\evil", "\\evil", "\\\\server\\share\\x", "C:\\evil",
        "C:evil", "a.txt:stream", "...\\evil", ".. \\evil", " .\\evil", "a\\...", "a\\..\\..\\"}) {
    EXPECT_FALSE(IsSafeEntryName(name)) << name;
  }
}

TEST(EntryNameTest, StepsNamingADeviceAreRefusedWherever) {
  for (const char* name : {"CON", "aux.txt", "dir\\nul.dat", "NUL\\x.txt", "a\\b\\Com1",
                           "lpt9 .log", "conout$", "prn.", "a\\CONIN$\\"}) {
    EXPECT_FALSE(IsSafeEntryName(name)) << name;
  }
  for (const char* name : {"console.txt", "auxiliary\\x", "com10", "nul-ish.dat", "a.con"}) {
    EXPECT_TRUE(IsSafeEntryName(name)) << name;
  }
}

TEST(EntryNameTest, JoinAddsOneSeparatorAndRefusesPathsOver259Characters) {
  std::string path;
  ASSERT_TRUE(JoinEntryPath("C:\\dest", "a.txt", &path));
  EXPECT_EQ(path, "C:\\dest\\a.txt");
  ASSERT_TRUE(JoinEntryPath("C:\\dest\\", "a.txt", &path));
  EXPECT_EQ(path, "C:\\dest\\a.txt");
  ASSERT_TRUE(JoinEntryPath("/tmp/dest/", "a.txt", &path));
  EXPECT_EQ(path, "/tmp/dest/a.txt");
  ASSERT_TRUE(JoinEntryPath("", "a.txt", &path));
  EXPECT_EQ(path, "a.txt");

  const std::string folder = "C:\\dest";  // 7 characters + separator
  EXPECT_TRUE(JoinEntryPath(folder.c_str(), std::string(251, 'n').c_str(), &path));
  EXPECT_EQ(path.size(), 259u);
  path = "unchanged";
  EXPECT_FALSE(JoinEntryPath(folder.c_str(), std::string(252, 'n').c_str(), &path));
  EXPECT_EQ(path, "unchanged");
}
