// ToWide's capacity rule and Utf8ToGbk's cut at 50 bytes.
#include "base/text_convert.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(ToWideTest, RefusesATextThatDoesNotFitAndLeavesTheBufferUntouched) {
  const std::string text(260, 'a');
  char16_t buffer[261];
  for (char16_t& c : buffer) c = u'#';
  EXPECT_FALSE(ToWide(text.c_str(), buffer, 260, kCodePageGbk));
  for (char16_t c : buffer) ASSERT_EQ(c, u'#');

  const std::string fits(259, 'a');
  EXPECT_TRUE(ToWide(fits.c_str(), buffer, 260, kCodePageGbk));
  EXPECT_EQ(buffer[258], u'a');
  EXPECT_EQ(buffer[259], u'\0');
  EXPECT_EQ(buffer[260], u'#');
}

TEST(ToWideTest, ConvertsGbkAndUtf8) {
  char16_t buffer[16] = {};
  ASSERT_TRUE(ToWide("\xB0\xB2\xD7\xB0", buffer, 16, kCodePageGbk));
  EXPECT_EQ(std::u16string(buffer), u"安装");
  ASSERT_TRUE(ToWide("\xE5\xAE\x89\xE8\xA3\x85", buffer, 16, kCodePageUtf8));
  EXPECT_EQ(std::u16string(buffer), u"安装");
}

TEST(Utf8ToGbkTest, ConvertsAProductName) {
  char name[51] = "\xE5\xB2\x9A\xE8\x88\x9F ix";  // 岚舟 ix
  EXPECT_TRUE(Utf8ToGbk(name));
  EXPECT_STREQ(name, "\xE1\xB0\xD6\xDB ix");
}

TEST(Utf8ToGbkTest, KeepsAtMost50BytesAndNeverSplitsADoubleByteCharacter) {
  std::string ascii(60, 'n');
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, "%s", ascii.c_str());
  Utf8ToGbk(buffer);
  EXPECT_EQ(std::string(buffer), std::string(50, 'n'));

  // "a" then 30 x 安 (two GBK bytes each): 24 characters fit after the "a" (49 bytes); a 25th
  // would need bytes 50 and 51.
  std::string mixed = "a";
  for (int i = 0; i < 30; ++i) mixed += "\xE5\xAE\x89";
  std::string in(mixed);
  in.resize(128, '\0');
  Utf8ToGbk(&in[0]);
  std::string expected = "a";
  for (int i = 0; i < 24; ++i) expected += "\xB0\xB2";
  EXPECT_EQ(std::string(in.c_str()), expected);
}

}  // namespace
