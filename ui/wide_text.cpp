// GBK to UTF-16 for drawing, through the installer's own conversion.
#include "ui/wide_text.h"

#include "base/text_convert.h"

std::wstring GbkToWide(const char* text, int capacity) {
  std::u16string buffer(static_cast<size_t>(capacity), u'\0');
  ToWide(text, buffer.data(), capacity, kCodePageGbk);
  // wchar_t is UTF-16 on Windows.
  return std::wstring(reinterpret_cast<const wchar_t*>(buffer.c_str()));
}
