// The per-connection send queue.
#include "service/outbox.h"

#include <cstring>

void Outbox::Append(const uint8_t* data, size_t length) {
  if (close_after_flush_ || length == 0) return;
  buffer_.insert(buffer_.end(), data, data + length);
}

void Outbox::HoldFrom(Clock::time_point until) {
  if (holding_ && Clock::now() < hold_until_) return;  // one hold at a time; the first decides
  holding_ = true;
  hold_offset_ = buffer_.size();
  hold_until_ = until;
}

size_t Outbox::ready_length(Clock::time_point now) const {
  if (holding_ && now < hold_until_) return hold_offset_ - sent_;
  return buffer_.size() - sent_;
}

bool Outbox::held(Clock::time_point* until) const {
  if (!holding_ || hold_offset_ == buffer_.size() || Clock::now() >= hold_until_) return false;
  *until = hold_until_;
  return true;
}

void Outbox::Consume(size_t length) {
  sent_ += length;
  if (holding_ && sent_ >= hold_offset_ && Clock::now() >= hold_until_) holding_ = false;
  // Compact when the sent part dominates, so the queue never grows past what is pending.
  if (sent_ == buffer_.size()) {
    buffer_.clear();
    sent_ = 0;
    hold_offset_ = 0;
  } else if (sent_ > 65536 && sent_ * 2 > buffer_.size()) {
    buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(sent_));
    hold_offset_ = hold_offset_ > sent_ ? hold_offset_ - sent_ : 0;
    sent_ = 0;
  }
}
