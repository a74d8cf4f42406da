// Each record pinned to literal bytes, so that a layout cannot drift in the service and the
// installer together; then the text-field rules every record shares.
#include "wire/records.h"

#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <utility>
#include <vector>

namespace {

// `size` zero bytes with literal pieces at their offsets.
std::string Bytes(size_t size, const std::vector<std::pair<size_t, std::string>>& pieces) {
  std::string bytes(size, '\0');
  for (const auto& [offset, piece] : pieces) bytes.replace(offset, piece.size(), piece);
  return bytes;
}

template <typename Record>
std::string Encoded(const Record& record, void (*encode)(const Record&, uint8_t*), size_t size) {
  std::string bytes(size, '\xEE');  // every byte must be written
  encode(record, reinterpret_cast<uint8_t*>(&bytes[0]));
  return bytes;
}

const uint8_t* U8(const std::string& bytes) {
  return reinterpret_cast<const uint8_t*>(bytes.data());
}

using std::string_literals::operator""s;

TEST(RecordsTest, RequestsAsTheyGoOnTheWire) {
  UpdateCheckRecord update;
  SetFieldText(update.PackageNumber, "100201");
  update.Installed = {12345, -2};
  EXPECT_EQ(Encoded(update, EncodeUpdateCheckRecord, kUpdateCheckRecordSize),
            "100201\0\0\0\0\0" "\x39\x30\0\0" "\xFE\xFF\xFF\xFF"s);

  ModuleCheckRecord module_check;
  SetFieldText(module_check.PackageNumber, "100201");
  module_check.Latest = {7, 258};
  EXPECT_EQ(Encoded(module_check, EncodeModuleCheckRecord, kModuleCheckRecordSize),
            Bytes(60, {{0, "P100201"}, {12, "\x07\0\0\0" "\x02\x01\0\0"s}}));

  ModuleDownloadRecord download;
  SetFieldText(download.PackageKey, "K1");
  SetFieldText(download.Name, "core");
  download.Num1 = 1;
  download.Num2 = -1;
  EXPECT_EQ(Encoded(download, EncodeModuleDownloadRecord, kModuleDownloadRecordSize),
            Bytes(74, {{4, "K1"}, {15, "core"}, {66, "\x01\0\0\0" "\xFF\xFF\xFF\xFF"s}}));

  ModuleRangeRecord range;
  range.Module = download;
  range.Offset = 0x01020304;
  range.Length = 65;
  EXPECT_EQ(Encoded(range, EncodeModuleRangeRecord, kModuleRangeRecordSize),
            Bytes(82, {{4, "K1"}, {15, "core"},
                       {66, "\x01\0\0\0" "\xFF\xFF\xFF\xFF" "\x04\x03\x02\x01" "\x41\0\0\0"s}}));
  const std::string range_bytes = Encoded(range, EncodeModuleRangeRecord, kModuleRangeRecordSize);
  const ModuleRangeRecord back = DecodeModuleRangeRecord(U8(range_bytes));
  EXPECT_STREQ(back.Module.Name, "core");
  EXPECT_EQ(back.Module.Num2, -1);
  EXPECT_EQ(back.Offset, 0x01020304u);
  EXPECT_EQ(back.Length, 65u);

  BaseZipRecord base;
  SetFieldText(base.Name, kBaseZipName);
  EXPECT_EQ(Encoded(base, EncodeBaseZipRecord, kBaseZipRecordSize),
            "SystemDepend.zip\0\0\0\0\0"s);

  PackageQueryRecord query;
  query.LanguageId = 0x0804;
  SetFieldText(query.PackageNumber, "100201");
  SetFieldText(query.ClientVersion, "quillbank v9.3");
  EXPECT_EQ(Encoded(query, EncodePackageQueryRecord, kPackageQueryRecordSize),
            Bytes(35, {{0, "W\x04\x08" "100201"s}, {14, "quillbank v9.3"}}));

  AccountRecord account;
  std::strcpy(account.UserName, "user");
  std::strcpy(account.Password, "pass");
  EXPECT_EQ(Encoded(account, EncodeAccountRecord, kAccountRecordSize),
            Bytes(73, {{0, "user"}, {52, "pass"}}));

  std::string link(kAuthentLinkRecordSize, '\xEE');
  EncodeAuthentLinkRecord(reinterpret_cast<uint8_t*>(&link[0]));
  EXPECT_EQ(link, Bytes(45, {{12, "81?3tuv-jkl%2abc$57"}}));
  EXPECT_TRUE(DecodeAuthentLinkRecord(U8(link)));
  link[30] = 'x';
  EXPECT_FALSE(DecodeAuthentLinkRecord(U8(link)));

  // A whole request: header (code, chain "0", one record of 19 bytes) and the record.
  uint8_t message[kUpdateCheckRequestSize];
  EncodeUpdateCheckRequest(update, message);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(message), kUpdateCheckRequestSize),
            Bytes(93, {{6, "\x51\x30" "0" "\x01\0" "\x13\0\0\0"s},
                       {74, "100201\0\0\0\0\0" "\x39\x30\0\0" "\xFE\xFF\xFF\xFF"s}}));
}

TEST(RecordsTest, RepliesAsTheyGoOnTheWire) {
  UpdateCheckReplyRecord update;
  SetFieldText(update.PackageNumber, "100201");
  update.Latest = {3, 4};
  SetFieldText(update.Host, "127.0.0.22");
  update.Port = 31712;
  update.Proceed = true;
  EXPECT_EQ(Encoded(update, EncodeUpdateCheckReplyRecord, kUpdateCheckReplyRecordSize),
            Bytes(75, {{0, "100201"},
                       {11, "\x03\0\0\0" "\x04\0\0\0" "127.0.0.22"s},
                       {70, "\xE0\x7B\0\0" "\x01"s}}));

  LoginReplyRecord login;
  SetFieldText(login.UserName, "kivor");
  EXPECT_EQ(Encoded(login, EncodeLoginReplyRecord, kLoginReplyRecordSize),
            Bytes(51, {{0, "kivor"}}));

  PackageQueryReplyRecord query;
  SetFieldText(query.PackageNumber, "100201");
  SetFieldText(query.ProductName, "ix");
  EXPECT_EQ(Encoded(query, EncodePackageQueryReplyRecord, kPackageQueryReplyRecordSize),
            Bytes(563, {{0, "100201"}, {11, "ix"}}));

  AuthentLinkReplyRecord link;
  SetFieldText(link.SendKey, "ABCDEFGHIJKLMNOP", kSessionKeyTextMax);
  SetFieldText(link.ReceiveKey, "abcdefghijklmnop", kSessionKeyTextMax);
  link.HeartbeatInterval = 30;
  EXPECT_EQ(Encoded(link, EncodeAuthentLinkReplyRecord, kAuthentLinkReplyRecordSize),
            Bytes(58, {{8, "ABCDEFGHIJKLMNOP"}, {33, "\x1E\0\0\0"s}, {41, "abcdefghijklmnop"}}));

  const std::string data = "0123456789";
  FileChunkRecord file;
  file.Index = 2;
  SetFieldText(file.ModuleName, "core");
  SetFieldText(file.FileName, "core.dll");
  SetFieldText(file.Folder, "bin\\");
  file.Data = U8(data);
  file.DataLength = 10;
  file.Offset = 2002;
  file.Total = 2012;
  file.Last = true;
  EXPECT_EQ(Encoded(file, EncodeFileChunkRecord, kFileChunkRecordSize),
            Bytes(1229, {{0, "\x02\0\0\0" "core"s},
                         {55, "core.dll"},
                         {114, "bin\\"},
                         {215, "0123456789"},
                         {1216, "\x0A\0\0\0" "\xD2\x07\0\0" "\xDC\x07\0\0" "\x01"s}}));

  BaseChunkRecord base;
  base.Index = 1;
  SetFieldText(base.FileName, kBaseZipName);
  base.Data = U8(data);
  base.DataLength = 3;
  base.Offset = 1001;
  base.Total = 1004;
  EXPECT_EQ(Encoded(base, EncodeBaseChunkRecord, kBaseChunkRecordSize),
            Bytes(1082, {{0, "\x01\0\0\0"s},
                         {8, "SystemDepend.zip"},
                         {67, "012"},
                         {1068, "\x03\0\0\0" "\xE9\x03\0\0" "\xEC\x03\0\0"s}}));
}

TEST(RecordsTest, DecodingGivesBackWhatWasEncoded) {
  // Every field away from its default, so that a swapped offset shows.
  UpdateCheckReplyRecord update;
  SetFieldText(update.PackageNumber, "123456789");
  update.Latest = {-7, 70000};
  SetFieldText(update.Host, "update.example");
  update.Port = 65535;
  update.Proceed = true;
  const UpdateCheckReplyRecord u = DecodeUpdateCheckReplyRecord(
      U8(Encoded(update, EncodeUpdateCheckReplyRecord, kUpdateCheckReplyRecordSize)));
  EXPECT_EQ(FieldText(u.PackageNumber), "123456789");
  EXPECT_EQ(u.Latest.Part3, -7);
  EXPECT_EQ(u.Latest.Part4, 70000);
  EXPECT_EQ(FieldText(u.Host), "update.example");
  EXPECT_EQ(u.Port, 65535);
  EXPECT_TRUE(u.Proceed);

  ModuleCheckRecord check;
  SetFieldText(check.PackageNumber, "42");
  check.Latest = {1, 2};
  check.Reserved[39] = 9;
  const ModuleCheckRecord c = DecodeModuleCheckRecord(
      U8(Encoded(check, EncodeModuleCheckRecord, kModuleCheckRecordSize)));
  EXPECT_EQ(c.Mark, 'P');
  EXPECT_EQ(FieldText(c.PackageNumber), "42");
  EXPECT_EQ(c.Latest.Part4, 2);
  EXPECT_EQ(c.Reserved[39], 9);

  ModuleRecord module{};
  std::memcpy(module.PackageKey, "0123456789X", 11);  // the whole field, no NUL
  std::strcpy(module.Name, "quotes");
  module.Num1 = 5;
  module.Num2 = 6;
  const ModuleDownloadRecord d = DecodeModuleDownloadRecord(U8(Encoded(
      ModuleDownloadRecordFor(module), EncodeModuleDownloadRecord, kModuleDownloadRecordSize)));
  EXPECT_EQ(FieldText(d.PackageKey), "0123456789");  // a request keeps its NUL
  EXPECT_EQ(FieldText(d.Name), "quotes");
  EXPECT_EQ(d.Num1, 5);
  EXPECT_EQ(d.Num2, 6);

  PackageQueryRecord query;
  query.LanguageId = 0x0404;
  SetFieldText(query.PackageNumber, "100201");
  SetFieldText(query.ClientVersion, "v");
  const PackageQueryRecord q = DecodePackageQueryRecord(
      U8(Encoded(query, EncodePackageQueryRecord, kPackageQueryRecordSize)));
  EXPECT_EQ(q.Mark, 'W');
  EXPECT_EQ(q.LanguageId, 0x0404);
  EXPECT_EQ(FieldText(q.ClientVersion), "v");

  const std::string data(kChunkDataSize, 'd');
  FileChunkRecord file;
  file.Index = 0xFFFFFFFF;
  SetFieldText(file.ModuleName, "m");
  SetFieldText(file.FileName, "f");
  SetFieldText(file.Folder, "d\\");
  file.Data = U8(data);
  file.DataLength = static_cast<int32_t>(kChunkDataSize);
  file.Offset = 1;
  file.Total = 0x80000000u;
  const std::string file_bytes = Encoded(file, EncodeFileChunkRecord, kFileChunkRecordSize);
  const FileChunkRecord f = DecodeFileChunkRecord(U8(file_bytes));
  EXPECT_EQ(f.Index, 0xFFFFFFFFu);
  EXPECT_EQ(std::string(f.Folder) + f.FileName + "/" + f.ModuleName, "d\\f/m");
  EXPECT_EQ(f.Data, U8(file_bytes) + 215);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(f.Data), kChunkDataSize), data);
  EXPECT_EQ(f.Offset, 1u);
  EXPECT_EQ(f.Total, 0x80000000u);
  EXPECT_FALSE(f.Last);

  BaseChunkRecord base;
  base.DataLength = -5;  // carried as sent; receivers refuse it
  base.Last = true;
  const BaseChunkRecord b =
      DecodeBaseChunkRecord(U8(Encoded(base, EncodeBaseChunkRecord, kBaseChunkRecordSize)));
  EXPECT_EQ(b.DataLength, -5);
  EXPECT_TRUE(b.Last);
}

TEST(RecordsTest, TextFields) {
  // Set: at most the width less one by default, so a NUL always follows on the wire; the whole
  // width when asked; never past it.
  BaseZipRecord base;
  SetFieldText(base.Name, std::string(40, 'n'));
  EXPECT_EQ(FieldText(base.Name), std::string(20, 'n'));
  EXPECT_TRUE(FieldTerminated(base.Name));
  SetFieldText(base.Name, std::string(40, 'n'), 40);
  EXPECT_EQ(FieldText(base.Name), std::string(21, 'n'));
  EXPECT_FALSE(FieldTerminated(base.Name));
  EXPECT_EQ(Encoded(base, EncodeBaseZipRecord, kBaseZipRecordSize), std::string(21, 'n'));

  // Decoded: a field without a NUL is cut at its width, and the bytes after a NUL are not text.
  std::string reply = Bytes(75, {{0, "12345678901"}, {19, "host\0junk"s}});
  const UpdateCheckReplyRecord r = DecodeUpdateCheckReplyRecord(U8(reply));
  EXPECT_EQ(FieldText(r.PackageNumber), "12345678901");
  EXPECT_FALSE(FieldTerminated(r.PackageNumber));
  EXPECT_EQ(FieldText(r.Host), "host");
  EXPECT_TRUE(FieldTerminated(r.Host));
  EXPECT_STREQ(r.Host, "host");
}

TEST(RecordsTest, AuthentLinkReplyFromMessagesOfEveryLength) {
  AuthentLinkReplyRecord keys;
  SetFieldText(keys.SendKey, "SSSSSSSSSSSSSSSS", kSessionKeyTextMax);
  SetFieldText(keys.ReceiveKey, "RRRRRRRRRRRRRRRR", kSessionKeyTextMax);
  keys.HeartbeatInterval = 15;
  std::string message(kMessageHeaderSize, '\0');
  message += Encoded(keys, EncodeAuthentLinkReplyRecord, kAuthentLinkReplyRecordSize);

  AuthentLinkReplyRecord out;
  ASSERT_TRUE(DecodeAuthentLinkReply(U8(message), message.size(), &out));
  EXPECT_STREQ(out.SendKey, "SSSSSSSSSSSSSSSS");
  EXPECT_STREQ(out.ReceiveKey, "RRRRRRRRRRRRRRRR");
  EXPECT_EQ(out.HeartbeatInterval, 15);

  // Cut inside the receive key: kept as far as it goes. Cut before it: no keys at all.
  ASSERT_TRUE(DecodeAuthentLinkReply(U8(message), kAuthentReceiveKeyOffset + 3, &out));
  EXPECT_STREQ(out.ReceiveKey, "RRR");
  EXPECT_FALSE(DecodeAuthentLinkReply(U8(message), kAuthentReceiveKeyOffset, &out));

  // A key text running on past 16 characters is taken as its first 16.
  message.replace(kAuthentReceiveKeyOffset, 17, std::string(17, 'Q'));
  ASSERT_TRUE(DecodeAuthentLinkReply(U8(message), message.size(), &out));
  EXPECT_STREQ(out.ReceiveKey, std::string(16, 'Q').c_str());
}

TEST(RecordsTest, ChunkDataBeyondItsFieldIsCutButItsCountIsKept) {
  const std::string data(1500, 'x');
  FileChunkRecord file;
  file.Data = U8(data);
  file.DataLength = 1500;
  const std::string bytes = Encoded(file, EncodeFileChunkRecord, kFileChunkRecordSize);
  EXPECT_EQ(bytes.substr(215, kChunkDataSize), std::string(kChunkDataSize, 'x'));
  EXPECT_EQ(DecodeFileChunkRecord(U8(bytes)).DataLength, 1500);

  file.DataLength = INT32_MIN;
  EXPECT_EQ(Encoded(file, EncodeFileChunkRecord, kFileChunkRecordSize).substr(215, 1001),
            std::string(kChunkDataSize, '\0'));
}

TEST(RecordsTest, KeptLoginReply) {
  uint8_t kept[kLoginReplyRecordSize];
  std::memset(kept, 0xEE, sizeof kept);
  const std::string records = "kivor" + std::string(100, 'z');
  KeepLoginReply(U8(records), 3, kept);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(kept), sizeof kept),
            "kiv" + std::string(48, '\0'));
  KeepLoginReply(U8(records), records.size(), kept);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(kept), sizeof kept), records.substr(0, 51));
  KeepLoginReply(nullptr, 0, kept);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(kept), sizeof kept), std::string(51, '\0'));
}

}  // namespace
