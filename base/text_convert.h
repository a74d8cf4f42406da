// Conversions between the narrow texts the installer handles (GBK, code page 936, for the texts
// that are GBK by protocol; the system's code page for paths; UTF-8 from the service) and UTF-16
// for drawing and wide system calls.
#pragma once

constexpr unsigned kCodePageGbk = 936;
constexpr unsigned kCodePageUtf8 = 65001;
// The system's ANSI code page (CP_ACP): the one its narrow ("A") functions give and take paths in,
// such as the user's profile folder. GBK on a Chinese system, 1252 on a Western one, so a path
// from the system is converted with this one, never with kCodePageGbk.
constexpr unsigned kCodePageSystem = 0;

// Converts NUL-terminated `text` in `code_page` to UTF-16 with its terminator. Returns false and
// leaves `buffer` untouched when the result, terminator included, needs more than `capacity`
// characters or the text cannot be converted.
bool ToWide(const char* text, char16_t* buffer, int capacity, unsigned code_page);

// Converts NUL-terminated UTF-8 `text` in place to GBK, keeping at most 50 bytes and never
// splitting a double-byte character. `text` must hold 51 bytes. Always returns true.
bool Utf8ToGbk(char* text);
