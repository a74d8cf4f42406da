// The message table: three blocks (Simplified Chinese, Traditional Chinese, English) of eleven
// 100-byte GBK slots. The bytes are stored as they are shown; nothing is converted at run time.
#include "core/message_text.h"

#include <cstdint>

namespace {

constexpr int kEnglish = 0x0409;
constexpr int kTraditional = 0x0404;

struct Slot {
  char text[kMessageSlotSize];
};

// Each slot is NUL-padded by aggregate initialisation; a text that did not fit would not compile.
const Slot kMessageTable[3][kMessageCount] = {
    {  // Simplified Chinese
        {"\xB0\xB2\xD7\xB0"},  // 0 安装
        {"\xB7\xFE\xCE\xF1\xC6\xF7\xC1\xAC\xBD\xD3\xB6\xCF\xBF\xAA"},  // 1 服务器连接断开
        {"\xD2\xD1\xBE\xAD\xCA\xC7\xD7\xEE\xD0\xC2\xB0\xE6\xB1\xBE"},  // 2 已经是最新版本
        {"\xB0\xB2\xD7\xB0\xB3\xC9\xB9\xA6"},  // 3 安装成功
        {"\xE1\xB0\xD6\xDB"},  // 4 岚舟
        {"\xB0\xB2\xD7\xB0\xB3\xC9\xB9\xA6"},  // 5 安装成功
        {"\xB0\xB2\xD7\xB0\xCA\xA7\xB0\xDC"},  // 6 安装失败
        {"\xB4\xF2\xBF\xAA"},  // 7 打开
        {"\xB4\xED\xCE\xF3\xC2\xEB" ":"},  // 8 错误码:
        {"\xD5\xFD\xD4\xDA\xD6\xD8\xD0\xC2\xC1\xAC\xBD\xD3"},  // 9 正在重新连接
        {"\xB0\xB2\xD7\xB0\xB0\xFC\xD0\xA3\xD1\xE9\xCA\xA7\xB0\xDC"},  // 10 安装包校验失败
    },
    {  // Traditional Chinese
        {"\xB0\xB2\xD1\x62"},  // 0 安裝
        {"\xB7\xFE\x84\xD5\xC6\xF7\xDF\x42\xBD\xD3\x94\xE0\xE9\x5F"},  // 1 服務器連接斷開
        {"\xD2\xD1\xBD\x9B\xCA\xC7\xD7\xEE\xD0\xC2\xB0\xE6\xB1\xBE"},  // 2 已經是最新版本
        {"\xB0\xB2\xD1\x62\xB3\xC9\xB9\xA6"},  // 3 安裝成功
        {"\x8D\xB9\xD6\xDB"},  // 4 嵐舟
        {"\xB0\xB2\xD1\x62\xB3\xC9\xB9\xA6"},  // 5 安裝成功
        {"\xB0\xB2\xD1\x62\xCA\xA7\x94\xA1"},  // 6 安裝失敗
        {"\xB4\xF2\xE9\x5F"},  // 7 打開
        {"\xE5\x65\xD5\x60\xB4\x61" ":"},  // 8 錯誤碼:
        {"\xD5\xFD\xD4\xDA\xD6\xD8\xD0\xC2\xDF\x42\xBE\x80"},  // 9 正在重新連線
        {"\xB0\xB2\xD1\x62\xB0\xFC\xD0\xA3\xF2\x9E\xCA\xA7\x94\xA1"},  // 10 安裝包校驗失敗
    },
    {  // English
        {"Install"},  // 0 Install
        {"Server Link Fail"},  // 1 Server Link Fail
        {"The Local is latest version"},  // 2 The Local is latest version
        {"Install Success"},  // 3 Install Success
        {"Tervia Star"},  // 4 Tervia Star
        {"Install Success"},  // 5 Install Success
        {"Install Fail"},  // 6 Install Fail
        {"Open"},  // 7 Open
        {"Error Code:"},  // 8 Error Code:
        {"Reconnecting"},  // 9 Reconnecting
        {"Package check failed"},  // 10 Package check failed
    },
};

}  // namespace

const char* GetMessageText(int32_t language, int index) {
  int block = 0;
  if (language == kEnglish) {
    block = 2;
  } else if (language == kTraditional) {
    block = 1;
  }
  return kMessageTable[block][index].text;
}

int32_t NormalizeLanguageId(int32_t ui_language) {
  return ui_language == 0x0C04 ? kTraditional : ui_language;
}
