// String 102 from the program's own resources.
#include "base/resources.h"

#include <windows.h>

std::string LoadPackageNumberString() {
  char buffer[260] = {};
  LoadStringA(GetModuleHandleA(nullptr), 102, buffer, sizeof buffer);
  return buffer;
}
