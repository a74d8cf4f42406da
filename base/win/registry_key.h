// Owner of one open registry key: closed when it goes.
#pragma once

#include <windows.h>

#include "base/scoped_generic.h"

struct RegistryKeyTraits {
  using Handle = HKEY;
  static HKEY InvalidValue() { return nullptr; }
  static void Free(HKEY key) { RegCloseKey(key); }
};

// receive() is for the out-argument of RegOpenKeyEx / RegCreateKeyEx.
using RegistryKey = ScopedGeneric<RegistryKeyTraits>;
