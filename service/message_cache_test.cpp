// Kept download messages: a module sent from the cache is the same chunks as one read from its
// file, each message ends with its module, only the last of a download says so, the budget
// bounds what is kept, and a download that stops half-way keeps nothing.
#include "service/message_cache.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "wire/lzo_compress.h"
#include "wire/message.h"
#include "wire/records.h"
#include "service/transfer.h"
#include "service/testing/test_service.h"

namespace fs = std::filesystem;

namespace {

struct Sent {
  std::vector<std::string> messages;  // one line per message: "count last"
  std::map<std::string, std::string> files;
  size_t from_cache = 0;
};

// Runs a whole transfer of `modules` and decodes what it sends.
bool Send(const std::vector<const PackageModule*>& modules, MessageCache* cache, Sent* sent) {
  auto transfer = Transfer::Modules(modules, cache);
  std::vector<uint8_t> plain(kMaxMessageSize);
  while (!transfer->done()) {
    Transfer::Next next;
    std::string reason;
    if (!transfer->NextPiece(Transfer::kChunksPerMessage, &next, &reason)) {
      ADD_FAILURE() << reason;
      return false;
    }
    const uint8_t* message = next.message.data();
    size_t length = next.message.size();
    if (next.payload) {
      ++sent->from_cache;
      if (!Decompress(next.payload, next.payload_length, plain.data(), &length)) return false;
      message = plain.data();
    }
    MessageHeader header;
    if (!DecodeMessageHeader(message, length, &header)) return false;
    const bool last = header.Chain == kChainLast;
    sent->messages.push_back(std::to_string(header.RecordCount) + (last ? " last" : ""));
    for (size_t i = 0; i < header.RecordCount; ++i) {
      FileChunkRecord r =
          DecodeFileChunkRecord(message + kMessageHeaderSize + i * header.RecordSize);
      sent->files[r.ModuleName].append(reinterpret_cast<const char*>(r.Data),
                                       static_cast<size_t>(r.DataLength));
    }
  }
  return true;
}

}  // namespace

TEST(MessageCache, KeptMessagesAreTheFilesChunksAndCostNoReading) {
  TempDir dir;
  const std::string a = TestBytes(96 * 1001 + 10, 1), b = TestBytes(5, 2);
  PackageModule ma = TestModule(dir.path(), "a", a), mb = TestModule(dir.path(), "b", b),
                empty = TestModule(dir.path(), "e", "");
  auto budget = std::make_shared<MessageCacheBudget>();
  budget->limit = 64 << 20;
  MessageCache cache(budget);

  Sent first;
  ASSERT_TRUE(Send({&ma, &mb, &empty}, &cache, &first));
  EXPECT_EQ(cache.modules(), 3u);
  EXPECT_EQ(budget->used, cache.bytes());
  // Each module ends its message; only the download's last message is marked last.
  EXPECT_EQ(first.messages, (std::vector<std::string>{"96", "1", "1", "1 last"}));
  EXPECT_TRUE(first.files["a"] == a);
  EXPECT_EQ(first.files["b"], b);

  // The files are gone: what comes now comes from the cache, in another order.
  fs::remove(ma.source_path);
  fs::remove(mb.source_path);
  Sent again;
  ASSERT_TRUE(Send({&mb, &ma}, &cache, &again));
  EXPECT_EQ(again.from_cache, 3u);
  EXPECT_EQ(again.messages, (std::vector<std::string>{"1", "96", "1 last"}));
  EXPECT_TRUE(again.files["a"] == a);
  EXPECT_EQ(again.files["b"], b);
}

TEST(MessageCache, TheBudgetBoundsWhatIsKeptAndComesBack) {
  TempDir dir;
  const std::string big = TestBytes(300000, 3), small = TestBytes(2000, 4);
  PackageModule mbig = TestModule(dir.path(), "big", big), msmall = TestModule(dir.path(), "small", small);
  auto budget = std::make_shared<MessageCacheBudget>();
  budget->limit = 200000;  // room for the small module's worst case, not the big one's
  {
    MessageCache cache(budget);
    Sent sent;
    ASSERT_TRUE(Send({&mbig, &msmall}, &cache, &sent));
    EXPECT_TRUE(sent.files["big"] == big);
    EXPECT_EQ(cache.modules(), 1u);
    EXPECT_LE(budget->used, budget->limit);
    EXPECT_GT(budget->used, 0u);

    // A download that stops in the middle of a module keeps nothing of it.
    MessageCache other(budget);
    const uint64_t before = budget->used;
    budget->limit = 10 << 20;
    auto transfer = Transfer::Modules({&mbig}, &other);
    Transfer::Next next;
    std::string reason;
    ASSERT_TRUE(transfer->NextPiece(Transfer::kChunksPerMessage, &next, &reason)) << reason;
    EXPECT_GT(budget->used, before);  // reserved while it builds
    transfer.reset();
    EXPECT_EQ(budget->used, before);
    EXPECT_EQ(other.modules(), 0u);
  }
  EXPECT_EQ(budget->used, 0u);  // a cache gone (its package set replaced) gives its bytes back
}

TEST(MessageCache, ShorterMessagesThanAKeptOneAreBuiltFromTheFile) {
  TempDir dir;
  const std::string a = TestBytes(200 * 1001, 5);
  PackageModule ma = TestModule(dir.path(), "a", a);
  auto budget = std::make_shared<MessageCacheBudget>();
  budget->limit = 64 << 20;
  MessageCache cache(budget);
  Sent first;
  ASSERT_TRUE(Send({&ma}, &cache, &first));
  ASSERT_EQ(cache.modules(), 1u);

  // A cut at 100 chunks: one kept message of 96, then 4 read from the file where it ends.
  auto transfer = Transfer::Modules({&ma}, &cache);
  std::string got;
  size_t chunks = 0;
  std::vector<uint8_t> plain(kMaxMessageSize);
  for (size_t max : {size_t{96}, size_t{4}, size_t{96}, size_t{96}}) {
    Transfer::Next next;
    std::string reason;
    ASSERT_TRUE(transfer->NextPiece(max, &next, &reason)) << reason;
    const uint8_t* message = next.message.data();
    size_t length = next.message.size();
    if (next.payload) {
      ASSERT_TRUE(Decompress(next.payload, next.payload_length, plain.data(), &length));
      message = plain.data();
    }
    MessageHeader header;
    ASSERT_TRUE(DecodeMessageHeader(message, length, &header));
    EXPECT_LE(header.RecordCount, max);
    for (size_t i = 0; i < header.RecordCount; ++i, ++chunks) {
      FileChunkRecord r =
          DecodeFileChunkRecord(message + kMessageHeaderSize + i * header.RecordSize);
      EXPECT_EQ(r.Index, chunks);
      got.append(reinterpret_cast<const char*>(r.Data), static_cast<size_t>(r.DataLength));
    }
    if (transfer->done()) break;
  }
  EXPECT_TRUE(transfer->done());
  EXPECT_TRUE(got == a);
}
