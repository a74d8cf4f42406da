// A thread-safe list of events that a test waits on: one thread records, the test waits until
// enough events of a kind have arrived (never on a sleep), then reads them in arrival order.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <utility>
#include <vector>

// WaitFor and Count compare the member `Field` of type `Kind`.
template <typename Event, typename Kind, Kind Event::*Field>
class EventLog {
 public:
  void Record(Event event) {
    std::lock_guard<std::mutex> guard(lock_);
    events_.push_back(std::move(event));
    changed_.notify_all();
  }

  // Waits until `count` events of `kind` are recorded.
  bool WaitFor(const Kind& kind, size_t count = 1, int timeout_ms = 5000) {
    std::unique_lock<std::mutex> guard(lock_);
    return changed_.wait_for(guard, std::chrono::milliseconds(timeout_ms),
                             [&] { return CountLocked(kind) >= count; });
  }

  size_t Count(const Kind& kind) {
    std::lock_guard<std::mutex> guard(lock_);
    return CountLocked(kind);
  }

  std::vector<Event> Events() {
    std::lock_guard<std::mutex> guard(lock_);
    return events_;
  }

 private:
  size_t CountLocked(const Kind& kind) const {
    size_t n = 0;
    for (const Event& e : events_) n += e.*Field == kind ? 1 : 0;
    return n;
  }

  std::mutex lock_;
  std::condition_variable changed_;
  std::vector<Event> events_;
};
