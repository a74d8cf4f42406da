// Our profile writer: the file it makes, keys replaced in place, other sections and keys kept,
// and the normalising read that the system's writer also does.
#include "install/profile_text.h"

#include <gtest/gtest.h>

#include <string>

#include "test_support/temp_dir.h"

namespace {

std::string Apply(std::string text, const char* section, const char* key, const char* value) {
  ApplyProfileString(&text, section, key, value);
  return text;
}

TEST(ProfileTextTest, NewTextIsSectionLineAndKeyLine) {
  EXPECT_EQ(Apply("", "version", "cur", "9.3.1.2"), "[version]\r\ncur=9.3.1.2\r\n");
}

TEST(ProfileTextTest, KeysAreReplacedInPlaceAndAddedAtTheEndOfTheirSection) {
  const std::string text = "[a]\r\nx=1\r\ny=2\r\n[b]\r\nz=3\r\n";
  EXPECT_EQ(Apply(text, "a", "x", "9"), "[a]\r\nx=9\r\ny=2\r\n[b]\r\nz=3\r\n");
  EXPECT_EQ(Apply(text, "a", "new", "4"), "[a]\r\nx=1\r\ny=2\r\nnew=4\r\n[b]\r\nz=3\r\n");
  EXPECT_EQ(Apply(text, "c", "k", "v"), "[a]\r\nx=1\r\ny=2\r\n[b]\r\nz=3\r\n[c]\r\nk=v\r\n");
  // Names match ignoring letter case and keep the spelling already in the file.
  EXPECT_EQ(Apply(text, "B", "Z", "5"), "[a]\r\nx=1\r\ny=2\r\n[b]\r\nz=5\r\n");
}

TEST(ProfileTextTest, ReadingNormalisesLinesAsTheSystemWriterDoes) {
  // Blank lines go, blanks around names and values go, LF becomes CR LF, comments and lines
  // before the first section stay.
  EXPECT_EQ(Apply("top=1\n\n[a]\n  x  =  1  \n;note\n\n[b]\ny=2", "a", "x", "2"),
            "top=1\r\n[a]\r\nx=2\r\n;note\r\n[b]\r\ny=2\r\n");
  // A value's leading blanks are dropped.
  EXPECT_EQ(Apply("", "s", "k", "  v "), "[s]\r\nk=v \r\n");
  // "[" without "]" is a key line; the name runs to the last "]".
  EXPECT_EQ(Apply("[open\r\n[a]x]\r\n", "a]x", "k", "v"), "[open\r\n[a]x]\r\nk=v\r\n");
}

TEST(ProfileTextTest, SameValueLeavesTheTextAsItWas) {
  std::string text = "[a]\n x = 1\n";
  EXPECT_FALSE(ApplyProfileString(&text, "a", "x", "1"));
  EXPECT_EQ(text, "[a]\n x = 1\n");
}

TEST(ProfileTextTest, FileIsCreatedRewrittenOrLeftAlone) {
  TempDir temp;
  const std::string path = temp.Join("p.ini");
  ASSERT_TRUE(WriteProfileFile("s", "k", "v", path.c_str()));
  EXPECT_EQ(ReadFileBytes(path), "[s]\r\nk=v\r\n");
  ASSERT_TRUE(WriteFileBytes(path, "[s]\nk = v\n"));
  ASSERT_TRUE(WriteProfileFile("s", "k", "v", path.c_str()));
  EXPECT_EQ(ReadFileBytes(path), "[s]\nk = v\n");
  ASSERT_TRUE(WriteProfileFile("s", "k", "w", path.c_str()));
  EXPECT_EQ(ReadFileBytes(path), "[s]\r\nk=w\r\n");
  EXPECT_FALSE(WriteProfileFile("s", "k", "v", temp.Join("missing\\p.ini").c_str()));
}

}  // namespace
