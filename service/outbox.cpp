// The per-connection send queue.
#include "service/outbox.h"

#include <cstring>

void Outbox::Append(const uint8_t* data, size_t length) {
  if (close_after_flush_ || length == 0) return;
  std::memcpy(Reserve(length), data, length);
  Commit(length);
}

uint8_t* Outbox::Reserve(size_t length) {
  if (capacity_ - size_ < length) {
    size_t capacity = capacity_ == 0 ? 4096 : capacity_;
    while (capacity - size_ < length) capacity *= 2;
    Grow(capacity);
  }
  return data_.get() + size_;
}

void Outbox::Grow(size_t capacity) {
  if (capacity <= capacity_) return;
  std::unique_ptr<uint8_t[]> grown(new uint8_t[capacity]);
  if (size_ > 0) std::memcpy(grown.get(), data_.get(), size_);
  data_ = std::move(grown);
  capacity_ = capacity;
}

void Outbox::Commit(size_t length) {
  if (close_after_flush_) return;
  size_ += length;
}

void Outbox::HoldFrom(Clock::time_point until) {
  if (Holding(Clock::now())) return;  // one hold at a time; the first decides
  holding_ = true;
  hold_offset_ = size_;
  hold_until_ = until;
  released_ = nullptr;
}

void Outbox::HoldUntilReleased(std::function<bool()> released) {
  if (Holding(Clock::now())) return;
  holding_ = true;
  hold_offset_ = size_;
  hold_until_ = Clock::time_point{};
  released_ = std::move(released);
}

bool Outbox::Holding(Clock::time_point now) const {
  if (!holding_) return false;
  if (released_) return !released_();
  return now < hold_until_;
}

size_t Outbox::ready_length(Clock::time_point now) const {
  if (Holding(now)) return hold_offset_ - sent_;
  return size_ - sent_;
}

bool Outbox::held(Clock::time_point* until) const {
  const Clock::time_point now = Clock::now();
  if (hold_offset_ == size_ || !Holding(now)) return false;
  *until = released_ ? now + kReleasePollInterval : hold_until_;
  return true;
}

void Outbox::Consume(size_t length) {
  sent_ += length;
  if (holding_ && sent_ >= hold_offset_ && !Holding(Clock::now())) {
    holding_ = false;
    released_ = nullptr;
  }
  // Compact when the sent part dominates, so the queue never grows past what is pending.
  if (sent_ == size_) {
    size_ = 0;
    sent_ = 0;
    hold_offset_ = 0;
    // A large reply's storage is not kept for the rest of a long connection; a transfer's,
    // within twice the mark, is reused.
    if (capacity_ / 2 > high_water_) {
      data_.reset();
      capacity_ = 0;
    }
  } else if (sent_ > 65536 && sent_ * 2 > size_) {
    std::memmove(data_.get(), data_.get() + sent_, size_ - sent_);
    size_ -= sent_;
    hold_offset_ = hold_offset_ > sent_ ? hold_offset_ - sent_ : 0;
    sent_ = 0;
  }
}
