// Language choice and the exact GBK bytes of the message table.
#include "core/message_text.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "base/text_convert.h"

namespace {

class MessageTextTest : public ::testing::Test {
 protected:
  void Use(int32_t language) { language_ = language; }
  const char* GetMessageText(int index) const { return ::GetMessageText(language_, index); }
  std::u16string Decoded(int index) const {
    char16_t wide[kMessageSlotSize] = {};
    EXPECT_TRUE(ToWide(GetMessageText(index), wide, kMessageSlotSize, kCodePageGbk));
    return wide;
  }
  int32_t language_ = 0;
};

TEST_F(MessageTextTest, OnlyUsEnglishSelectsEnglishAndOnly0x0404SelectsTraditional) {
  Use(0x0409);
  EXPECT_STREQ(GetMessageText(kTextInstall), "Install");
  Use(0x0404);
  EXPECT_EQ(Decoded(kTextInstall), u"安裝");
  for (int32_t other : {0x0809, 0x0804, 0x1004, 0x0C04, 0x0411, 0}) {
    Use(other);
    EXPECT_EQ(Decoded(kTextInstall), u"安装") << std::hex << other;
  }
}

TEST_F(MessageTextTest, HongKongIsStoredAsTraditional) {
  EXPECT_EQ(NormalizeLanguageId(0x0C04), 0x0404);
  EXPECT_EQ(NormalizeLanguageId(0x0404), 0x0404);
  EXPECT_EQ(NormalizeLanguageId(0x0809), 0x0809);
  EXPECT_EQ(NormalizeLanguageId(0x0409), 0x0409);
}

TEST_F(MessageTextTest, ShownEntriesDecodeToTheirTextsInEveryLanguage) {
  struct Row {
    int32_t language;
    int index;
    const char16_t* text;
  };
  const Row rows[] = {
      {0x0804, 0, u"安装"}, {0x0804, 2, u"已经是最新版本"}, {0x0804, 6, u"安装失败"},
      {0x0804, 7, u"打开"}, {0x0804, 8, u"错误码:"}, {0x0804, 9, u"正在重新连接"},
      {0x0804, 10, u"安装包校验失败"}, {0x0404, 10, u"安裝包校驗失敗"},
      {0x0404, 0, u"安裝"}, {0x0404, 2, u"已經是最新版本"}, {0x0404, 6, u"安裝失敗"},
      {0x0404, 7, u"打開"}, {0x0404, 8, u"錯誤碼:"}, {0x0404, 9, u"正在重新連線"},
      {0x0409, 0, u"Install"}, {0x0409, 2, u"The Local is latest version"},
      {0x0409, 6, u"Install Fail"}, {0x0409, 7, u"Open"}, {0x0409, 8, u"Error Code:"},
      {0x0409, 9, u"Reconnecting"}, {0x0409, 10, u"Package check failed"},
  };
  for (const Row& row : rows) {
    Use(row.language);
    EXPECT_EQ(Decoded(row.index), std::u16string(row.text))
        << std::hex << row.language << " entry " << row.index;
  }
}

TEST_F(MessageTextTest, EveryEntryFitsItsSlotAndStaysAtOneAddress) {
  for (int32_t language : {0x0804, 0x0404, 0x0409}) {
    Use(language);
    for (int i = 0; i < kMessageCount; ++i) {
      EXPECT_LT(std::strlen(GetMessageText(i)), static_cast<size_t>(kMessageSlotSize));
      EXPECT_EQ(GetMessageText(i), GetMessageText(i));
    }
    // Slots are 100 bytes apart, one block after the other.
    EXPECT_EQ(GetMessageText(9) - GetMessageText(0), 9 * kMessageSlotSize);
  }
  Use(0x0409);
  EXPECT_EQ(std::strlen(GetMessageText(2)), 27u);
}

}  // namespace
