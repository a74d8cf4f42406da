// Work spread over the two cores the installer counts on: each item taken by whichever thread
// is free, so that one large file does not hold the other thread idle.
#pragma once

#include <cstddef>
#include <functional>

// Calls `each(i, worker)` once for every i in [0, count): on this thread (worker 0) and, when
// there are at least `two_from` items and the system gives one, on a second (worker 1). Returns
// when every call has returned. `each` must be safe to call from two threads at once for
// different items; what each worker keeps for itself it can index by `worker`.
void ForEachOnTwoThreads(size_t count, size_t two_from,
                         const std::function<void(size_t i, int worker)>& each);
