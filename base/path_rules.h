// Rules Windows applies to one component of a path, shared by everything that checks a name
// before it becomes a file: staging paths, zip entry names, the service's package files.
#pragma once

#include <string_view>

// True when Windows opens a device instead of a file for `component`, in any folder: CON, PRN,
// AUX, NUL, COM1-COM9, LPT1-LPT9, CONIN$ and CONOUT$, in any case, with or without an extension
// ("nul.txt", "Aux.tar.gz") and with blanks before it ("CON .log"). Windows cuts a component at
// its first dot (or a stream's ":") and drops trailing blanks before it compares.
bool IsWindowsDeviceName(std::string_view component);

// True when `component` is not empty and holds only dots and blanks (".", "..", "...", ". .").
// Windows drops trailing dots and blanks, so any such name may stand for "." or "..".
bool IsOnlyDotsAndBlanks(std::string_view component);
