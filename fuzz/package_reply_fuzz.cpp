// Feeds bytes to the installer's reading of the package query reply, as they would arrive on the
// query connection: the frame header decides how much is read, the frame is decoded, and the
// product name is converted as the install context keeps it. A name longer than 50 bytes, or a
// read past the frame, is a fault.
// With QB_FUZZ_WRITE_SEEDS=<folder> the program writes seed inputs there and ends.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "base/coding.h"
#include "clients/server_selection.h"
#include "fuzz/seeds.h"
#include "wire/frame_format.h"
#include "wire/message.h"
#include "wire/records.h"

namespace {

std::string ReplyFrame(const std::string& name, size_t extra) {
  PackageQueryReplyRecord reply;
  SetFieldText(reply.PackageNumber, "100201");
  SetFieldText(reply.ProductName, name, sizeof reply.ProductName - 1);
  std::string message(kMessageHeaderSize + kPackageQueryReplyRecordSize + extra, '\0');
  uint8_t* bytes = reinterpret_cast<uint8_t*>(&message[0]);
  MessageHeader header;
  header.Code = kMsgPackageQueryReply;
  header.RecordCount = 1;
  header.RecordSize = kPackageQueryReplyRecordSize;
  EncodeMessageHeader(header, bytes);
  EncodePackageQueryReplyRecord(reply, bytes + kMessageHeaderSize);
  std::string frame(kFrameHeaderSize, '\0');
  EncodeFrameHeader('1', static_cast<uint32_t>(message.size()),
                    reinterpret_cast<uint8_t*>(&frame[0]));
  return frame + message;
}

std::vector<std::string> Seeds() {
  return {
      ReplyFrame("\xE5\xB2\x9A\xE8\x88\x9F\xE7\xBB\x88\xE7\xAB\xAF", 0),  // UTF-8
      ReplyFrame(std::string(51, '\xE5'), 0),  // a cut character across the whole field
      ReplyFrame("ix", 100),
  };
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  WriteSeedsIfAsked(Seeds);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < kFrameHeaderSize) return 0;
  const size_t frame_size = PackageReplyFrameSize(data);
  if (frame_size == 0 || frame_size > size) return 0;
  // Exactly the frame on the heap, so that a read past it shows.
  const std::vector<uint8_t> frame(data, data + frame_size);
  PackageQueryReplyRecord reply;
  if (!DecodePackageReplyFrame(frame.data(), frame.size(), &reply)) return 0;
  if (std::strlen(reply.ProductName) > 51) std::abort();
  if (ProductNameOf(reply).size() > 50) std::abort();
  return 0;
}
