// The message header, the record bounds check and the login record.
#include "wire/message.h"
#include "wire/records.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace {

TEST(MessageTest, HeaderFieldsSitAtTheirOffsets) {
  MessageHeader header;
  header.Reserved0 = 3;
  header.Code = 0x5051;
  header.RecordCount = 1;
  header.RecordSize = 35;
  std::strcpy(header.UserName, "kivor");
  header.ErrorCode = -2;
  uint8_t bytes[kMessageHeaderSize];
  EncodeMessageHeader(header, bytes);
  const uint8_t start[] = {0x03, 0, 0, 0, 0, 0, 0x51, 0x50, 0x30, 0x01, 0x00, 0x23, 0, 0, 0};
  EXPECT_EQ(0, memcmp(bytes, start, sizeof start));
  EXPECT_EQ(0, memcmp(bytes + 19, "kivor\0", 6));
  const uint8_t error[] = {0xFE, 0xFF, 0xFF, 0xFF};
  EXPECT_EQ(0, memcmp(bytes + 70, error, 4));

  MessageHeader back;
  EXPECT_FALSE(DecodeMessageHeader(bytes, kMessageHeaderSize - 1, &back));
  ASSERT_TRUE(DecodeMessageHeader(bytes, kMessageHeaderSize, &back));
  EXPECT_EQ(back.Code, 0x5051);
  EXPECT_EQ(back.Chain, '0');
  EXPECT_EQ(back.RecordCount, 1);
  EXPECT_EQ(back.RecordSize, 35u);
  EXPECT_STREQ(back.UserName, "kivor");
  EXPECT_EQ(back.ErrorCode, -2);
}

TEST(MessageTest, RecordsMustFitTheMessage) {
  MessageHeader header;
  header.RecordCount = 3;
  header.RecordSize = 79;
  EXPECT_TRUE(RecordsFit(header, 74 + 3 * 79, 79));
  EXPECT_FALSE(RecordsFit(header, 74 + 3 * 79 - 1, 79));
  EXPECT_FALSE(RecordsFit(header, 74 + 3 * 79, 80));  // records too small for their reader
  header.RecordCount = 0xFFFF;
  header.RecordSize = 0xFFFFFFFF;
  EXPECT_FALSE(RecordsFit(header, 131072, 1));  // no wrap-around in the product
  header.RecordCount = 0;
  EXPECT_TRUE(RecordsFit(header, 74, 79));
  EXPECT_FALSE(RecordsFit(header, 73, 0));
}

TEST(MessageTest, AccountRecordIs73Bytes) {
  AccountRecord record;
  std::strcpy(record.UserName, "kivor");
  std::strcpy(record.Password, "kivor");
  uint8_t bytes[kAccountRecordSize + 1];
  bytes[kAccountRecordSize] = 0xAA;
  EncodeAccountRecord(record, bytes);
  EXPECT_EQ(0, memcmp(bytes, "kivor", 6));
  EXPECT_EQ(0, memcmp(bytes + 52, "kivor", 6));
  EXPECT_EQ(bytes[kAccountRecordSize], 0xAA);
  AccountRecord back = DecodeAccountRecord(bytes);
  EXPECT_EQ(0, memcmp(&back, &record, sizeof record));
}

}  // namespace
