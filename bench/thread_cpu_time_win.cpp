// ThreadCpuSeconds from GetThreadTimes: user plus kernel time, in 100 ns units (counted in
// scheduler ticks, so a benchmark round must last many ticks).
#include "bench/thread_cpu_time.h"

#include <windows.h>

namespace {

double Seconds(const FILETIME& t) {
  const unsigned long long units =
      (static_cast<unsigned long long>(t.dwHighDateTime) << 32) | t.dwLowDateTime;
  return static_cast<double>(units) * 1e-7;
}

}  // namespace

double ThreadCpuSeconds() {
  FILETIME created, exited, kernel, user;
  if (!GetThreadTimes(GetCurrentThread(), &created, &exited, &kernel, &user)) return 0;
  return Seconds(kernel) + Seconds(user);
}
