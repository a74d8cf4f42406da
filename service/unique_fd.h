// Owner of one POSIX file descriptor (event and signal descriptors of the service's loop).
#pragma once

#include <unistd.h>

#include "base/scoped_generic.h"

struct FdTraits {
  using Handle = int;
  static int InvalidValue() { return -1; }
  // Any negative value is what a failed open, eventfd or signalfd gave.
  static bool IsValid(int fd) { return fd >= 0; }
  static void Free(int fd) { close(fd); }
};

using UniqueFd = ScopedGeneric<FdTraits>;
