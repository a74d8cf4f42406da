// The module record's byte layout.
#include "base/module_record.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

TEST(ModuleRecordTest, SeventyNineBytesWithFieldsAtTheirOffsets) {
  uint8_t wire[kModuleRecordSize];
  for (size_t i = 0; i < sizeof wire; ++i) wire[i] = static_cast<uint8_t>(i + 1);
  // Num1 = 0x12345678 and Num2 = -2, little-endian.
  const uint8_t num1[4] = {0x78, 0x56, 0x34, 0x12};
  std::memcpy(wire + 62, num1, 4);
  const uint8_t num2[4] = {0xFE, 0xFF, 0xFF, 0xFF};
  std::memcpy(wire + 66, num2, 4);
  wire[70] = 'D';

  const ModuleRecord record = DecodeModuleRecord(wire);
  EXPECT_EQ(+record.Num1, 0x12345678);  // + : packed fields do not bind to references
  EXPECT_EQ(+record.Num2, -2);
  EXPECT_EQ(record.Kind, 'D');
  EXPECT_EQ(static_cast<uint8_t>(record.Name[0]), 12);
  EXPECT_EQ(static_cast<uint8_t>(record.Tail[7]), 79);

  uint8_t back[kModuleRecordSize + 1];
  back[kModuleRecordSize] = 0xAA;  // guard byte: nothing is written past the record
  EncodeModuleRecord(record, back);
  EXPECT_EQ(0, std::memcmp(wire, back, kModuleRecordSize));
  EXPECT_EQ(back[kModuleRecordSize], 0xAA);
}

}  // namespace
