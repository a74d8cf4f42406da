// Code-page conversions through iconv, standing in for the Windows ones. Unconvertible input
// fails the whole conversion (Windows would substitute characters; no caller depends on that).
#include "base/text_convert_platform.h"

#include <iconv.h>

#include <cstring>
#include <string>

namespace {

const char* CharsetOf(unsigned code_page) {
  return code_page == 65001 ? "UTF-8" : "CP936";  // 936, and the ANSI page (0) of our users
}

// Converts `in_len` bytes; returns false on any conversion error.
bool Convert(const char* to, const char* from, const char* in, size_t in_len, std::string* out) {
  iconv_t cd = iconv_open(to, from);
  if (cd == reinterpret_cast<iconv_t>(-1)) return false;
  out->assign(in_len * 4 + 8, '\0');
  char* in_ptr = const_cast<char*>(in);
  char* out_ptr = &(*out)[0];
  size_t in_left = in_len;
  size_t out_left = out->size();
  const size_t rc = iconv(cd, &in_ptr, &in_left, &out_ptr, &out_left);
  iconv_close(cd);
  if (rc == static_cast<size_t>(-1) || in_left != 0) return false;
  out->resize(out->size() - out_left);
  return true;
}

}  // namespace

int MultiByteToUtf16(unsigned code_page, const char* text, char16_t* out, int capacity) {
  std::string converted;
  if (!Convert("UTF-16LE", CharsetOf(code_page), text, std::strlen(text) + 1, &converted)) {
    return 0;
  }
  const int units = static_cast<int>(converted.size() / 2);
  if (out == nullptr) return units;
  if (units > capacity) return 0;
  for (int i = 0; i < units; ++i) {
    out[i] = static_cast<char16_t>(static_cast<unsigned char>(converted[2 * i]) |
                                   (static_cast<unsigned char>(converted[2 * i + 1]) << 8));
  }
  return units;
}

int Utf16ToMultiByte(unsigned code_page, const char16_t* text, char* out, int capacity) {
  size_t units = 0;
  while (text[units] != 0) ++units;
  std::string bytes((units + 1) * 2, '\0');
  for (size_t i = 0; i <= units; ++i) {
    bytes[2 * i] = static_cast<char>(text[i] & 0xFF);
    bytes[2 * i + 1] = static_cast<char>(text[i] >> 8);
  }
  std::string converted;
  if (!Convert(CharsetOf(code_page), "UTF-16LE", bytes.data(), bytes.size(), &converted)) return 0;
  const int length = static_cast<int>(converted.size());
  if (out == nullptr) return length;
  if (length > capacity) return 0;
  std::memcpy(out, converted.data(), converted.size());
  return length;
}
