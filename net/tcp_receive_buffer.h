// The receive buffer of a TTcp: 524288 bytes held in the object, bytes at the start already taken
// by the receiver ("consumed") and bytes received ("filled"), consumed <= filled <= 524288.
#pragma once

#include <cstdint>

class TcpReceiveBuffer {
 public:
  static constexpr uint32_t kSize = 0x80000;
  // Unconsumed bytes move to the start only once this much has been consumed.
  static constexpr uint32_t kCompactThreshold = 0x40000;

  void Reset() { consumed_ = filled_ = 0; }
  bool Full() const { return filled_ == kSize; }

  // Where the next receive goes, and how much room it has.
  uint8_t* FreeSpace() { return data_ + filled_; }
  uint32_t FreeLength() const { return kSize - filled_; }
  // Takes `count` received bytes (at most FreeLength()).
  void Commit(uint32_t count);

  const uint8_t* Unconsumed() const { return data_ + consumed_; }
  uint32_t UnconsumedLength() const { return filled_ - consumed_; }
  // The receiver used `count` bytes (at most UnconsumedLength()): an emptied buffer starts over;
  // past the threshold the rest moves to the start; otherwise partial data waits where it is.
  void Consume(uint32_t count);

  uint32_t consumed() const { return consumed_; }
  uint32_t filled() const { return filled_; }

 private:
  uint8_t data_[kSize];
  uint32_t consumed_ = 0;
  uint32_t filled_ = 0;
};
