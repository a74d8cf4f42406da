// The check that a copy into place is complete before the install it replaces is given up.
#pragma once

#include <string>

// True when every file below `from` is below `to` at the same relative path with the same size.
// Otherwise `*first_bad` (when given) names the first file found missing or of another size,
// relative to `from`, or is empty when `from` could not be read.
bool CopyIsComplete(const std::string& from, const std::string& to, std::string* first_bad);
