// The second thread of ForEachOnTwoThreads.
#include "base/two_threads.h"

#include <atomic>
#include <system_error>
#include <thread>

void ForEachOnTwoThreads(size_t count, size_t two_from,
                         const std::function<void(size_t i, int worker)>& each) {
  std::atomic<size_t> next{0};
  auto work = [&](int worker) {
    for (size_t i = next.fetch_add(1); i < count; i = next.fetch_add(1)) each(i, worker);
  };
  std::thread second;
  try {
    if (count >= two_from && count > 1) second = std::thread(work, 1);
  } catch (const std::system_error&) {
    // No second thread: this one does it all.
  }
  work(0);
  if (second.joinable()) second.join();
}
