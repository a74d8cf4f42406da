// What one connection has still to send: a byte queue that may hold back its tail until a given
// time (delayed answers) and may ask for the connection to be closed once it has drained.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

class Outbox {
 public:
  using Clock = std::chrono::steady_clock;

  void Append(const uint8_t* data, size_t length);
  void Append(const std::vector<uint8_t>& bytes) { Append(bytes.data(), bytes.size()); }
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

  // Bytes not yet sent, held ones included.
  size_t pending() const { return buffer_.size() - sent_; }
  // The bytes that may go out now.
  const uint8_t* ready_data() const { return buffer_.data() + sent_; }
  size_t ready_length(Clock::time_point now) const;
  // The time at which held bytes become ready, when some are held.
  // For a hold until release: the next time to ask again.
  bool held(Clock::time_point* until) const;
  void Consume(size_t length);
  bool close_after_flush() const { return close_after_flush_; }
  const std::string& close_reason() const { return close_reason_; }

 private:
  // The hold still keeps the tail back at `now`.
  bool Holding(Clock::time_point now) const;

  std::vector<uint8_t> buffer_;
  size_t sent_ = 0;
  size_t hold_offset_ = 0;
  bool holding_ = false;
  Clock::time_point hold_until_{};
  std::function<bool()> released_;  // a hold until release; empty for a hold until a time
  bool close_after_flush_ = false;
  std::string close_reason_;
};
