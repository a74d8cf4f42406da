// Owner of one kernel HANDLE (files, processes, threads, snapshots): closed when it goes.
#pragma once

#include <windows.h>

#include "base/scoped_generic.h"

struct KernelHandleTraits {
  using Handle = HANDLE;
  static HANDLE InvalidValue() { return INVALID_HANDLE_VALUE; }
  // Both null and INVALID_HANDLE_VALUE mean "no handle": the API uses each for failure.
  static bool IsValid(HANDLE handle) { return handle != nullptr && handle != INVALID_HANDLE_VALUE; }
  static void Free(HANDLE handle) { CloseHandle(handle); }
};

using ScopedHandle = ScopedGeneric<KernelHandleTraits>;
