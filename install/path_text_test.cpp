// The two Path edits: exact, case-sensitive sub-string tests with different needles.
#include "install/path_text.h"

#include <gtest/gtest.h>

namespace {

const std::string kDepend = "C:\\Users\\u\\AppData\\Roaming\\QuillbankDependBase";

TEST(PathTextTest, ProcessPathGetsDependDirOnceWhereverItIs) {
  EXPECT_EQ(ProcessPathWithDependDir("C:\\Windows", kDepend), "C:\\Windows;" + kDepend);
  EXPECT_EQ(ProcessPathWithDependDir("", kDepend), ";" + kDepend);
  EXPECT_EQ(ProcessPathWithDependDir(kDepend + ";C:\\Windows", kDepend), kDepend + ";C:\\Windows");
  // A longer folder that begins with DependDir counts as present; other letter case does not.
  EXPECT_EQ(ProcessPathWithDependDir(kDepend + "Old", kDepend), kDepend + "Old");
  EXPECT_EQ(ProcessPathWithDependDir("c:\\users\\u\\appdata\\roaming\\quillbankdependbase", kDepend),
            "c:\\users\\u\\appdata\\roaming\\quillbankdependbase;" + kDepend);
}

TEST(PathTextTest, StoredPathLooksForTheSeparatorToo) {
  std::string path;
  EXPECT_TRUE(AddDependDirToStoredPath(&path, kDepend));
  EXPECT_EQ(path, kDepend);

  path = "C:\\Tools";
  EXPECT_TRUE(AddDependDirToStoredPath(&path, kDepend));
  EXPECT_EQ(path, "C:\\Tools;" + kDepend);
  EXPECT_FALSE(AddDependDirToStoredPath(&path, kDepend));
  EXPECT_EQ(path, "C:\\Tools;" + kDepend);

  // DependDir only at the very start, without ";" before it, is appended once more.
  path = kDepend;
  EXPECT_TRUE(AddDependDirToStoredPath(&path, kDepend));
  EXPECT_EQ(path, kDepend + ";" + kDepend);
}

TEST(PathTextTest, RemovingTakesOffWhatAddingPutOnAndNothingElse) {
  // What the add wrote comes off again, back to the text before it.
  for (const std::string& before : {std::string(), std::string("C:\\Tools"),
                                   std::string("C:\\Tools;;D:\\Bin")}) {
    std::string path = before;
    ASSERT_TRUE(AddDependDirToStoredPath(&path, kDepend));
    EXPECT_TRUE(RemoveDependDirFromStoredPath(&path, kDepend));
    EXPECT_EQ(path, before);
  }
  // Wherever it stands, each whole entry equal to it goes; a longer folder or another letter
  // case is someone else's.
  std::string path = kDepend + ";C:\\A;" + kDepend + "Old;" + kDepend;
  EXPECT_TRUE(RemoveDependDirFromStoredPath(&path, kDepend));
  EXPECT_EQ(path, "C:\\A;" + kDepend + "Old");
  path = "c:\\users\\u\\appdata\\roaming\\quillbankdependbase";
  EXPECT_FALSE(RemoveDependDirFromStoredPath(&path, kDepend));
  EXPECT_EQ(path, "c:\\users\\u\\appdata\\roaming\\quillbankdependbase");
}

}  // namespace
