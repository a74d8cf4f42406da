// Rules Windows applies to one component of a path, shared by everything that checks a name
// before it becomes a file: staging paths, zip entry names, the service's package files.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// The longest text IsPlainFileName takes.
constexpr size_t kPlainFileNameMax = 100;

// True when Windows opens a device instead of a file for `component`, in any folder: CON, PRN,
// AUX, NUL, COM1-COM9, LPT1-LPT9, CONIN$ and CONOUT$, in any case, with or without an extension
// ("nul.txt", "Aux.tar.gz") and with blanks before it ("CON .log"). Windows cuts a component at
// its first dot (or a stream's ":") and drops trailing blanks before it compares.
bool IsWindowsDeviceName(std::string_view component);

// True when `component` is not empty and holds only dots and blanks (".", "..", "...", ". .").
// Windows drops trailing dots and blanks, so any such name may stand for "." or "..".
bool IsOnlyDotsAndBlanks(std::string_view component);

// True when `name`, a text from outside (the product name the package query reports), can be
// used as it is as the name of one file in one of our folders: 1 to kPlainFileNameMax
// characters; no path separator ("\\" or "/"), no ":" (a drive or a stream), no ".."; none of
// the characters Windows forbids in names (< > " | ? * and control characters); no trailing dot
// or blank, which Windows would drop; no device name. Checked on the UTF-16 text that becomes
// the name, since a byte of a double-byte GBK character may look like "\\" or "|".
bool IsPlainFileName(std::u16string_view name);

// Why `component`, one GBK (or ASCII) component of a path below one of our folders, cannot name
// a file on every Windows volume, or null when it can: empty; only dots and blanks ("..");
// a character Windows refuses in names (< > : " / \\ | ? * and control characters); a trailing
// dot or blank, which Windows drops ("a.dll." would be "a.dll"); a device name. The second byte
// of a double-byte GBK character is never taken for one of those characters.
const char* ComponentProblem(std::string_view component);

// `path` as Windows compares names: ASCII letters in lower case, double-byte GBK characters as
// they are. Two paths with the same folded text name one file there.
std::string FoldedPath(std::string_view path);
// FoldedPath(a) < FoldedPath(b), and ==, without making either text.
bool FoldedLess(std::string_view a, std::string_view b);
bool FoldedEqual(std::string_view a, std::string_view b);
