// The check of a staged package against its signed manifest, and the hashes the download makes
// for it.
#include "install/package_check.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "base/file_system.h"
#include "base/make_path_dirs.h"
#include "base/package_manifest.h"
#include "install/staged_hashes.h"
#include "install/staged_package.h"
#include "install/system.h"
#include "install/testing/manifest_signer.h"
#include "test_support/temp_dir.h"

namespace {

const VersionPair kVersion = {17, 4};

class PackageCheckTest : public ::testing::Test {
 protected:
  void SetUp() override {
    staging_ = dir_.Join("staging");
    Stage("quillbank ix.exe", "terminal program");
    Stage("data\\quotes.dat", std::string(70000, 'q'));
    Stage("data\\empty.dat", "");
    Stage("log\\install.log", "the installer's own log");
    Stage("SystemDepend.zip", "base archive bytes");
    manifest_ = ManifestOfFolder(staging_, "100201", kVersion,
                                 {"log\\install.log", "SystemDepend.zip"});
    manifest_.base_archive.path = "SystemDepend.zip";
    Sha256OfFile((staging_ + "\\SystemDepend.zip").c_str(), &manifest_.base_archive.sha256,
                 &manifest_.base_archive.size);
    input_.staging_dir = staging_;
    input_.public_keys = {TestKeyA().public_key};
    input_.now = 1800000000;
    input_.package_number = "100201";
    input_.version = kVersion;
    input_.base_archive = "SystemDepend.zip";
    input_.own_files = {"log\\install.log"};
  }

  void Stage(const std::string& relative, const std::string& bytes) {
    const std::string path = staging_ + "\\" + relative;
    ASSERT_TRUE(MakePathDirs(path.c_str()));
    ASSERT_TRUE(WriteFileBytes(path, bytes));
  }
  void WriteManifest(const std::vector<uint8_t>& bytes) {
    ASSERT_FALSE(bytes.empty());
    Stage(kManifestFileName, std::string(bytes.begin(), bytes.end()));
  }
  void WriteManifest(const TestSigningKey& key = TestKeyA()) {
    WriteManifest(SignedManifest(manifest_, key));
  }
  // Runs the check; returns the failing file and reason as "file: reason", with " (downgrade)"
  // for the failures a downgrade's exit code reports, or "passed".
  std::string Check() {
    PackageCheckFailure failure;
    if (CheckStagedPackage(input_, &failure)) return "passed";
    return failure.file + ": " + failure.reason + (failure.downgrade ? " (downgrade)" : "");
  }

  TempDir dir_;
  std::string staging_;
  PackageManifest manifest_;
  PackageCheckInput input_;
};

TEST_F(PackageCheckTest, SignedPackageThatMatchesPasses) {
  WriteManifest();
  EXPECT_EQ(Check(), "passed");
  // Without a base archive downloaded (Windows 10 and later), the one listed is not looked for.
  input_.base_archive.clear();
  ASSERT_TRUE(std::remove(NativePath(staging_ + "\\SystemDepend.zip").c_str()) == 0);
  EXPECT_EQ(Check(), "passed");
}

TEST_F(PackageCheckTest, StagedFilesThatDifferFromTheListNameTheFirstOne) {
  WriteManifest();
  Stage("data\\quotes.dat", std::string(69999, 'q') + "r");  // one byte changed
  EXPECT_EQ(Check(), "data\\quotes.dat: differs from the listed size or hash");
  Stage("data\\quotes.dat", std::string(70000, 'q'));
  Stage("data\\empty.dat", "x");  // one byte more
  EXPECT_EQ(Check(), "data\\empty.dat: differs from the listed size or hash");
  Stage("data\\empty.dat", "");
  Stage("data\\extra.dll", "not in the package");
  EXPECT_EQ(Check(), "data\\extra.dll: not listed");
  ASSERT_EQ(std::remove(NativePath(staging_ + "\\data\\extra.dll").c_str()), 0);
  ASSERT_EQ(std::remove(NativePath(staging_ + "\\quillbank ix.exe").c_str()), 0);
  EXPECT_EQ(Check(), "quillbank ix.exe: missing");
}

TEST_F(PackageCheckTest, BaseArchiveMustBeListedAndMatch) {
  WriteManifest();
  Stage("SystemDepend.zip", "base archive byteS");
  EXPECT_EQ(Check(), "SystemDepend.zip: differs from the listed size or hash");
  Stage("SystemDepend.zip", "base archive bytes");
  manifest_.base_archive = ManifestFile();
  WriteManifest();
  EXPECT_EQ(Check(), "SystemDepend.zip: not listed");
}

TEST_F(PackageCheckTest, ManifestMustBeThereWholeAndSignedWithTheProgramsKey) {
  EXPECT_EQ(Check(), "package.manifest: missing");
  WriteManifest(TestKeyB());
  EXPECT_EQ(Check(), "package.manifest: signature does not verify");
  std::vector<uint8_t> bytes = SignedManifest(manifest_, TestKeyA());
  bytes.resize(bytes.size() - 1);
  WriteManifest(bytes);
  EXPECT_EQ(Check(), "package.manifest: malformed");
  // A listed hash changed after signing.
  bytes = SignedManifest(manifest_, TestKeyA());
  bytes[bytes.size() - kManifestSignatureSize - 1] ^= 1;
  WriteManifest(bytes);
  EXPECT_EQ(Check(), "package.manifest: signature does not verify");

  // A program that carries two keys (a publisher changing keys) takes either.
  input_.public_keys = {TestKeyA().public_key, TestKeyB().public_key};
  WriteManifest(TestKeyB());
  EXPECT_EQ(Check(), "passed");
  WriteManifest(TestKeyA());
  EXPECT_EQ(Check(), "passed");
  input_.public_keys = {TestKeyA().public_key};
  WriteManifest(TestKeyB());
  EXPECT_EQ(Check(), "package.manifest: signature does not verify");

  // A manifest of the first format, which has no expiry, is refused even with a good signature:
  // it could be replayed for ever.
  PackageManifest old = manifest_;
  old.format = kManifestFormat1;
  for (ManifestFile& file : old.files) file.module.clear();
  WriteManifest(SignedManifest(old, TestKeyA()));
  EXPECT_EQ(Check(),
            "package.manifest: of the first format, which has no expiry: sign the package again");
}

// A manifest is good until its expiry: one a server kept serving past it is refused.
TEST_F(PackageCheckTest, ExpiredManifestIsRefused) {
  manifest_.expires = input_.now + 1;
  WriteManifest();
  EXPECT_EQ(Check(), "passed");
  manifest_.expires = input_.now;
  WriteManifest();
  EXPECT_EQ(Check(), "package.manifest: expired");
  manifest_.expires = 0;  // never
  WriteManifest();
  EXPECT_EQ(Check(), "passed");
}

TEST_F(PackageCheckTest, ManifestMustBeOfThisPackageAndNoOlderThanTheInstall) {
  manifest_.package_number = "100202";
  WriteManifest();
  EXPECT_EQ(Check(), "package.manifest: of another package");
  manifest_.package_number = "100201";
  manifest_.version = VersionPair{17, 3};
  WriteManifest();
  EXPECT_EQ(Check(), "package.manifest: of another version");

  // The update service announced 17.3 too: a replay of an older version.
  input_.version = VersionPair{17, 3};
  input_.has_installed = true;
  input_.installed = kVersion;
  EXPECT_EQ(Check(), "package.manifest: older than the installed version (downgrade)");
  input_.installed = VersionPair{16, 99};
  EXPECT_EQ(Check(), "passed");
  input_.installed = VersionPair{17, 3};  // the same version again is a repair, not a rollback
  EXPECT_EQ(Check(), "passed");

  // No install (the folder deleted, say), but a higher version was installed before.
  input_.has_installed = false;
  input_.has_floor = true;
  input_.floor = kVersion;
  EXPECT_EQ(Check(), "package.manifest: older than a version installed before (downgrade)");
  input_.floor = VersionPair{17, 3};
  EXPECT_EQ(Check(), "passed");
}

TEST_F(PackageCheckTest, HashesOfTheDownloadAreUsedOnlyWhileTheyHold) {
  WriteManifest();
  StagedHashes hashes;
  input_.hashes = &hashes;
  const std::string quotes = staging_ + "\\data\\quotes.dat";
  hashes.Add(quotes);
  uint64_t size = 0;
  Sha256Digest digest;
  ASSERT_TRUE(hashes.Lookup(quotes, &size, &digest));
  EXPECT_EQ(size, 70000u);
  EXPECT_EQ(digest, manifest_.files[1].sha256) << manifest_.files[1].path;
  EXPECT_EQ(Check(), "passed");

  // Written again after it was hashed: the old hash is gone, and the file is read anew.
  hashes.Forget(quotes);
  EXPECT_FALSE(hashes.Lookup(quotes, &size, &digest));
  Stage("data\\quotes.dat", "rewritten");
  EXPECT_EQ(Check(), "data\\quotes.dat: differs from the listed size or hash");
  hashes.Add(quotes);
  ASSERT_TRUE(hashes.Lookup(quotes, &size, &digest));
  EXPECT_EQ(size, 9u);
  EXPECT_FALSE(hashes.Lookup(staging_ + "\\never-added", &size, &digest));
}

// The download's hashes are taken while every file was written under one name. A file written
// over under another spelling of its name (one file on Windows: "DATA\QUOTES.DAT") makes the
// stored hash of the first spelling stale: then every file is read again.
TEST_F(PackageCheckTest, AFileWrittenUnderTwoSpellingsIsReadAgain) {
  WriteManifest();
  StagedHashes hashes;
  input_.hashes = &hashes;
  for (const char* name : {"quillbank ix.exe", "data\\quotes.dat", "data\\empty.dat",
                           "SystemDepend.zip", "package.manifest"}) {
    hashes.Forget(staging_ + "\\" + name);
    hashes.Add(staging_ + "\\" + name);
  }
  uint64_t size = 0;
  Sha256Digest digest;
  ASSERT_TRUE(hashes.Lookup(staging_ + "\\data\\quotes.dat", &size, &digest));  // all hashed
  // Changed on disk behind the hashes' back: as long as the names add up, the hash made when
  // the download completed the file is the one that counts.
  Stage("data\\quotes.dat", std::string(69999, 'q') + "r");
  EXPECT_EQ(Check(), "passed");
  // The same change, written by the download under another spelling of the name.
  hashes.Forget(staging_ + "\\DATA\\QUOTES.DAT");
  EXPECT_EQ(Check(), "data\\quotes.dat: differs from the listed size or hash");
}

// A reused file linked into staging is the install's own: a program that writes it through the
// install's name during the download changes the staged file too, so its hash is read at the
// check, never taken from the reuse. A copy's hash, taken as it was written, counts.
TEST_F(PackageCheckTest, AReusedLinkIsReadAtTheCheckSoAWriteThroughTheInstallFailsIt) {
  WriteManifest();
  const std::string installed = dir_.Join("installed-quotes.dat");
  const std::string quotes = staging_ + "\\data\\quotes.dat";
  for (const bool linked : {true, false}) {
    SCOPED_TRACE(linked ? "linked" : "copied");
    ASSERT_TRUE(WriteFileBytes(installed, std::string(70000, 'q')));
    ASSERT_TRUE(DeletePath(quotes.c_str()));
    ASSERT_TRUE(linked ? LinkFile(installed.c_str(), quotes.c_str())
                       : CopyFileOver(installed.c_str(), quotes.c_str()));
    StagedHashes hashes;
    StagedPackage staged(staging_, dir_.Join("depend"), &hashes);
    for (const char* name : {"quillbank ix.exe", "data\\empty.dat", "SystemDepend.zip",
                             "package.manifest"}) {
      staged.FileFinished(staging_ + "\\" + name, 0);
    }
    ReusedFile reused;
    reused.path = "data\\quotes.dat";
    reused.linked = linked;
    ASSERT_TRUE(Sha256OfFile(quotes.c_str(), &reused.sha256, &reused.size));
    staged.AddReused({reused});
    input_.hashes = &hashes;
    EXPECT_EQ(Check(), "passed");
    // The terminal writes its data file in place, as it does while it runs.
    FILE* file = OpenFile(installed.c_str(), "r+b");
    ASSERT_NE(file, nullptr);
    ASSERT_EQ(std::fwrite("r", 1, 1, file), 1u);
    ASSERT_EQ(std::fclose(file), 0);
    EXPECT_EQ(Check(), linked ? "data\\quotes.dat: differs from the listed size or hash"
                              : "passed");
    input_.hashes = nullptr;
  }
}

}  // namespace
