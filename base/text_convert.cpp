// ToWide and Utf8ToGbk over the platform's code-page conversions (text_convert_win.cpp /
// text_convert_posix.cpp).
#include "base/text_convert.h"

#include <cstring>

#include "base/text_convert_platform.h"

bool ToWide(const char* text, char16_t* buffer, int capacity, unsigned code_page) {
  if (text == nullptr || buffer == nullptr || capacity <= 0) return false;
  const int needed = MultiByteToUtf16(code_page, text, nullptr, 0);
  if (needed <= 0 || needed > capacity) return false;
  return MultiByteToUtf16(code_page, text, buffer, capacity) == needed;
}

// Length of the longest prefix of GBK `text` that fits `limit` bytes without splitting a
// double-byte character (lead bytes 0x81..0xFE).
static size_t GbkCut(const char* text, size_t limit) {
  size_t kept = 0;
  size_t i = 0;
  while (text[i] != '\0') {
    const unsigned char lead = static_cast<unsigned char>(text[i]);
    const size_t width = (lead >= 0x81 && lead <= 0xFE && text[i + 1] != '\0') ? 2 : 1;
    if (i + width > limit) break;
    i += width;
    kept = i;
  }
  return kept;
}

bool Utf8ToGbk(char* text) {
  constexpr int kWideCapacity = 1024;
  constexpr int kNarrowCapacity = 1024;
  constexpr size_t kMaxBytes = 50;
  // Each step is skipped when its result would not fit; its buffer then stays empty.
  char16_t wide[kWideCapacity] = {};
  const int wide_needed = MultiByteToUtf16(kCodePageUtf8, text, nullptr, 0);
  if (wide_needed > 0 && wide_needed <= kWideCapacity) {
    MultiByteToUtf16(kCodePageUtf8, text, wide, kWideCapacity);
  }
  char gbk[kNarrowCapacity] = {};
  const int gbk_needed = Utf16ToMultiByte(kCodePageGbk, wide, nullptr, 0);
  if (gbk_needed > 0 && gbk_needed <= kNarrowCapacity) {
    Utf16ToMultiByte(kCodePageGbk, wide, gbk, kNarrowCapacity);
  }
  const size_t kept = GbkCut(gbk, kMaxBytes);
  std::memcpy(text, gbk, kept);
  text[kept] = '\0';
  return true;
}
