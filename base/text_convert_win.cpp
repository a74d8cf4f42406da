// Code-page conversions through the system.
#include "base/text_convert_platform.h"

#include <windows.h>

int MultiByteToUtf16(unsigned code_page, const char* text, char16_t* out, int capacity) {
  return MultiByteToWideChar(code_page, 0, text, -1, reinterpret_cast<wchar_t*>(out),
                             out == nullptr ? 0 : capacity);
}

int Utf16ToMultiByte(unsigned code_page, const char16_t* text, char* out, int capacity) {
  return WideCharToMultiByte(code_page, 0, reinterpret_cast<const wchar_t*>(text), -1, out,
                             out == nullptr ? 0 : capacity, /*lpDefaultChar=*/nullptr,
                             /*lpUsedDefaultChar=*/nullptr);
}
