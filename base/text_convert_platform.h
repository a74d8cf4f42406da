// Code-page conversions of the platform (MultiByteToWideChar/WideCharToMultiByte on Windows,
// iconv natively). Both work on NUL-terminated input and count the terminator.
#pragma once

// With `out` null: the number of UTF-16 units needed, terminator included; 0 on failure.
// Otherwise converts into `out` and returns the units written, or 0 when it does not fit.
int MultiByteToUtf16(unsigned code_page, const char* text, char16_t* out, int capacity);

// The same in the other direction, in bytes.
int Utf16ToMultiByte(unsigned code_page, const char16_t* text, char* out, int capacity);
