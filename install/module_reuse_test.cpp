// The reuse decision against real folders: a module is taken from the install only when every
// one of its files is there byte for byte; whatever else, it is downloaded and nothing of it stays
// in staging.
#include "install/module_reuse.h"

#include <gtest/gtest.h>

#include <cstdio>

#include <map>
#include <string>
#include <vector>

#include "base/file_system.h"
#include "base/make_path_dirs.h"
#include "base/sha256.h"
#include "install/system.h"
#include "test_support/temp_dir.h"

namespace {

class ModuleReuseTest : public ::testing::Test {
 protected:
  ModuleReuseTest() : install_(dir_.Join("install")), staging_(dir_.Join("staging")) {
    manifest_.package_number = "100201";
    // The new version: "core" of two files, "quotes", "doc", and the manifest's own module.
    List("core", "quillbank ix.exe", "terminal v2");
    List("core", "bin\\core.dll", std::string(3000, 'c'));
    List("quotes", "Data\\Quotes\\SH600000.day", std::string(70000, 'q'));
    List("doc", "Docs\\readme.txt", "read me");
    List("package.manifest", "package.manifest", "signed bytes");
    // The earlier install holds the same, plus a file the new version no longer has.
    for (const ManifestFile& file : manifest_.files) Put(install_, file.path, bytes_[file.path]);
    Put(install_, "Data\\old.dat", "gone in the new version");
  }

  void List(const std::string& module, const std::string& path, const std::string& bytes) {
    ManifestFile file;
    file.path = path;
    file.module = module;
    file.size = bytes.size();
    file.sha256 = Sha256Of(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
    manifest_.files.push_back(file);
    bytes_[path] = bytes;
  }
  static void Put(const std::string& folder, const std::string& path, const std::string& bytes) {
    const std::string full = folder + "\\" + path;
    ASSERT_TRUE(MakePathDirs(full.c_str()));
    ASSERT_TRUE(WriteFileBytes(full, bytes));
  }
  ReuseResult Reuse() {
    return ReuseInstalledModules(manifest_, install_, staging_, "package.manifest");
  }
  bool Staged(const std::string& path) {
    return PathExists((staging_ + "\\" + path).c_str());
  }

  TempDir dir_;
  std::string install_, staging_;
  PackageManifest manifest_;
  std::map<std::string, std::string> bytes_;
};

TEST_F(ModuleReuseTest, UnchangedModulesAreCopiedWithTheHashOfWhatWasWritten) {
  const ReuseResult result = Reuse();
  EXPECT_EQ(result.modules, (std::vector<std::string>{"core", "quotes", "doc"}));
  EXPECT_EQ(result.modules_listed, 3u);
  EXPECT_EQ(result.bytes, 11u + 3000 + 70000 + 7);
  ASSERT_EQ(result.files.size(), 4u);
  for (const ReusedFile& file : result.files) {
    SCOPED_TRACE(file.path);
    EXPECT_EQ(ReadFileBytes(staging_ + "\\" + file.path), bytes_[file.path]);
    const std::string& bytes = bytes_[file.path];
    EXPECT_EQ(file.size, bytes.size());
    EXPECT_TRUE(file.sha256 ==
                Sha256Of(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()));
  }
  // Neither the manifest's own module nor what the new version dropped.
  EXPECT_FALSE(Staged("package.manifest"));
  EXPECT_FALSE(Staged("Data\\old.dat"));
}

TEST_F(ModuleReuseTest, AModuleWithAnyFileOtherThanListedIsDownloadedWhole) {
  struct Case {
    const char* what;
    std::string path;
    std::string bytes;  // empty with remove: the file is deleted
    bool remove;
  };
  const Case cases[] = {
      {"size differs", "Docs\\readme.txt", "read me, longer", false},
      {"same size, other bytes", "Data\\Quotes\\SH600000.day", std::string(69999, 'q') + "x", false},
      {"missing", "quillbank ix.exe", "", true},
      // One file of the two of "core" changed: the other one is not taken alone.
      {"one of several files", "bin\\core.dll", std::string(2999, 'c') + "C", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    DeletePath(staging_.c_str());
    const std::string full = install_ + "\\" + c.path;
    const std::string original = ReadFileBytes(full);
    if (c.remove) {
      ASSERT_TRUE(DeletePath(full.c_str()));
    } else {
      ASSERT_TRUE(WriteFileBytes(full, c.bytes));
    }
    const ReuseResult result = Reuse();
    std::string module;
    for (const ManifestFile& file : manifest_.files) {
      if (file.path == c.path) {
        module = file.module;
      }
    }
    for (const std::string& reused : result.modules) EXPECT_NE(reused, module);
    EXPECT_EQ(result.modules.size(), 2u);
    for (const ManifestFile& file : manifest_.files) {
      if (file.module == module) {
        EXPECT_FALSE(Staged(file.path)) << file.path;
      }
    }
    ASSERT_TRUE(WriteFileBytes(full, original));
  }
}

// Linked where the volume allows (one file under two names, no byte copied), copied when links
// are off. Whatever an earlier attempt left in staging is replaced, never written through: a
// copy over an earlier link leaves the installed file as it was.
TEST_F(ModuleReuseTest, UnchangedFilesAreLinkedAndAnEarlierLinkIsNeverWrittenThrough) {
  // One byte written in place through the install's name; whether staging sees it tells a link
  // from a copy.
  const auto poke = [this](const std::string& path, char byte) {
    FILE* file = OpenFile((install_ + "\\" + path).c_str(), "r+b");
    ASSERT_NE(file, nullptr);
    ASSERT_EQ(std::fwrite(&byte, 1, 1, file), 1u);
    ASSERT_EQ(std::fclose(file), 0);
  };
  ReuseResult result = Reuse();
  ASSERT_EQ(result.files.size(), 4u);
  // Held until the package check where the system can keep writers out: nobody writes them.
  const bool held = HeldFile::KeepsWritersOut();
  EXPECT_EQ(result.held.size(), 4u);
  for (const ReusedFile& file : result.files) {
    SCOPED_TRACE(file.path);
    EXPECT_TRUE(file.linked);
    EXPECT_EQ(file.held, held);
    FILE* writer = OpenFile((install_ + "\\" + file.path).c_str(), "r+b");
    EXPECT_EQ(writer == nullptr, held);
    if (writer != nullptr) std::fclose(writer);
  }
  result.held.clear();
  for (const ReusedFile& file : result.files) {
    SCOPED_TRACE(file.path);
    poke(file.path, '#');
    EXPECT_EQ(ReadFileBytes(staging_ + "\\" + file.path)[0], '#');
    poke(file.path, bytes_[file.path][0]);
  }
  // A file a program has open for writing (the terminal's data file) cannot be held. Where an
  // earlier attempt's link of it is in staging and the program's open keeps it from being
  // deleted (Windows), the module is left to download; nothing is written through the link.
  FILE* terminal = OpenFile((install_ + "\\Docs\\readme.txt").c_str(), "r+b");
  ASSERT_NE(terminal, nullptr);
  result = Reuse();
  std::fclose(terminal);
  result.held.clear();
  EXPECT_EQ(ReadFileBytes(install_ + "\\Docs\\readme.txt"), bytes_["Docs\\readme.txt"]);
  // In a fresh staging folder it is copied, and the rest is still linked.
  ASSERT_TRUE(DeletePath(staging_.c_str()));
  terminal = OpenFile((install_ + "\\Docs\\readme.txt").c_str(), "r+b");
  ASSERT_NE(terminal, nullptr);
  result = Reuse();
  std::fclose(terminal);
  ASSERT_EQ(result.files.size(), 4u);
  for (const ReusedFile& file : result.files) {
    EXPECT_EQ(file.linked, !held || file.path != "Docs\\readme.txt") << file.path;
    EXPECT_EQ(ReadFileBytes(staging_ + "\\" + file.path), bytes_[file.path]);
  }
  result.held.clear();
  // Again without links, over the links of the first attempt: copies, the install as it was.
  result = ReuseInstalledModules(manifest_, install_, staging_, "package.manifest", nullptr,
                                 /*links=*/false);
  ASSERT_EQ(result.files.size(), 4u);
  for (const ReusedFile& file : result.files) {
    SCOPED_TRACE(file.path);
    EXPECT_FALSE(file.linked);
    EXPECT_EQ(ReadFileBytes(install_ + "\\" + file.path), bytes_[file.path]);
    poke(file.path, '#');
    EXPECT_EQ(ReadFileBytes(staging_ + "\\" + file.path), bytes_[file.path]);
    poke(file.path, bytes_[file.path][0]);
  }
  // A link left where this attempt finds the module changed: gone, the install untouched.
  ASSERT_TRUE(DeletePath(staging_.c_str()));
  Reuse();
  const std::string quotes = "Data\\Quotes\\SH600000.day";
  // Replaced in the install by a new file (the link in staging keeps the old bytes).
  ASSERT_TRUE(DeletePath((install_ + "\\" + quotes).c_str()));
  ASSERT_TRUE(WriteFileBytes(install_ + "\\" + quotes, std::string(70000, 'Q')));
  result = Reuse();
  EXPECT_EQ(result.modules, (std::vector<std::string>{"core", "doc"}));
  EXPECT_FALSE(Staged(quotes));
  EXPECT_EQ(ReadFileBytes(install_ + "\\" + quotes), std::string(70000, 'Q'));
}

// A program or library (its file starts "MZ") is copied, not linked: while it runs, no name of
// its file can be deleted, and a staging folder given up must go whole.
TEST_F(ModuleReuseTest, ProgramsAndLibrariesAreCopiedNotLinked) {
  List("lib", "bin\\quotes.dll", std::string("MZ\x90\0", 4) + std::string(5000, 'l'));
  Put(install_, "bin\\quotes.dll", bytes_["bin\\quotes.dll"]);
  const ReuseResult result = Reuse();
  ASSERT_EQ(result.files.size(), 5u);
  for (const ReusedFile& file : result.files) {
    EXPECT_EQ(file.linked, file.path != "bin\\quotes.dll") << file.path;
    EXPECT_EQ(ReadFileBytes(staging_ + "\\" + file.path), bytes_[file.path]) << file.path;
  }
}

// Many modules, taken by two threads: the result keeps the manifest's order and holds exactly
// the modules that match.
TEST_F(ModuleReuseTest, ManyModulesOnTwoThreadsKeepTheManifestsOrder) {
  std::vector<std::string> expected = {"core", "quotes", "doc"};
  for (int i = 0; i < 60; ++i) {
    const std::string module = "day" + std::to_string(i);
    const std::string path = "Data\\Day\\" + module + ".day";
    List(module, path, std::string(1000 + i * 37, static_cast<char>('a' + i % 26)));
    // Every seventh changed in the install.
    Put(install_, path, i % 7 == 3 ? std::string(1000 + i * 37, '!') : bytes_[path]);
    if (i % 7 != 3) expected.push_back(module);
  }
  const ReuseResult result = Reuse();
  EXPECT_EQ(result.modules, expected);
  EXPECT_EQ(result.modules_listed, 63u);
  for (const ReusedFile& file : result.files) {
    EXPECT_EQ(ReadFileBytes(staging_ + "\\" + file.path), bytes_[file.path]) << file.path;
  }
  EXPECT_FALSE(Staged("Data\\Day\\day3.day"));
}

TEST_F(ModuleReuseTest, AFormatOneManifestReusesNothing) {
  manifest_.format = kManifestFormat1;
  const ReuseResult result = Reuse();
  EXPECT_TRUE(result.modules.empty());
  EXPECT_FALSE(PathExists(staging_.c_str()));
}

}  // namespace
