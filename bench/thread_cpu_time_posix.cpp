// ThreadCpuSeconds from the thread's CPU-time clock.
#include "bench/thread_cpu_time.h"

#include <time.h>

double ThreadCpuSeconds() {
  timespec t = {};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}
