// Loading package folders: what a valid package.json yields, and each kind of entry that must
// be refused before the service starts serving.
#include "service/package.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "service/package_set.h"
#include "test_support/temp_dir.h"

namespace fs = std::filesystem;

namespace {

void Write(const fs::path& path, const std::string& bytes) {
  fs::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary) << bytes;
}

std::string Module(const std::string& name, const std::string& folder, const std::string& file,
                   const std::string& extra = "") {
  return R"({"package_key": "100201", "name": ")" + name + R"(", "folder": ")" + folder +
         R"(", "file": ")" + file + R"(")" + extra + "}";
}

std::string Json(const std::string& modules, const std::string& extra = "") {
  return R"({"package_number": "100201", "product_name": "羽笔 ix", "version_part3": 5,
             "version_part4": 17)" + extra + R"(, "modules": [)" + modules + "]}";
}

class PackageTest : public ::testing::Test {
 protected:
  TempDir temp_;
  fs::path dir_ = fs::path(temp_.path());

  bool Load(const std::string& json, Package* package = nullptr) {
    Write(dir_ / "package.json", json);
    Package local;
    error_.clear();
    return LoadPackage(dir_.string(), package ? package : &local, &error_);
  }
  std::string error_;
};

}  // namespace

TEST_F(PackageTest, LoadsModulesWithTheirFilesAndDefaults) {
  Write(dir_ / "Data/a.dat", std::string(3000, 'a'));
  Write(dir_ / "bin/x.exe", "MZ");
  Write(dir_ / "dep.zip", std::string("PK\x03\x04", 4) + "rest");
  Package p;
  ASSERT_TRUE(Load(Json(Module("a", "Data\\\\", "a.dat", R"(, "num1": -3, "num2": 2147483647,
                                  "kind": "D", "tail": "12345678")") +
                            "," + Module("x", "", "x.exe", R"(, "source": "bin/x.exe")"),
                        R"(, "base_archive": "dep.zip")"),
                   &p))
      << error_;
  EXPECT_EQ(p.number, "100201");
  EXPECT_EQ(p.product_name, "羽笔 ix");
  EXPECT_EQ(p.version_part3, 5);
  EXPECT_EQ(p.version_part4, 17);
  ASSERT_EQ(p.modules.size(), 2u);
  EXPECT_EQ(p.modules[0].folder_part, "Data\\");
  EXPECT_EQ(p.modules[0].size, 3000u);
  EXPECT_EQ(p.modules[0].num1, -3);
  EXPECT_EQ(p.modules[0].num2, 2147483647);
  EXPECT_EQ(p.modules[0].kind, 'D');
  EXPECT_EQ(p.modules[0].tail, "12345678");
  EXPECT_EQ(p.modules[1].kind, 'F');
  EXPECT_EQ(p.modules[1].source_path, (dir_ / "bin/x.exe").string());
  EXPECT_EQ(p.base_archive_path, (dir_ / "dep.zip").string());

  // What PackageJsonText writes loads back to the same package.
  Package again;
  ASSERT_TRUE(Load(PackageJsonText(p), &again)) << error_;
  EXPECT_EQ(again.modules[1].source_path, p.modules[1].source_path);
  EXPECT_EQ(again.modules[0].tail, "12345678");
  EXPECT_EQ(again.base_archive_path, p.base_archive_path);
}

TEST_F(PackageTest, RefusesMalformedFiles) {
  Write(dir_ / "a.dat", "a");
  EXPECT_FALSE(Load("not json"));
  EXPECT_FALSE(Load("[1, 2]"));
  EXPECT_FALSE(Load(R"({"package_number": "100201", "modules": []})"));  // no product name
  EXPECT_FALSE(Load(Json(Module("a", "", "a.dat"), R"(, "version_part3": "5")")));
  EXPECT_FALSE(Load(R"({"package_number": "100201", "product_name": "x", "version_part3": 5,
                        "version_part4": 4294967296, "modules": []})"));
  EXPECT_FALSE(Load(R"({"package_number": "100201", "product_name": "x", "version_part3": 5,
                        "version_part4": 1, "modules": {}})"));
  EXPECT_FALSE(Load(Json("[]")));  // a module that is not an object
  EXPECT_FALSE(Load(Json(Module("a", "", "a.dat", R"(, "num1": 1.5)"))));
  EXPECT_FALSE(Load(Json(Module("a", "", "a.dat", R"(, "kind": "FF")"))));
  EXPECT_FALSE(Load(Json(Module("a\\u0000b", "", "a.dat"))));
  EXPECT_TRUE(Load(Json(Module("a", "", "a.dat")))) << error_;
  fs::remove(dir_ / "package.json");
  Package p;
  EXPECT_FALSE(LoadPackage(dir_.string(), &p, &error_));
  EXPECT_NE(error_.find("package.json"), std::string::npos);
}

TEST_F(PackageTest, RefusesTextsThatDoNotFitTheirWireFields) {
  Write(dir_ / "a.dat", "a");
  std::string a = Module("a", "", "a.dat");
  EXPECT_FALSE(Load(Json(a).replace(Json(a).find("100201"), 6, "12345678901")));
  EXPECT_FALSE(Load(Json(a).replace(Json(a).find("100201"), 6, "")));
  std::string long_name = std::string(17, 'x') + "羽";  // 20 bytes: fits
  EXPECT_TRUE(Load(Json(a).replace(Json(a).find("羽笔 ix"), 9, long_name))) << error_;
  std::string too_long = std::string(48, 'x') + "羽";  // 51 bytes
  EXPECT_FALSE(Load(Json(a).replace(Json(a).find("羽笔 ix"), 9, too_long)));
  EXPECT_FALSE(Load(Json(Module(std::string(51, 'n'), "", "a.dat"))));
  EXPECT_TRUE(Load(Json(Module(std::string(50, 'n'), "", "a.dat")))) << error_;
  EXPECT_FALSE(Load(Json(Module("", "", "a.dat"))));
  EXPECT_FALSE(Load(Json(Module("a", "", "a.dat", R"(, "package_key": "12345678901")"))));
  EXPECT_FALSE(Load(Json(Module("a", "", "a.dat", R"(, "tail": "123456789")"))));
  std::string file59(59, 'f');
  Write(dir_ / file59, "x");
  EXPECT_FALSE(Load(Json(Module("a", "", file59))));
  std::string file58(58, 'f');
  Write(dir_ / file58, "x");
  EXPECT_TRUE(Load(Json(Module("a", "", file58)))) << error_;
  std::string folder(100, 'd');
  folder.back() = '\\';
  Write(dir_ / folder.substr(0, 99) / "a.dat", "x");
  EXPECT_TRUE(Load(Json(Module("a", folder.substr(0, 99) + "\\\\", "a.dat")))) << error_;
  EXPECT_FALSE(Load(Json(Module("a", "d" + folder.substr(0, 99) + "\\\\", "a.dat"))));
}

TEST_F(PackageTest, RefusesInstallPathsThatLeaveTheInstallFolder) {
  std::string error;
  EXPECT_TRUE(CheckInstallPath("Data\\Quotes\\", "a.day", &error)) << error;
  EXPECT_TRUE(CheckInstallPath("", "quillbank ix.exe", &error)) << error;
  for (auto [folder, file] : std::vector<std::pair<std::string, std::string>>{
           {"..\\", "a"}, {"Data\\..\\..\\", "a"}, {"\\", "a"}, {"\\Windows\\", "a"},
           {"C:\\", "a"}, {"Data", "a"}, {"Data\\\\x\\", "a"}, {"", ".."}, {"", "a\\b"},
           {"", "a/b"}, {"Data/", "a"}, {"", ""}, {"", "con"}, {"", "LPT1.txt"},
           {"aux\\", "a"}, {"", "a."}, {"", "a "}, {"", "a?"}, {"", "\x01"}, {"", "\xE7\xBE\xBD"},
           {".\\", "a"}, {"", "CONIN$"}, {"", "conout$.log"}, {"", "Aux .txt"}}) {
    EXPECT_FALSE(CheckInstallPath(folder, file, &error)) << folder << "|" << file;
  }
}

TEST_F(PackageTest, RefusesSourcesOutsideTheFolderAndMissingFiles) {
  Write(dir_ / "a.dat", "a");
  Write(dir_.parent_path() / "outside.dat", "o");
  EXPECT_FALSE(Load(Json(Module("a", "", "a.dat", R"(, "source": "../outside.dat")"))));
  EXPECT_FALSE(Load(Json(Module("a", "", "a.dat", R"(, "source": ")" +
                                                      (dir_ / "a.dat").string() + "\""))));
  EXPECT_FALSE(Load(Json(Module("a", "", "missing.dat"))));
  fs::create_directories(dir_ / "folder.dat");
  EXPECT_FALSE(Load(Json(Module("a", "", "folder.dat"))));
  // A link inside the folder may point anywhere: that is how the demo names its terminal.
  fs::create_symlink(dir_.parent_path() / "outside.dat", dir_ / "link.dat");
  EXPECT_TRUE(Load(Json(Module("a", "", "link.dat")))) << error_;
  fs::remove(dir_.parent_path() / "outside.dat");
  EXPECT_FALSE(Load(Json(Module("a", "", "link.dat"))));
  Write(dir_ / "notzip.zip", "hello");
  EXPECT_FALSE(Load(Json(Module("a", "", "a.dat"), R"(, "base_archive": "notzip.zip")")));
  EXPECT_FALSE(Load(Json(Module("a", "", "a.dat"), R"(, "base_archive": "nothere.zip")")));
}

TEST_F(PackageTest, RefusesModulesThatCollide) {
  Write(dir_ / "a.dat", "a");
  Write(dir_ / "b.dat", "b");
  Write(dir_ / "Data/a.dat", "a");
  EXPECT_FALSE(Load(Json(Module("a", "", "a.dat") + "," + Module("a", "", "b.dat"))));
  // Windows names are compared without case.
  EXPECT_FALSE(Load(Json(Module("a", "", "a.dat") + "," +
                         Module("b", "", "A.DAT", R"(, "source": "b.dat")"))));
  // A file where another module needs a folder.
  EXPECT_FALSE(Load(Json(Module("a", "", "Data", R"(, "source": "a.dat")") + "," +
                         Module("b", "data\\\\", "a.dat"))));
  EXPECT_TRUE(Load(Json(Module("a", "", "a.dat") + "," + Module("b", "Data\\\\", "a.dat"))))
      << error_;
}

TEST_F(PackageTest, PackageSetFindsModulesAcrossPackagesAndRefusesConflicts) {
  Write(dir_ / "a.dat", "a");
  Write(dir_ / "b.dat", "b");
  Package one;
  ASSERT_TRUE(Load(Json(Module("a", "", "a.dat")), &one)) << error_;
  Package two = one;
  two.number = "200";
  two.modules[0].name = "other";
  Package clash = one;
  clash.number = "300";
  clash.modules[0].source_path = (dir_ / "b.dat").string();

  PackageSet set;
  std::string error;
  ASSERT_TRUE(set.Add(one, &error));
  EXPECT_FALSE(set.Add(one, &error));  // same number twice
  ASSERT_TRUE(set.Add(two, &error));
  EXPECT_FALSE(set.Add(clash, &error));  // same key and name, another file
  EXPECT_EQ(set.Find("200"), &set.packages()[1]);
  EXPECT_EQ(set.Find("999"), nullptr);
  EXPECT_EQ(set.FindModule("100201", "other", 0, 0), &set.packages()[1].modules[0]);
  EXPECT_EQ(set.FindModule("100201", "a", 0, 0), &set.packages()[0].modules[0]);
  EXPECT_EQ(set.FindModule("100201", "a", 1, 0), nullptr);
  EXPECT_EQ(set.FindModule("100202", "a", 0, 0), nullptr);
  EXPECT_EQ(set.BaseArchiveOwner(), nullptr);
}
