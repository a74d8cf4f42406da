// Bookkeeping of the receive buffer; counts from outside are clamped so that the invariant holds
// whatever a receiver returns.
#include "net/tcp_receive_buffer.h"

#include <cstring>

void TcpReceiveBuffer::Commit(uint32_t count) {
  filled_ += count < FreeLength() ? count : FreeLength();
}

void TcpReceiveBuffer::Consume(uint32_t count) {
  consumed_ += count < UnconsumedLength() ? count : UnconsumedLength();
  if (consumed_ >= filled_) {
    Reset();
  } else if (consumed_ >= kCompactThreshold) {
    std::memmove(data_, data_ + consumed_, filled_ - consumed_);
    filled_ -= consumed_;
    consumed_ = 0;
  }
}
