// What one connection has still to send: a byte queue that may hold back its tail until a given
// time (delayed answers) and may ask for the connection to be closed once it has drained.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

class Outbox {
 public:
  using Clock = std::chrono::steady_clock;

  void Append(const uint8_t* data, size_t length);
  void Append(const std::vector<uint8_t>& bytes) { Append(bytes.data(), bytes.size()); }
  // Room for up to `length` more bytes at the end of the queue, for a frame to be built in place
  // (a download's frames are enciphered straight into the queue, not copied into it). Valid
  // until the next call on the outbox; Commit then takes the bytes written into the queue.
  uint8_t* Reserve(size_t length);
  void Commit(size_t length);
  // Room for `capacity` bytes in all, at once: a queue that a transfer keeps full would otherwise
  // grow by doubling, copying itself into fresh memory each time.
  void Grow(size_t capacity);
  // Whatever is appended after this call goes out no earlier than `until`.
  void HoldFrom(Clock::time_point until);
  // Whatever is appended after this call goes out once `released` returns true; it is asked
  // again every kReleasePollInterval while the loop waits.
  void HoldUntilReleased(std::function<bool()> released);
  static constexpr auto kReleasePollInterval = std::chrono::milliseconds(50);
  // Close the connection once every queued byte went out (nothing later is accepted).
  // `reason` goes to the log line of the close.
  void CloseAfterFlush(const std::string& reason) {
    if (close_after_flush_) return;
    close_after_flush_ = true;
    close_reason_ = reason;
  }
  // The queue is full() above `bytes` (none by default): a handler then takes no further
  // request, so that what one connection queues stays bounded whatever its client sends.
  // Storage grown past twice the mark is given back once the queue drains.
  void set_high_water(size_t bytes) { high_water_ = bytes; }
  bool full() const { return pending() > high_water_; }

  // Bytes not yet sent, held ones included.
  size_t pending() const { return size_ - sent_; }
  // The bytes that may go out now.
  const uint8_t* ready_data() const { return data_.get() + sent_; }
  size_t ready_length(Clock::time_point now) const;
  // The time at which held bytes become ready, when some are held.
  // For a hold until release: the next time to ask again.
  bool held(Clock::time_point* until) const;
  void Consume(size_t length);
  bool close_after_flush() const { return close_after_flush_; }
  const std::string& close_reason() const { return close_reason_; }
  size_t capacity() const { return capacity_; }

 private:
  // The hold still keeps the tail back at `now`.
  bool Holding(Clock::time_point now) const;

  // The queue's bytes, never zero-filled: [sent_, size_) is pending.
  std::unique_ptr<uint8_t[]> data_;
  size_t size_ = 0;
  size_t capacity_ = 0;
  size_t sent_ = 0;
  size_t high_water_ = SIZE_MAX;
  size_t hold_offset_ = 0;
  bool holding_ = false;
  Clock::time_point hold_until_{};
  std::function<bool()> released_;  // a hold until release; empty for a hold until a time
  bool close_after_flush_ = false;
  std::string close_reason_;
};
