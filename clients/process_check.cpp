// The update-check client: login, update check, module check, and the window messages that
// report each outcome. Runs on the check connection's receive thread (OnClientDisconnect also
// on the window thread when the connect fails or the window closes the connection); it fills
// the install context and the module list before it posts the message that lets the window read
// them.
#include "clients/process_check.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "base/resources.h"
#include "core/install_context.h"
#include "core/install_log.h"
#include "core/window_messages.h"
#include "wire/message.h"
#include "wire/records.h"

namespace {

// The package number field holds at most 9 characters of string 102 (and a NUL, within 11
// bytes).
constexpr size_t kPackageNumberMaxLength = 9;

std::string PackageNumberField() {
  std::string number = LoadPackageNumberString();
  if (number.size() > kPackageNumberMaxLength) number.resize(kPackageNumberMaxLength);
  return number;
}

}  // namespace

ProcessCheck::~ProcessCheck() { ReleaseConnections(); }

void ProcessCheck::OnAuthentLink(int32_t error_code) {
  if (error_code == 0) {
    SendLogin();
    return;
  }
  PostToMainWindow(UM_CHECK_AUTH_FAIL, 0, 0);
  WriteLog("ProcessCheck" QB_COLON "OnAuthentLink Faile");
}

void ProcessCheck::OnLogin(int32_t error_code, const uint8_t* records, uint32_t records_length) {
  if (error_code != 0) {
    PostToMainWindow(UM_LOGIN_FAIL, 0, 0);
    WriteLog("ProcessCheck_OnLogin" QB_COLON "Connect Faile");
    return;
  }
  KeepLoginReply(records, records_length, LoginReply);
  logged_in_ = true;
  QryCheckUpdate();
}

void ProcessCheck::OnClientDisconnect(const char*, int32_t) {
  PostToMainWindow(UM_CHECK_DISCONNECT, 0, 0);
  WriteLog("ProcessCheck" QB_COLON "OnClientDisconnect Faile");
}

void ProcessCheck::QryCheckUpdate() {
  UpdateCheckRecord record;
  SetFieldText(record.PackageNumber, PackageNumberField());
  record.Installed = InstallContext::Get().InstalledVersion;
  uint8_t message[kUpdateCheckRequestSize];
  EncodeUpdateCheckRequest(record, message);
  Send(message, sizeof message, '6');
  WriteLog("ProcessCheck" QB_COLON "QryCheckUpdate");
}

void ProcessCheck::QryCheckModule() {
  ModuleCheckRecord record;
  SetFieldText(record.PackageNumber, PackageNumberField());
  record.Latest = InstallContext::Get().LatestVersion;
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
  const uint8_t* records = message + kMessageHeaderSize;
  if (refused_) return;

  if (header.Code == kMsgPkgUpdateCheckRsp) {
    // The window thread reads the download host and the version once the list is complete: a
    // late or repeated reply must neither change them nor start another module check.
    if (list_complete_) {
      WriteLog("ProcessCheck" QB_COLON "PkgUpdateCheck_Rsp Ignored");
      return;
    }
    // A reply whose records do not fit, or are too small to hold what is read, is used in no
    // part. Before the module list is complete the install cannot go on without it.
    if (!RecordsFit(header, length, kUpdateCheckReplyRecordSize)) {
      Refuse("PkgUpdateCheck_Rsp Refused");
      return;
    }
    InstallContext& context = InstallContext::Get();
    for (uint32_t i = 0; i < header.RecordCount; ++i) {
      const UpdateCheckReplyRecord reply =
          DecodeUpdateCheckReplyRecord(records + i * header.RecordSize);
      // At most 50 characters of the host field, as the context keeps it.
      std::memset(context.DownloadHost, 0, sizeof context.DownloadHost);
      std::memcpy(context.DownloadHost, reply.Host,
                  strnlen(reply.Host, sizeof context.DownloadHost - 1));
      context.DownloadPort = reply.Port;
      context.LatestVersion = reply.Latest;
      if (reply.Proceed) {
        QryCheckModule();
      } else {
        PostToMainWindow(UM_UPDATE_REFUSED, 0, header.ErrorCode);
        WriteLog("ProcessCheck" QB_COLON "KesPublish_L_PkgUpdateCheck_Rsp");
      }
    }
    return;
  }

  if (header.Code == kMsgPkgModuleCheckRsp) {
    // The window thread reads the complete list (and keeps pointers into it) while the download
    // runs: it must not change under it.
    if (list_complete_) {
      WriteLog("ProcessCheck" QB_COLON "PkgModuleCheck_Rsp Ignored");
      return;
    }
    if (!RecordsFit(header, length, kModuleRecordSize)) {
      Refuse("PkgModuleCheck_Rsp Refused");
      return;
    }
    ModuleList& modules = ModuleList::Get();
    // A chain that never ends would otherwise grow the list until memory runs out.
    if (modules.Count() > kMaxModuleListRecords ||
        header.RecordCount > kMaxModuleListRecords - modules.Count()) {
      // The link is fine; the package is what cannot be installed.
      PostToMainWindow(UM_PACKAGE_REFUSED, 0, 0);
      Refuse("PkgModuleCheck_Rsp Too Many Modules");
      return;
    }
    for (uint32_t i = 0; i < header.RecordCount; ++i) {
      modules.Append(DecodeModuleRecord(records + i * header.RecordSize));
    }
    // Any other chain flag: more messages of this reply follow.
    if (header.Chain == kChainLast) {
      list_complete_ = true;
      PostToMainWindow(UM_MODULE_CHECK_DONE, 0, 0);
      WriteLog("ProcessCheck" QB_COLON "KesPublish_L_PkgModuleCheck_Rsp");
    }
  }
}
