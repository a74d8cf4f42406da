// The send queue: frames built in place and bytes copied in come out in the order they were
// queued, whole, through partial sends, the queue's compaction and its growth; a hold keeps back
// only what was queued after it; full past its mark; nothing is taken once the queue is to close.
#include "service/outbox.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

// Drains up to `most` bytes of what may go out now, as a short send would.
std::string Send(Outbox& out, size_t most) {
  const size_t n = std::min(most, out.ready_length(Outbox::Clock::now()));
  std::string sent(reinterpret_cast<const char*>(out.ready_data()), n);
  out.Consume(n);
  return sent;
}

void QueueInPlace(Outbox& out, const std::string& bytes) {
  // Room for more than is written: only what is committed is queued.
  uint8_t* room = out.Reserve(bytes.size() + 100);
  std::memcpy(room, bytes.data(), bytes.size());
  out.Commit(bytes.size());
}

std::string Pattern(size_t length, int seed) {
  std::string s(length, '\0');
  for (size_t i = 0; i < length; ++i) s[i] = static_cast<char>((i * 131 + seed * 7) & 0xFF);
  return s;
}

TEST(OutboxTest, BytesComeOutInOrderThroughShortSendsCompactionAndGrowth) {
  Outbox out;
  std::string queued, sent;
  // Frame-sized pieces, alternately built in place and copied in, drained by sends of odd
  // sizes: the queue compacts (more than 64 KiB sent and over half of it) and grows from 4 KiB.
  for (int i = 0; i < 40; ++i) {
    const std::string piece = Pattern(1000 + static_cast<size_t>(i) * 3001, i);
    if (i % 2 == 0) {
      QueueInPlace(out, piece);
    } else {
      out.Append(reinterpret_cast<const uint8_t*>(piece.data()), piece.size());
    }
    queued += piece;
    sent += Send(out, 7919 * static_cast<size_t>(i % 5 + 1));
    ASSERT_EQ(out.pending(), queued.size() - sent.size());
  }
  out.Grow(1 << 20);  // growth at once keeps what is pending
  while (out.pending() > 0) sent += Send(out, 65537);
  EXPECT_TRUE(sent == queued);
}

TEST(OutboxTest, AHoldKeepsBackOnlyWhatWasQueuedAfterIt) {
  Outbox out;
  QueueInPlace(out, "before");
  out.HoldFrom(Outbox::Clock::now() + std::chrono::hours(1));
  QueueInPlace(out, "after");
  out.Grow(1 << 16);
  EXPECT_EQ(Send(out, 100), "before");
  EXPECT_EQ(out.pending(), 5u);
  Outbox::Clock::time_point until;
  EXPECT_TRUE(out.held(&until));

  bool released = false;
  Outbox gated;
  gated.HoldUntilReleased([&] { return released; });
  QueueInPlace(gated, "gated");
  EXPECT_EQ(Send(gated, 100), "");
  released = true;
  EXPECT_EQ(Send(gated, 100), "gated");
}

TEST(OutboxTest, FullPastItsMarkAndStorageOfALargeQueueFreedOnceDrained) {
  Outbox out;
  out.set_high_water(10000);
  const std::string mark = Pattern(10000, 1);
  QueueInPlace(out, mark);
  EXPECT_FALSE(out.full());
  QueueInPlace(out, "x");
  EXPECT_TRUE(out.full());
  EXPECT_TRUE(Send(out, 20000) == mark + "x");
  // Storage within twice the mark is kept for the next replies, larger storage is not.
  EXPECT_GT(out.capacity(), 0u);
  const std::string large = Pattern(30000, 2);
  QueueInPlace(out, large);
  EXPECT_TRUE(Send(out, 29000) == large.substr(0, 29000));
  EXPECT_GT(out.capacity(), 20000u);
  EXPECT_TRUE(Send(out, 29000) == large.substr(29000));
  EXPECT_EQ(out.capacity(), 0u);
  QueueInPlace(out, "again");
  EXPECT_EQ(Send(out, 100), "again");
}

TEST(OutboxTest, NothingIsTakenOnceTheQueueIsToClose) {
  Outbox out;
  QueueInPlace(out, "last");
  out.CloseAfterFlush("done");
  QueueInPlace(out, "late");
  out.Append(reinterpret_cast<const uint8_t*>("later"), 5);
  EXPECT_EQ(out.pending(), 4u);
  EXPECT_EQ(Send(out, 100), "last");
  EXPECT_TRUE(out.close_after_flush());
  EXPECT_EQ(out.close_reason(), "done");
}

}  // namespace
