// keygen: the two files in their exact form, the private one readable by its owner only, and
// never a key replaced.
#include "service/keygen.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <regex>

#include "service/signing_key.h"
#include "test_support/temp_dir.h"

namespace fs = std::filesystem;

TEST(Keygen, WritesTheKeyFileWithMode0600AndThePublicLine) {
  TempDir temp;
  const std::string dir = temp.path() + "/keys/new";  // created, parents too
  KeygenResult result;
  std::string error;
  ASSERT_TRUE(WriteNewKeyPair(dir, &result, &error)) << error;
  EXPECT_EQ(result.key_path, dir + "/package-signing.key");
  EXPECT_EQ(result.public_path, dir + "/package-signing.pub");

  const std::string key_text = ReadFileBytes(result.key_path);
  const std::string public_text = ReadFileBytes(result.public_path);
  EXPECT_TRUE(std::regex_match(key_text, std::regex("[0-9a-f]{64}\n[0-9a-f]{128}\n")));
  EXPECT_EQ(public_text, key_text.substr(65));
  EXPECT_EQ(result.public_text + "\n", public_text);
  struct stat st {};
  ASSERT_EQ(stat(result.key_path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0600u);

  // What keygen writes, pack reads.
  SigningKey key;
  EXPECT_TRUE(SigningKey::ReadFile(result.key_path, &key, &error)) << error;
}

TEST(Keygen, NeverReplacesAKeyOrAPublicFile) {
  TempDir temp;
  KeygenResult first;
  std::string error;
  ASSERT_TRUE(WriteNewKeyPair(temp.path(), &first, &error)) << error;
  const std::string key_text = ReadFileBytes(first.key_path);

  KeygenResult second;
  EXPECT_FALSE(WriteNewKeyPair(temp.path(), &second, &error));
  EXPECT_NE(error.find("exists already"), std::string::npos) << error;
  EXPECT_EQ(ReadFileBytes(first.key_path), key_text);

  // A public file alone is refused too, and the key file is not left behind.
  fs::remove(first.key_path);
  EXPECT_FALSE(WriteNewKeyPair(temp.path(), &second, &error));
  EXPECT_FALSE(fs::exists(first.key_path));
  // So is a dangling symbolic link where the key file goes.
  fs::remove(first.public_path);
  fs::create_symlink(temp.path() + "/elsewhere", first.key_path);
  EXPECT_FALSE(WriteNewKeyPair(temp.path(), &second, &error));
  EXPECT_FALSE(fs::exists(temp.path() + "/elsewhere"));
}
