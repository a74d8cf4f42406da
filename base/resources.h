// The program's own resources that portable code reads.
#pragma once

#include <string>

// String resource 102 (the package number), read into a zeroed 260-byte buffer; empty when
// missing. Natively the compiled-in "100201".
std::string LoadPackageNumberString();
