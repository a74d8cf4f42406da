// pack: a directory tree becomes a package folder the loader accepts, with every file copied and
// named; trees it cannot publish are refused without leaving a half-written folder.
#include "service/pack.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "base/sha256.h"
#include "service/keygen.h"
#include "service/package.h"
#include "test_support/temp_dir.h"

namespace fs = std::filesystem;

namespace {

void Write(const fs::path& path, const std::string& bytes) {
  fs::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary) << bytes;
}

std::string Read(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

}  // namespace

TEST(Pack, EveryFileBecomesOneModuleInSortedOrder) {
  TempDir temp;
  fs::path tree = fs::path(temp.path()) / "tree";
  fs::path out = fs::path(temp.path()) / "out";
  Write(tree / "quillbank ix.exe", "MZ");
  Write(tree / "Data/Quotes/a.day", std::string(5000, '\x01'));
  Write(tree / "Data/empty.bin", "");
  std::string deep = "very-long-folder-name-for-the-module-name/another-long-folder/";
  Write(tree / deep / "f.dat", "deep");
  Write(fs::path(temp.path()) / "dep.zip", std::string("PK\x05\x06", 4) + std::string(18, '\0'));

  PackOptions options;
  options.number = "777";
  options.product_name = "羽笔 ix";
  options.version_part3 = 9;
  options.version_part4 = 12;
  options.base_archive = (fs::path(temp.path()) / "dep.zip").string();
  std::string error;
  size_t count = 0;
  ASSERT_TRUE(PackTree(tree.string(), out.string(), options, &error, &count)) << error;
  EXPECT_EQ(count, 4u);

  Package p;
  ASSERT_TRUE(LoadPackage(out.string(), &p, &error)) << error;
  EXPECT_EQ(p.number, "777");
  EXPECT_EQ(p.product_name, "羽笔 ix");
  EXPECT_EQ(p.version_part3, 9);
  EXPECT_EQ(p.version_part4, 12);
  EXPECT_EQ(p.base_archive_path, (out / "SystemDepend.zip").string());
  ASSERT_EQ(p.modules.size(), 4u);
  // Sorted by path components, byte order: upper case before lower case.
  EXPECT_EQ(p.modules[0].folder_part, "Data\\Quotes\\");
  EXPECT_EQ(p.modules[0].file_part, "a.day");
  EXPECT_EQ(p.modules[0].name, "Data\\Quotes\\a.day");
  EXPECT_EQ(p.modules[1].folder_part, "Data\\");
  EXPECT_EQ(p.modules[1].file_part, "empty.bin");
  EXPECT_EQ(p.modules[2].file_part, "quillbank ix.exe");
  EXPECT_EQ(p.modules[2].folder_part, "");
  // A path longer than the name field gets a numbered name.
  EXPECT_EQ(p.modules[3].name, "module-4");
  for (size_t i = 0; i < p.modules.size(); ++i) {
    EXPECT_EQ(p.modules[i].package_key, "777");
    // The record's numbers are the first bytes of the file's SHA-256.
    const std::string bytes = Read(p.modules[i].source_path);
    const Sha256Digest digest =
        Sha256Of(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
    EXPECT_EQ(static_cast<uint32_t>(p.modules[i].num1),
              digest[0] | digest[1] << 8 | digest[2] << 16 | static_cast<uint32_t>(digest[3]) << 24);
    EXPECT_EQ(static_cast<uint32_t>(p.modules[i].num2),
              digest[4] | digest[5] << 8 | digest[6] << 16 | static_cast<uint32_t>(digest[7]) << 24);
    EXPECT_EQ(p.modules[i].kind, 'F');
    EXPECT_EQ(fs::path(p.modules[i].source_path).parent_path().string().rfind(out.string(), 0),
              0u);  // copies inside the package folder
  }
  EXPECT_EQ(Read(p.modules[0].source_path), std::string(5000, '\x01'));
  EXPECT_EQ(p.modules[1].size, 0u);

  // The output folder is in use now: a second pack into it is refused and leaves it alone.
  EXPECT_FALSE(PackTree(tree.string(), out.string(), options, &error, nullptr));
  EXPECT_TRUE(fs::exists(out / "package.json"));
}

// Two versions of a package, packed from trees that differ in one file, whatever their version
// numbers (the same fourth part, even the same version): an unchanged file keeps its record, a
// changed one and each version's manifest get records of their own, so that a download that
// asks for one version's records, on whichever instance, gets that version's bytes or nothing.
TEST(Pack, ARecordNamesOneContentInEveryVersion) {
  TempDir temp;
  const fs::path base(temp.path());
  std::string error;
  KeygenResult keys;
  ASSERT_TRUE(WriteNewKeyPair((base / "keys").string(), &keys, &error)) << error;
  Write(base / "a/quillbank ix.exe", "MZ terminal");
  Write(base / "a/Data/Quotes/SH600000.day", std::string(3000, 'q'));
  Write(base / "b/quillbank ix.exe", "MZ terminal");
  Write(base / "b/Data/Quotes/SH600000.day", std::string(3000, 'q') + "one more day");
  struct Version {
    const char* tree;
    int32_t part3;
    int32_t part4;
  };
  std::vector<Package> packed;
  for (const Version& v : {Version{"a", 5, 17}, Version{"b", 6, 17}, Version{"b", 5, 17}}) {
    PackOptions options;
    options.version_part3 = v.part3;
    options.version_part4 = v.part4;
    options.signing_key_file = keys.key_path;
    const fs::path out = base / ("out-" + std::to_string(packed.size()));
    ASSERT_TRUE(PackTree((base / v.tree).string(), out.string(), options, &error, nullptr))
        << error;
    packed.emplace_back();
    ASSERT_TRUE(LoadPackage(out.string(), &packed.back(), &error)) << error;
    ASSERT_EQ(packed.back().modules.size(), 3u);  // the manifest last
  }
  auto record = [](const PackageModule& m) {
    return m.package_key + "/" + m.name + "/" + std::to_string(m.num1) + "_" +
           std::to_string(m.num2);
  };
  for (size_t x = 0; x < packed.size(); ++x) {
    for (size_t y = 0; y < packed.size(); ++y) {
      for (const PackageModule& m : packed[x].modules) {
        for (const PackageModule& n : packed[y].modules) {
          // One record, one content.
          if (record(m) == record(n)) {
            EXPECT_EQ(Read(m.source_path), Read(n.source_path));
          }
        }
      }
    }
  }
  EXPECT_EQ(record(packed[0].modules[1]), record(packed[1].modules[1]));  // the terminal
  EXPECT_NE(record(packed[0].modules[0]), record(packed[1].modules[0]));  // the changed file
  EXPECT_NE(record(packed[0].modules[2]), record(packed[1].modules[2]));  // the manifests
  EXPECT_NE(record(packed[1].modules[2]), record(packed[2].modules[2]));
}

TEST(Pack, RefusesTreesItCannotPublishAndCleansUp) {
  TempDir temp;
  fs::path tree = fs::path(temp.path()) / "tree";
  fs::path out = fs::path(temp.path()) / "out";
  std::string error;
  PackOptions options;

  EXPECT_FALSE(PackTree((tree / "missing").string(), out.string(), options, &error, nullptr));
  fs::create_directories(tree);
  EXPECT_FALSE(PackTree(tree.string(), out.string(), options, &error, nullptr));  // no files
  EXPECT_FALSE(fs::exists(out));

  Write(tree / "ok.dat", "x");
  EXPECT_FALSE(PackTree(tree.string(), (tree / "out").string(), options, &error, nullptr));

  Write(tree / "Data/\xE6\x95\xB0\xE6\x8D\xAE.dat", "non-ASCII name");
  EXPECT_FALSE(PackTree(tree.string(), out.string(), options, &error, nullptr));
  EXPECT_NE(error.find("ASCII"), std::string::npos);
  EXPECT_FALSE(fs::exists(out));
  fs::remove_all(tree / "Data");

  Write(tree / std::string(59, 'f'), "long file name");
  EXPECT_FALSE(PackTree(tree.string(), out.string(), options, &error, nullptr));
  fs::remove(tree / std::string(59, 'f'));

  // Names no Windows install can hold, each named in the message: two paths Windows takes for
  // one file, a trailing dot or blank, a character Windows refuses.
  struct Unfit {
    std::vector<std::string> files;
    const char* says;
  };
  for (const Unfit& unfit : std::vector<Unfit>{
           {{"Data/Quotes.dat", "data/quotes.DAT"}, "differ in letter case only"},
           {{"a.dll."}, "ends in a dot or a blank"},
           {{"Data /x.dat"}, "ends in a dot or a blank"},
           {{"a*.dat"}, "a character Windows refuses"},
           {{"a|b"}, "a character Windows refuses"},
           {{"q\"uote"}, "a character Windows refuses"}}) {
    SCOPED_TRACE(unfit.files[0]);
    for (const std::string& file : unfit.files) Write(tree / file, "x");
    EXPECT_FALSE(PackTree(tree.string(), out.string(), options, &error, nullptr));
    EXPECT_NE(error.find(unfit.says), std::string::npos) << error;
    EXPECT_NE(error.find(fs::path(unfit.files[0]).filename().string()), std::string::npos) << error;
    EXPECT_FALSE(fs::exists(out));
    for (const std::string& file : unfit.files) fs::remove_all(tree / fs::path(file).begin()->string());
  }

  // An existing empty output folder is used, and emptied again on failure.
  fs::create_directories(out);
  options.base_archive = (tree / "ok.dat").string();  // not a zip
  EXPECT_FALSE(PackTree(tree.string(), out.string(), options, &error, nullptr));
  EXPECT_TRUE(fs::exists(out));
  EXPECT_TRUE(fs::is_empty(out));
  options.base_archive.clear();

  options.product_name = std::string(51, 'n');
  EXPECT_FALSE(PackTree(tree.string(), out.string(), options, &error, nullptr));
  options.product_name = "\xE7\xBE";  // cut UTF-8
  EXPECT_FALSE(PackTree(tree.string(), out.string(), options, &error, nullptr));
  options.product_name = "ok";
  options.number = "12345678901";
  EXPECT_FALSE(PackTree(tree.string(), out.string(), options, &error, nullptr));
  options.number = "1";
  EXPECT_TRUE(PackTree(tree.string(), out.string(), options, &error, nullptr)) << error;
}
