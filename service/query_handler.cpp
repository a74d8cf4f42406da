// Package queries: one plain frame in, one plain frame out.
#include "service/query_handler.h"

#include "wire/cipher_context.h"
#include "wire/message.h"
#include "service/frame_io.h"
#include "service/replies.h"
#include "service/requests.h"
#include "service/service_log.h"

bool QueryHandler::OnReceive(const uint8_t* data, size_t length, size_t* consumed,
                             Outbox& out, std::string* reason) {
  static const CipherContext kNoKey;
  size_t pos = 0;
  while (pos < length && !out.full()) {
    DecodedFrame frame;
    FrameRead read = ReadFrame(data + pos, length - pos, kNoKey, kNoKey, &frame, reason);
    if (read == FrameRead::kIncomplete) break;
    if (read == FrameRead::kBad) return false;
    pos += frame.frame_length;
    if (frame.type != '1') {
      *reason = std::string("package query in a type ") + frame.type + " frame";
      return false;
    }
    MessageHeader header;
    if (!DecodeMessageHeader(frame.message, frame.message_length, &header) ||
        header.Code != kMsgPackageQuery) {
      *reason = "not a package query";
      return false;
    }
    metrics_.CountIn(header.Code);
    PackageQueryRequest request;
    if (!ParsePackageQuery(frame.message, frame.message_length, &request, reason)) return false;

    // The set published now, kept while its package is read.
    const std::shared_ptr<const PackageSet> packages = state_.packages.Get();
    const Package* package = packages->Find(request.package_number);
    if (!package) metrics_.CountRefused("unknown_package");
    const uint16_t code = faults_->OnQueryReply(kMsgPackageQueryReply, out);
    std::vector<uint8_t> reply =
        PackageQueryReply(code, package ? 0 : kErrorUnknownPackage, request.package_number,
                          package ? package->product_name : std::string());
    AppendFrame(out, reply, '1', nullptr);
    metrics_.CountOut(code);
    ServiceLogF("%s package query %s (language 0x%04X, %s): %s%s", info_.Tag().c_str(),
                request.package_number.c_str(), request.language_id,
                request.client_version.c_str(), package ? "answered" : "unknown package",
                code != kMsgPackageQueryReply ? " with a wrong code on purpose" : "");
  }
  *consumed = pos;
  return true;
}

void QueryHandler::OnClose(CloseCause cause, size_t unsent) {
  (void)unsent;
  if (cause == CloseCause::kRefused) metrics_.CountRefused("bad_request");
  if (cause == CloseCause::kTooLarge) metrics_.CountRefused("too_large");
}
