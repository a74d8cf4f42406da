// The update-check client: login, update check, module check, and the messages that report each
// outcome. Runs on the check connection's receive thread (OnClientDisconnect also on the
// controller's thread when the connect fails or the controller closes the connection); it fills
// its offer under a lock and hands it over once the module list is complete.
#include "clients/process_check.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <utility>

#include "core/install_log.h"
#include "wire/message.h"
#include "wire/records.h"

namespace {

// The package number field holds at most 9 characters of string 102 (and a NUL, within 11
// bytes).
constexpr size_t kPackageNumberMaxLength = 9;

std::string PackageNumberField(std::string number) {
  if (number.size() > kPackageNumberMaxLength) number.resize(kPackageNumberMaxLength);
  return number;
}

// The host as the offer keeps it: at most 50 characters of the field, up to its NUL.
constexpr size_t kDownloadHostMaxLength = 50;

}  // namespace

ProcessCheck::ProcessCheck(ClientSink* sink, std::string package_number,
                           const VersionPair& installed)
    : sink_(sink), package_number_(PackageNumberField(std::move(package_number))),
      installed_(installed) {}

UpdateOffer ProcessCheck::TakeOffer() {
  std::lock_guard<std::mutex> guard(offer_lock_);
  if (!list_complete_) return offer_;
  return std::move(offer_);
}

ProcessCheck::~ProcessCheck() { ReleaseConnections(); }

void ProcessCheck::OnAuthentLink(int32_t error_code) {
  if (error_code == 0) {
    SendLogin();
    return;
  }
  sink_->Post(UM_CHECK_AUTH_FAIL, 0);
  WriteLog("ProcessCheck" QB_COLON "OnAuthentLink Faile");
}

void ProcessCheck::OnLogin(int32_t error_code, const uint8_t* records, uint32_t records_length) {
  if (error_code != 0) {
    sink_->Post(UM_LOGIN_FAIL, 0);
    WriteLog("ProcessCheck_OnLogin" QB_COLON "Connect Faile");
    return;
  }
  KeepLoginReply(records, records_length, LoginReply);
  logged_in_ = true;
  QryCheckUpdate();
}

void ProcessCheck::OnClientDisconnect(const char*, int32_t) {
  sink_->Post(UM_CHECK_DISCONNECT, 0);
  WriteLog("ProcessCheck" QB_COLON "OnClientDisconnect Faile");
}

void ProcessCheck::QryCheckUpdate() {
  UpdateCheckRecord record;
  SetFieldText(record.PackageNumber, package_number_);
  record.Installed = installed_;
  uint8_t message[kUpdateCheckRequestSize];
  EncodeUpdateCheckRequest(record, message);
  Send(message, sizeof message, '6');
  WriteLog("ProcessCheck" QB_COLON "QryCheckUpdate");
}

void ProcessCheck::QryCheckModule() {
  ModuleCheckRecord record;
  SetFieldText(record.PackageNumber, package_number_);
  {
    std::lock_guard<std::mutex> guard(offer_lock_);
    record.Latest = offer_.LatestVersion;
  }
  uint8_t message[kModuleCheckRequestSize];
  EncodeModuleCheckRequest(record, message);
  Send(message, sizeof message, '6');
  WriteLog("ProcessCheck" QB_COLON "QryCheckModule");
}

void ProcessCheck::Refuse(const char* what) {
  if (refused_.exchange(true)) return;
  WriteLog((std::string("ProcessCheck" QB_COLON) + what).c_str());
  CloseConnection();
}

void ProcessCheck::OnMessage(const uint8_t* message, uint32_t length) {
  MessageHeader header;
  if (!DecodeMessageHeader(message, length, &header)) return;
  if (refused_) return;
  const uint8_t* records = message + kMessageHeaderSize;
  if (header.Code == kMsgPkgUpdateCheckRsp) {
    OnUpdateCheckReply(header, length, records);
  } else if (header.Code == kMsgPkgModuleCheckRsp) {
    OnModuleCheckReply(header, length, records);
  }
}

void ProcessCheck::OnUpdateCheckReply(const MessageHeader& header, uint32_t length,
                                      const uint8_t* records) {
  // The controller takes the download host and the version once the list is complete: a late or
  // repeated reply must neither change them nor start another module check.
  if (list_complete_) {
    WriteLog("ProcessCheck" QB_COLON "PkgUpdateCheck_Rsp Ignored");
    return;
  }
  // A reply whose records do not fit, or are too small to hold what is read, is used in no part.
  // Before the module list is complete the install cannot go on without it.
  if (!RecordsFit(header, length, kUpdateCheckReplyRecordSize)) {
    Refuse("PkgUpdateCheck_Rsp Refused");
    return;
  }
  for (uint32_t i = 0; i < header.RecordCount; ++i) {
    const UpdateCheckReplyRecord reply =
        DecodeUpdateCheckReplyRecord(records + i * header.RecordSize);
    {
      std::lock_guard<std::mutex> guard(offer_lock_);
      offer_.DownloadHost.assign(
          reply.Host, strnlen(reply.Host, std::min(sizeof reply.Host, kDownloadHostMaxLength)));
      offer_.DownloadPort = reply.Port;
      offer_.LatestVersion = reply.Latest;
    }
    if (reply.Proceed) {
      QryCheckModule();
    } else {
      sink_->Post(UM_UPDATE_REFUSED, header.ErrorCode);
      WriteLog("ProcessCheck" QB_COLON "KesPublish_L_PkgUpdateCheck_Rsp");
    }
  }
}

void ProcessCheck::OnModuleCheckReply(const MessageHeader& header, uint32_t length,
                                      const uint8_t* records) {
  // Once complete the list is the controller's: a late reply must not reach it.
  if (list_complete_) {
    WriteLog("ProcessCheck" QB_COLON "PkgModuleCheck_Rsp Ignored");
    return;
  }
  if (!RecordsFit(header, length, kModuleRecordSize)) {
    Refuse("PkgModuleCheck_Rsp Refused");
    return;
  }
  bool too_many = false;
  {
    std::lock_guard<std::mutex> guard(offer_lock_);
    ModuleList& modules = offer_.Modules;
    // A chain that never ends would otherwise grow the list until memory runs out.
    too_many = modules.Count() > kMaxModuleListRecords ||
               header.RecordCount > kMaxModuleListRecords - modules.Count();
    for (uint32_t i = 0; i < header.RecordCount && !too_many; ++i) {
      modules.Append(DecodeModuleRecord(records + i * header.RecordSize));
    }
    // Any other chain flag: more messages of this reply follow.
    if (!too_many && header.Chain == kChainLast) list_complete_ = true;
  }
  if (too_many) {
    // The link is fine; the package is what cannot be installed.
    sink_->Post(UM_PACKAGE_REFUSED, 0);
    Refuse("PkgModuleCheck_Rsp Too Many Modules");
    return;
  }
  if (list_complete_) {
    sink_->Post(UM_MODULE_CHECK_DONE, 0);
    WriteLog("ProcessCheck" QB_COLON "KesPublish_L_PkgModuleCheck_Rsp");
  }
}
