// GBK texts (code page 936) as UTF-16 strings for drawing.
#pragma once

#include <string>

// At most `capacity` characters with the terminator; empty when the text does not fit.
std::wstring GbkToWide(const char* text, int capacity);
