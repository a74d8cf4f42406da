// pack --sign: the manifest module lists every other file and the base archive as they are
// served, verifies under the key's public part only, and is served as any module; trees and
// key files it cannot sign with are refused before anything is written.
#include "service/package_signing.h"

#include <gtest/gtest.h>

#include <ctime>

#include <filesystem>
#include <fstream>

#include "base/signature.h"
#include "service/keygen.h"
#include "service/pack.h"
#include "service/signing_key.h"
#include "service/testing/test_client.h"
#include "service/testing/test_service.h"

namespace fs = std::filesystem;

namespace {

void Write(const fs::path& path, const std::string& bytes) {
  fs::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary) << bytes;
}

// The public key as an installer build gets it: the .pub text, decoded here on its own.
std::vector<uint8_t> PublicKeyOfFile(const std::string& path) {
  const std::string text = ReadFileBytes(path);
  std::vector<uint8_t> key;
  for (size_t i = 0; i + 1 < text.size() && text[i] != '\n'; i += 2) {
    key.push_back(static_cast<uint8_t>(std::stoi(text.substr(i, 2), nullptr, 16)));
  }
  return key;
}

std::vector<uint8_t> Bytes(const std::string& text) {
  return std::vector<uint8_t>(text.begin(), text.end());
}

class PackSignTest : public ::testing::Test {
 protected:
  void SetUp() override {
    tree_ = fs::path(temp_.path()) / "tree";
    out_ = fs::path(temp_.path()) / "out";
    Write(tree_ / "quillbank ix.exe", TestBytes(3000, 1));
    Write(tree_ / "Data/Quotes/a.day", TestBytes(70000, 2));
    Write(tree_ / "Data/empty.bin", "");
    // Only the top-level name is the manifest's.
    Write(tree_ / "Data/package.manifest", "not the manifest");
    zip_ = StoredZip({{"qbruntime.ini", "[runtime]\r\n"}});
    Write(fs::path(temp_.path()) / "dep.zip", zip_);
    KeygenResult keys;
    std::string error;
    ASSERT_TRUE(WriteNewKeyPair(temp_.path() + "/keys", &keys, &error)) << error;
    key_file_ = keys.key_path;
    public_key_ = PublicKeyOfFile(keys.public_path);
    ASSERT_EQ(public_key_.size(), kP256PublicKeySize);
    options_.number = "4242";
    options_.version_part3 = 7;
    options_.version_part4 = 31;
    options_.base_archive = temp_.path() + "/dep.zip";
    options_.signing_key_file = key_file_;
  }

  TempDir temp_;
  fs::path tree_, out_;
  std::string zip_;
  std::string key_file_;
  std::vector<uint8_t> public_key_;
  PackOptions options_;
};

}  // namespace

TEST_F(PackSignTest, ManifestListsEveryOtherFileAndTheBaseArchiveAndVerifies) {
  std::string error;
  size_t count = 0;
  ASSERT_TRUE(PackTree(tree_.string(), out_.string(), options_, &error, &count)) << error;
  EXPECT_EQ(count, 5u);
  Package package;
  ASSERT_TRUE(LoadPackage(out_.string(), &package, &error)) << error;
  ASSERT_EQ(package.modules.size(), 5u);

  const PackageModule& carrier = package.modules.back();
  EXPECT_EQ(carrier.name, "package.manifest");
  EXPECT_EQ(carrier.folder_part, "");
  EXPECT_EQ(carrier.file_part, "package.manifest");
  EXPECT_EQ(carrier.kind, 'F');
  // Numbered by the manifest's own bytes, as every module pack makes.
  PackageModule numbered;
  const std::string manifest_bytes = ReadFileBytes((out_ / "package.manifest").string());
  SetRecordNumbers(Sha256Of(reinterpret_cast<const uint8_t*>(manifest_bytes.data()),
                            manifest_bytes.size()),
                   &numbered);
  EXPECT_EQ(carrier.num1, numbered.num1);
  EXPECT_EQ(carrier.num2, numbered.num2);
  EXPECT_EQ(carrier.package_key, "4242");

  const std::vector<uint8_t> bytes = Bytes(ReadFileBytes((out_ / "package.manifest").string()));
  PackageManifest manifest;
  size_t signed_size = 0;
  const uint8_t* signature = nullptr;
  ASSERT_TRUE(DecodeManifest(bytes.data(), bytes.size(), &manifest, &signed_size, &signature));
  EXPECT_EQ(manifest.package_number, "4242");
  EXPECT_EQ(manifest.format, kManifestFormat);
  EXPECT_EQ(manifest.expires, 0u);  // no --expires
  EXPECT_EQ(manifest.version.Part3, 7);
  EXPECT_EQ(manifest.version.Part4, 31);
  ASSERT_EQ(manifest.files.size(), 4u);
  for (size_t i = 0; i < 4; ++i) {
    const PackageModule& m = package.modules[i];
    SCOPED_TRACE(m.name);
    EXPECT_EQ(manifest.files[i].path, m.folder_part + m.file_part);
    EXPECT_EQ(manifest.files[i].module, m.name);
    // Hashed here from the tree the package was made of.
    std::string rel = manifest.files[i].path;
    for (char& c : rel) c = c == '\\' ? '/' : c;
    Sha256Digest digest;
    uint64_t size = 0;
    ASSERT_TRUE(Sha256OfFile((tree_ / rel).string().c_str(), &digest, &size));
    EXPECT_EQ(manifest.files[i].size, size);
    EXPECT_TRUE(manifest.files[i].sha256 == digest);
  }
  EXPECT_EQ(manifest.files[0].path, "Data\\Quotes\\a.day");
  EXPECT_EQ(manifest.files[0].size, 70000u);
  EXPECT_EQ(manifest.base_archive.path, "SystemDepend.zip");
  EXPECT_EQ(manifest.base_archive.size, zip_.size());
  EXPECT_TRUE(manifest.base_archive.sha256 ==
              Sha256Of(reinterpret_cast<const uint8_t*>(zip_.data()), zip_.size()));

  const Sha256Digest body = Sha256Of(bytes.data(), signed_size);
  EXPECT_TRUE(VerifyP256Signature(public_key_.data(), body, signature));
  // Under another key, or over other bytes, it does not verify.
  KeygenResult other;
  ASSERT_TRUE(WriteNewKeyPair(temp_.path() + "/other", &other, &error)) << error;
  EXPECT_FALSE(VerifyP256Signature(PublicKeyOfFile(other.public_path).data(), body, signature));
  std::vector<uint8_t> changed = bytes;
  changed[signed_size - 1] ^= 1;
  EXPECT_FALSE(VerifyP256Signature(public_key_.data(), Sha256Of(changed.data(), signed_size),
                                   signature));
  std::string reason;
  EXPECT_TRUE(CheckManifestFile((out_ / "package.manifest").string(), public_key_.data(), &reason))
      << reason;
  EXPECT_FALSE(CheckManifestFile((out_ / "package.manifest").string(),
                                 PublicKeyOfFile(other.public_path).data(), &reason));
}

TEST_F(PackSignTest, WithoutABaseArchiveTheManifestNamesNone) {
  options_.base_archive.clear();
  std::string error;
  ASSERT_TRUE(PackTree(tree_.string(), out_.string(), options_, &error, nullptr)) << error;
  const std::vector<uint8_t> bytes = Bytes(ReadFileBytes((out_ / "package.manifest").string()));
  PackageManifest manifest;
  size_t signed_size = 0;
  const uint8_t* signature = nullptr;
  ASSERT_TRUE(DecodeManifest(bytes.data(), bytes.size(), &manifest, &signed_size, &signature));
  EXPECT_EQ(manifest.files.size(), 4u);
  EXPECT_TRUE(manifest.base_archive.path.empty());
  EXPECT_TRUE(VerifyP256Signature(public_key_.data(), Sha256Of(bytes.data(), signed_size),
                                  signature));
}

TEST_F(PackSignTest, WithoutSignNoManifestIsWritten) {
  options_.signing_key_file.clear();
  std::string error;
  size_t count = 0;
  ASSERT_TRUE(PackTree(tree_.string(), out_.string(), options_, &error, &count)) << error;
  EXPECT_EQ(count, 4u);
  EXPECT_FALSE(fs::exists(out_ / "package.manifest"));
  Package package;
  ASSERT_TRUE(LoadPackage(out_.string(), &package, &error)) << error;
  for (const PackageModule& m : package.modules) EXPECT_NE(m.name, "package.manifest");
}

TEST_F(PackSignTest, RefusesATreeHoldingTheManifestPathAndBadKeysBeforeWriting) {
  std::string error;
  for (const char* name : {"package.manifest", "Package.MANIFEST"}) {
    SCOPED_TRACE(name);
    Write(tree_ / name, "forged");
    EXPECT_FALSE(PackTree(tree_.string(), out_.string(), options_, &error, nullptr));
    EXPECT_NE(error.find("package.manifest"), std::string::npos) << error;
    EXPECT_FALSE(fs::exists(out_));
    fs::remove(tree_ / name);
  }

  const std::string good = ReadFileBytes(key_file_);
  const std::string bad_key = temp_.path() + "/bad.key";
  for (const std::string& text :
       {good.substr(0, 64) + "\n", good.substr(1), "x" + good.substr(1), std::string()}) {
    ASSERT_TRUE(WriteFileBytes(bad_key, text));
    options_.signing_key_file = bad_key;
    EXPECT_FALSE(PackTree(tree_.string(), out_.string(), options_, &error, nullptr));
    EXPECT_NE(error.find(bad_key), std::string::npos) << error;
    EXPECT_FALSE(fs::exists(out_));
  }
  options_.signing_key_file = temp_.path() + "/missing.key";
  EXPECT_FALSE(PackTree(tree_.string(), out_.string(), options_, &error, nullptr));
  EXPECT_FALSE(fs::exists(out_));
}

TEST(PackageManifestBuild, ModulesOfKindDAreNotListed) {
  TempDir temp;
  WriteTestPackage(temp.path(), "100201",
                   {{"", "a.exe", "a"}, {"D\\", "gone", "", 'D'}, {"D\\", "b", "bb"}});
  Package package;
  std::string error;
  ASSERT_TRUE(LoadPackage(temp.path(), &package, &error)) << error;
  PackageManifest manifest;
  ASSERT_TRUE(BuildManifest(package, /*expires=*/0, &manifest, &error)) << error;
  ASSERT_EQ(manifest.files.size(), 2u);
  EXPECT_EQ(manifest.files[0].path, "a.exe");
  EXPECT_EQ(manifest.files[1].path, "D\\b");
  EXPECT_EQ(manifest.files[1].size, 2u);
}

// Format 3 lists each file cut as the cutter cuts it, every chunk with its own hash; the range
// offer and the chunk sizes are the packer's choice; format 2, for installers of earlier
// releases, has neither.
TEST(PackageManifestBuild, FormatThreeListsEveryFilesChunks) {
  TempDir temp;
  const std::string big = TestBytes(300000, 3);
  WriteTestPackage(temp.path(), "100201", {{"", "a.exe", "a"}, {"Data\\", "big", big},
                                           {"Data\\", "empty", ""}});
  Package package;
  std::string error;
  ASSERT_TRUE(LoadPackage(temp.path(), &package, &error)) << error;
  ManifestOptions options;
  options.chunk_sizes = {4096, 16384, 65536};
  PackageManifest manifest;
  ASSERT_TRUE(BuildManifest(package, options, &manifest, &error)) << error;
  EXPECT_EQ(manifest.format, kManifestFormat3);
  EXPECT_EQ(manifest.offers, kManifestOffersRanges);
  EXPECT_TRUE(manifest.chunk_sizes == options.chunk_sizes);
  ASSERT_EQ(manifest.files.size(), 3u);
  const ManifestFile& file = manifest.files[1];
  const std::vector<uint32_t> lengths = ChunkLengths(
      reinterpret_cast<const uint8_t*>(big.data()), big.size(), options.chunk_sizes);
  ASSERT_EQ(file.chunks.size(), lengths.size());
  ASSERT_GT(lengths.size(), 4u);
  size_t offset = 0;
  for (size_t i = 0; i < lengths.size(); ++i) {
    EXPECT_EQ(file.chunks[i].length, lengths[i]);
    EXPECT_EQ(file.chunks[i].sha256,
              Sha256Of(reinterpret_cast<const uint8_t*>(big.data()) + offset, lengths[i]));
    offset += lengths[i];
  }
  EXPECT_EQ(file.sha256, Sha256Of(reinterpret_cast<const uint8_t*>(big.data()), big.size()));
  EXPECT_TRUE(manifest.files[2].chunks.empty());
  std::vector<uint8_t> body;
  EXPECT_TRUE(EncodeManifestBody(manifest, &body));

  options.offers_ranges = false;
  ASSERT_TRUE(BuildManifest(package, options, &manifest, &error)) << error;
  EXPECT_EQ(manifest.offers, 0);
  options.format = kManifestFormat2;
  ASSERT_TRUE(BuildManifest(package, options, &manifest, &error)) << error;
  EXPECT_EQ(manifest.format, kManifestFormat2);
  EXPECT_TRUE(manifest.files[1].chunks.empty());
  EXPECT_TRUE(EncodeManifestBody(manifest, &body));
  options.format = kManifestFormat3;
  options.chunk_sizes = {4096, 4096, 65536};
  EXPECT_FALSE(BuildManifest(package, options, &manifest, &error));
}

TEST_F(PackSignTest, ASignedPackageIsServedWithItsManifest) {
  std::string error;
  ASSERT_TRUE(PackTree(tree_.string(), out_.string(), options_, &error, nullptr)) << error;
  TestService service;
  ASSERT_TRUE(service.Start({out_.string()}));
  UpdateReply reply;
  std::vector<ModuleRecord> records;
  ASSERT_TRUE(CheckExchange(service.update(), "4242", &reply, &records));
  ASSERT_EQ(records.size(), 5u);
  EXPECT_STREQ(records[4].Name, "package.manifest");
  TestClient download;
  ASSERT_TRUE(download.Link(service.download()));
  std::map<std::string, std::string> files;
  ASSERT_TRUE(download.DownloadModules(records, &files));
  EXPECT_EQ(files["package.manifest"], ReadFileBytes((out_ / "package.manifest").string()));
  EXPECT_TRUE(files["Data\\Quotes\\a.day"] == TestBytes(70000, 2));
}

// sign: an existing folder signed in place, and signed again after a file changed.
TEST_F(PackSignTest, SignInPlaceAddsOneManifestModuleAndReplacesItWhenSignedAgain) {
  options_.signing_key_file.clear();
  std::string error;
  size_t count = 0;
  ASSERT_TRUE(PackTree(tree_.string(), out_.string(), options_, &error, &count)) << error;
  const auto manifest_of = [&](PackageManifest* manifest) {
    const std::vector<uint8_t> bytes = Bytes(ReadFileBytes((out_ / "package.manifest").string()));
    size_t signed_size = 0;
    const uint8_t* signature = nullptr;
    ASSERT_TRUE(DecodeManifest(bytes.data(), bytes.size(), manifest, &signed_size, &signature));
    EXPECT_TRUE(VerifyP256Signature(public_key_.data(), Sha256Of(bytes.data(), signed_size),
                                    signature));
  };
  const auto manifest_modules = [&] {
    Package package;
    EXPECT_TRUE(LoadPackage(out_.string(), &package, &error)) << error;
    size_t n = 0;
    for (const PackageModule& m : package.modules) n += m.name == "package.manifest";
    EXPECT_EQ(package.modules.size(), count + 1);
    return n;
  };

  ASSERT_TRUE(SignPackageFolder(out_.string(), key_file_, /*expires=*/0, &error)) << error;
  EXPECT_EQ(manifest_modules(), 1u);
  PackageManifest first;
  manifest_of(&first);
  EXPECT_EQ(first.files.size(), count);
  EXPECT_EQ(first.expires, 0u);
  EXPECT_EQ(first.base_archive.path, "SystemDepend.zip");

  Write(out_ / "Data/empty.bin", "no longer empty");
  // Signed again, good for 30 days from now.
  const uint64_t before = static_cast<uint64_t>(std::time(nullptr));
  ASSERT_TRUE(SignPackageFolder(out_.string(), key_file_, ManifestExpiry(30, 0), &error)) << error;
  const uint64_t after = static_cast<uint64_t>(std::time(nullptr));
  EXPECT_EQ(manifest_modules(), 1u);
  PackageManifest second;
  manifest_of(&second);
  EXPECT_GE(second.expires, before + 30 * 86400);
  EXPECT_LE(second.expires, after + 30 * 86400);
  ASSERT_EQ(second.files.size(), first.files.size());
  for (size_t i = 0; i < second.files.size(); ++i) {
    EXPECT_EQ(second.files[i].path, first.files[i].path);
    EXPECT_EQ(second.files[i].sha256 != first.files[i].sha256,
              second.files[i].path == "Data\\empty.bin") << second.files[i].path;
  }

  // A package signed in the first format (no modules, no expiry), which installers with a key now
  // refuse: signed again in place, it has the current format, with every file's module.
  PackageManifest old = second;
  old.format = kManifestFormat1;
  old.expires = 0;
  old.offers = 0;
  for (ManifestFile& file : old.files) {
    file.module.clear();
    file.chunks.clear();
  }
  std::vector<uint8_t> old_bytes;
  ASSERT_TRUE(EncodeManifestBody(old, &old_bytes));
  SigningKey key;
  ASSERT_TRUE(SigningKey::ReadFile(key_file_, &key, &error)) << error;
  uint8_t signature[kManifestSignatureSize];
  ASSERT_TRUE(key.Sign(Sha256Of(old_bytes.data(), old_bytes.size()), signature, &error)) << error;
  old_bytes.insert(old_bytes.end(), signature, signature + sizeof signature);
  Write(out_ / "package.manifest", std::string(old_bytes.begin(), old_bytes.end()));
  ASSERT_TRUE(SignPackageFolder(out_.string(), key_file_, /*expires=*/0, &error)) << error;
  EXPECT_EQ(manifest_modules(), 1u);
  PackageManifest resigned;
  manifest_of(&resigned);
  EXPECT_EQ(resigned.format, kManifestFormat);
  ASSERT_EQ(resigned.files.size(), first.files.size());
  for (const ManifestFile& file : resigned.files) EXPECT_FALSE(file.module.empty()) << file.path;

  // A key file that cannot be read leaves package.json as it was.
  const std::string json = ReadFileBytes((out_ / "package.json").string());
  EXPECT_FALSE(SignPackageFolder(out_.string(), key_file_ + ".missing", 0, &error));
  EXPECT_EQ(ReadFileBytes((out_ / "package.json").string()), json);
}
