// Extraction of archives made by Info-ZIP zip and Python's zipfile: entry kinds, folders, the
// overwrite prompt, refused names, damaged data and the archive's lifecycle.
#include "install/unzip.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <set>
#include <string>

#include "base/file_system.h"
#include "install/testing/unzip_test_support.h"
#include "test_support/temp_dir.h"

namespace {

std::string BigText() {
  std::string text;
  char line[16];
  for (int i = 1; i <= 20000; ++i) {
    std::snprintf(line, sizeof line, "line %05d\n", i);
    text += line;
  }
  return text;
}

// GBK prompt text for an entry name.
std::string PromptText(const std::string& name) {
  return "\xCE\xDE\xB7\xA8\xB8\xB2\xB8\xC7\xCE\xC4\xBC\xFE\"" + name +
         "\",\xB8\xC3\xCE\xC4\xBC\xFE\xBF\xC9\xC4\xDC\xD5\xFD\xB1\xBB\xCA\xB9\xD3\xC3!\n"
         "\xCA\xC7\xB7\xF1\xD6\xD5\xD6\xB9\xC9\xFD\xBC\xB6?";
}

class UnzipTest : public ::testing::Test {
 protected:
  std::string Dest() const { return temp_.Join("dest"); }
  TempDir temp_;
};

TEST_F(UnzipTest, InfoZipArchivesStoredAndDeflatedGiveTheTree) {
  for (const char* archive : {"infozip_stored.zip", "infozip_deflated.zip"}) {
    SCOPED_TRACE(archive);
    TempDir temp;
    const std::string dest = temp.Join("dest");
    TUnzip unzip;
    ASSERT_TRUE(unzip.OpenArchive(TestArchive(archive).c_str()));
    ASSERT_TRUE(unzip.ExtractAll(dest.c_str()));
    EXPECT_EQ(ListTree(dest), (std::set<std::string>{"a/", "a/b/", "a/b/c.txt", "big.txt", "sub/",
                                                     "top.txt"}));
    EXPECT_EQ(ReadFileBytes(dest + "\\top.txt"), ContentOf("top.txt"));
    EXPECT_EQ(ReadFileBytes(dest + "\\a\\b\\c.txt"), ContentOf("a/b/c.txt"));
    EXPECT_EQ(ReadFileBytes(dest + "\\big.txt"), BigText());
  }
}

TEST_F(UnzipTest, DirectoryEntryMakesOnlyItsFolderAndNestedFilesMakeTheirs) {
  TUnzip unzip(TestArchive("py_mixed.zip").c_str());
  ASSERT_TRUE(unzip.IsOpen());
  ASSERT_TRUE(unzip.ExtractAll(Dest().c_str()));
  EXPECT_EQ(ListTree(Dest()),
            (std::set<std::string>{"deflated.txt", "dir/", "dir/inner.txt", "stored.txt"}));
  EXPECT_EQ(ReadFileBytes(Dest() + "\\stored.txt"), ContentOf("stored.txt"));
  EXPECT_EQ(ReadFileBytes(Dest() + "\\deflated.txt"), BigText());

  // No folder entries at all: x and x\y are made before z.txt is written.
  const std::string nested = temp_.Join("nested");
  ASSERT_TRUE(unzip.OpenArchive(TestArchive("py_nested.zip").c_str()));
  ASSERT_TRUE(unzip.ExtractAll(nested.c_str()));
  EXPECT_EQ(ListTree(nested), (std::set<std::string>{"x/", "x/y/", "x/y/z.txt"}));
  EXPECT_EQ(ReadFileBytes(nested + "\\x\\y\\z.txt"), ContentOf("x/y/z.txt"));
}

TEST_F(UnzipTest, EntryInfoDescribesTheCurrentEntry) {
  TUnzip unzip(TestArchive("py_mixed.zip").c_str());
  ZipEntryInfo info;
  ASSERT_TRUE(unzip.ReadEntryInfo(info));
  EXPECT_STREQ(info.name, "stored.txt");
  EXPECT_EQ(info.method, 0u);
  EXPECT_EQ(info.uncompressed_size, ContentOf("stored.txt").size());
  // 2019-05-17 13:45:30 in MS-DOS form.
  EXPECT_EQ(info.dos_time, ((39u << 9 | 5u << 5 | 17u) << 16) | (13u << 11 | 45u << 5 | 15u));
  EXPECT_FALSE(info.is_directory);

  TUnzip closed;
  EXPECT_FALSE(closed.ReadEntryInfo(info));
  EXPECT_FALSE(closed.ExtractEntry(Dest().c_str()));
  EXPECT_FALSE(closed.ExtractAll(Dest().c_str()));
}

TEST_F(UnzipTest, EmptyArchiveFailsAndLeavesOnlyTheDestination) {
  // minizip does not open a bare end record at offset 0 at all.
  EXPECT_FALSE(TUnzip(TestArchive("py_empty.zip").c_str()).IsOpen());
  TUnzip unzip(TestArchive("py_empty_stub.zip").c_str());
  ASSERT_TRUE(unzip.IsOpen());
  EXPECT_FALSE(unzip.ExtractAll(Dest().c_str()));
  EXPECT_EQ(ListTree(temp_.path()), (std::set<std::string>{"dest/"}));
  EXPECT_FALSE(unzip.ExtractAll(nullptr));
}

TEST_F(UnzipTest, NameEndingInSlashWithoutAttributeIsAFileAndBringsThePrompt) {
  {
    PromptAnswers prompt({kPromptAbort});
    TUnzip unzip(TestArchive("py_slash_file.zip").c_str(), &prompt);
    EXPECT_FALSE(unzip.ExtractAll(Dest().c_str()));
    ASSERT_EQ(prompt.texts.size(), 1u);
    EXPECT_EQ(prompt.texts[0], PromptText("notadir\\"));
    EXPECT_EQ(prompt.captions[0], "\xBE\xAF\xB8\xE6");
    EXPECT_EQ(ListTree(Dest()), (std::set<std::string>{"notadir/", "plain.txt"}));
  }
  {
    PromptAnswers prompt({kPromptIgnore});
    TUnzip unzip(TestArchive("py_slash_file.zip").c_str(), &prompt);
    EXPECT_TRUE(unzip.ExtractAll(Dest().c_str()));
    EXPECT_EQ(prompt.texts.size(), 1u);
    EXPECT_EQ(ReadFileBytes(Dest() + "\\after.txt"), ContentOf("after.txt"));
  }
}

// A folder in the way of locked.txt stands for a file that cannot be overwritten.
class UnzipPromptTest : public UnzipTest {
 protected:
  void SetUp() override {
    ASSERT_TRUE(MakeDirectory(Dest().c_str()));
    ASSERT_TRUE(MakeDirectory(Blocker().c_str()));
    ASSERT_TRUE(WriteFileBytes(Blocker() + "\\old.txt", "old"));
  }
  std::string Blocker() const { return Dest() + "\\locked.txt"; }
  void RemoveBlocker() const {
    std::error_code ignored;
    std::filesystem::remove_all(NativePath(Blocker()), ignored);
  }
};

TEST_F(UnzipPromptTest, AbortFailsTheExtraction) {
  PromptAnswers prompt({kPromptAbort});
  TUnzip unzip(TestArchive("py_locked.zip").c_str(), &prompt);
  EXPECT_FALSE(unzip.ExtractAll(Dest().c_str()));
  EXPECT_EQ(prompt.texts.size(), 1u);
  EXPECT_EQ(prompt.texts[0], PromptText("locked.txt"));
  EXPECT_EQ(ListTree(Dest()),
            (std::set<std::string>{"first.txt", "locked.txt/", "locked.txt/old.txt"}));
}

TEST_F(UnzipPromptTest, IgnoreKeepsWhatIsThereAndGoesOn) {
  PromptAnswers prompt({kPromptIgnore});
  TUnzip unzip(TestArchive("py_locked.zip").c_str(), &prompt);
  EXPECT_TRUE(unzip.ExtractAll(Dest().c_str()));
  EXPECT_EQ(prompt.texts.size(), 1u);
  EXPECT_EQ(ReadFileBytes(Blocker() + "\\old.txt"), "old");
  EXPECT_EQ(ReadFileBytes(Dest() + "\\last.txt"), ContentOf("last.txt"));
}

TEST_F(UnzipPromptTest, RetryAsksAgainUntilTheFileIsFree) {
  PromptAnswers prompt({kPromptRetry}, [this](int asked) {
    if (asked == 2) RemoveBlocker();
  });
  TUnzip unzip(TestArchive("py_locked.zip").c_str(), &prompt);
  EXPECT_TRUE(unzip.ExtractAll(Dest().c_str()));
  EXPECT_EQ(prompt.texts.size(), 2u);
  EXPECT_EQ(ReadFileBytes(Blocker()), ContentOf("locked.txt"));
  EXPECT_EQ(ReadFileBytes(Dest() + "\\last.txt"), ContentOf("last.txt"));
}

TEST_F(UnzipPromptTest, APromptWithoutAnswerFailsTheEntryOnce) {
  PromptAnswers prompt({kPromptNoAnswer});
  TUnzip unzip(TestArchive("py_locked.zip").c_str(), &prompt);
  EXPECT_FALSE(unzip.ExtractAll(Dest().c_str()));
  EXPECT_EQ(prompt.texts.size(), 1u);
}

// The archive holds first.txt, a refused name, after.txt: extraction stops at the refused entry,
// without a prompt and without any file or folder made for it.
void ExpectRefusedBeforeAnythingIsWrittenForIt(const char* archive) {
  SCOPED_TRACE(archive);
  TempDir temp;
  const std::string dest = temp.Join("dest");
  PromptAnswers prompt({kPromptAbort});
  TUnzip unzip(TestArchive(archive).c_str(), &prompt);
  ASSERT_TRUE(unzip.IsOpen());
  EXPECT_FALSE(unzip.ExtractAll(dest.c_str()));
  EXPECT_TRUE(prompt.texts.empty());
  EXPECT_EQ(ListTree(temp.path()), (std::set<std::string>{"dest/", "dest/first.txt"}));
}

TEST_F(UnzipTest, NamesLeavingTheDestinationFailBeforeAnythingIsWrittenForThem) {
  for (const char* archive :
       {"bad_dotdot.zip", "bad_deep.zip", "bad_backslash.zip", "bad_mixed.zip",
        "bad_absolute.zip", "bad_absolute_backslash.zip", "bad_drive.zip",
        "bad_drive_relative.zip", "bad_stream.zip", "bad_dots.zip", "bad_dot_blank.zip",
        "bad_directory.zip"}) {
    ExpectRefusedBeforeAnythingIsWrittenForIt(archive);
  }
}

// On Windows these would open the console, a serial port or the null device instead of a file.
TEST_F(UnzipTest, DeviceNamesFailBeforeAnythingIsWrittenForThem) {
  for (const char* archive : {"bad_device.zip", "bad_device_extension.zip",
                              "bad_device_in_folder.zip", "bad_device_blank.zip"}) {
    ExpectRefusedBeforeAnythingIsWrittenForIt(archive);
  }
}

TEST_F(UnzipTest, ParentStepsThatStayInsideAreFollowed) {
  TUnzip unzip(TestArchive("py_inside_dotdot.zip").c_str());
  ASSERT_TRUE(unzip.ExtractAll(Dest().c_str()));
  EXPECT_EQ(ListTree(temp_.path()), (std::set<std::string>{"dest/", "dest/a/", "dest/b.txt"}));
}

TEST_F(UnzipTest, PathOverTheLimitFailsTheEntry) {
  TUnzip unzip(TestArchive("py_long_name.zip").c_str());
  EXPECT_FALSE(unzip.ExtractAll(Dest().c_str()));
  EXPECT_EQ(ListTree(Dest()), (std::set<std::string>{"first.txt"}));
}

TEST_F(UnzipTest, DamagedDataAndUnknownMethodsFail) {
  {
    TUnzip unzip(TestArchive("py_crc.zip").c_str());
    EXPECT_FALSE(unzip.ExtractAll(Dest().c_str()));
  }
  {
    TUnzip unzip(TestArchive("py_corrupt.zip").c_str());
    EXPECT_FALSE(unzip.ExtractAll(Dest().c_str()));
  }
  // Nothing is written for data minizip cannot decode: bzip2, or encrypted.
  for (const char* archive : {"py_bzip2.zip", "infozip_encrypted.zip"}) {
    TempDir temp;
    TUnzip unzip(TestArchive(archive).c_str());
    EXPECT_FALSE(unzip.ExtractAll(temp.Join("dest").c_str())) << archive;
    EXPECT_EQ(ListTree(temp.path()), (std::set<std::string>{"dest/"})) << archive;
  }
  TUnzip unzip;
  EXPECT_FALSE(unzip.OpenArchive(temp_.Join("missing.zip").c_str()));
  ASSERT_TRUE(WriteFileBytes(temp_.Join("not_a.zip"), "PK\x03\x04 this is no archive"));
  EXPECT_FALSE(unzip.OpenArchive(temp_.Join("not_a.zip").c_str()));
  EXPECT_FALSE(unzip.OpenArchive(""));
  EXPECT_FALSE(unzip.OpenArchive(nullptr));
}

TEST_F(UnzipTest, OpeningASecondArchiveClosesTheFirst) {
  const std::string first = temp_.Join("first.zip");
  ASSERT_TRUE(WriteFileBytes(first, ReadFileBytes(TestArchive("py_locked.zip"))));
  TUnzip unzip(first.c_str());
  ASSERT_TRUE(unzip.IsOpen());
  ASSERT_TRUE(unzip.OpenArchive(TestArchive("py_second.zip").c_str()));
  // Windows refuses to delete a file that is still open.
  EXPECT_EQ(std::remove(NativePath(first).c_str()), 0);
  ASSERT_TRUE(unzip.ExtractAll(Dest().c_str()));
  EXPECT_EQ(ListTree(Dest()), (std::set<std::string>{"second.txt"}));

  // A failed open closes too.
  EXPECT_FALSE(unzip.OpenArchive(first.c_str()));
  EXPECT_FALSE(unzip.IsOpen());
  EXPECT_STREQ(unzip.DefaultOutputFolder(), "");
}

TEST_F(UnzipTest, WithoutDestinationTheEntryGoesBesideTheArchive) {
  const std::string archive = temp_.Join("beside.zip");
  ASSERT_TRUE(WriteFileBytes(archive, ReadFileBytes(TestArchive("py_nested.zip"))));
  TUnzip unzip(archive.c_str());
  ASSERT_TRUE(unzip.IsOpen());
  EXPECT_EQ(std::string(unzip.DefaultOutputFolder()), temp_.path() + "\\");
  ASSERT_TRUE(unzip.ExtractEntry(nullptr));
  EXPECT_EQ(ReadFileBytes(temp_.Join("x\\y\\z.txt")), ContentOf("x/y/z.txt"));
  unzip.CloseArchive();
  EXPECT_STREQ(unzip.DefaultOutputFolder(), "");
  EXPECT_FALSE(unzip.ExtractEntry(nullptr));
}

TEST_F(UnzipTest, MakeDirectoriesWalksEveryComponent) {
  TUnzip unzip;
  ASSERT_TRUE(unzip.MakeDirectories((temp_.path() + "\\a\\\\b\\").c_str()));
  EXPECT_EQ(ListTree(temp_.path()), (std::set<std::string>{"a/", "a/b/"}));
  ASSERT_TRUE(unzip.MakeDirectories((temp_.path() + "/c/d").c_str()));
  EXPECT_TRUE(PathExists((temp_.path() + "\\c\\d").c_str()));
  // A bare drive needs nothing.
  EXPECT_TRUE(unzip.MakeDirectories("C:"));
  EXPECT_TRUE(unzip.MakeDirectories("C:\\"));
  EXPECT_TRUE(unzip.MakeDirectories(""));
  // A file in the way fails the walk.
  ASSERT_TRUE(WriteFileBytes(temp_.Join("file"), "x"));
  EXPECT_FALSE(unzip.MakeDirectories((temp_.path() + "\\file\\sub").c_str()));
}

}  // namespace
