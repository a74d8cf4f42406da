// The update-check client against a loopback service: the requests byte for byte, what the
// replies store, the window messages and log lines of each outcome, and replies that are refused
// for their bounds.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "base/coding.h"
#include "clients/process_check.h"
#include "clients/testing/client_harness.h"
#include "core/window_messages.h"
#include "wire/message.h"
#include "net/testing/process_client_peer.h"

namespace {

const std::string kColon = "\xA3\xBA";

class ProcessCheckTest : public ClientTest {
 protected:
  // Opens the connection and answers the login with `error`; returns the login request.
  void LogIn(int32_t error = 0) {
    ASSERT_TRUE(service_.Open(&client_));
    std::string login;
    ASSERT_TRUE(service_.Read(&login));
    ASSERT_EQ(MessageCode(login), kMsgLoginRequest);
    ASSERT_TRUE(service_.Send(MakeMessage(kMsgLoginResponse, error, std::string(60, 'L'), 1, 60)));
  }

  // Logged in, the update check answered with proceed (host 127.0.0.5, port 100, version 1/1)
  // and the module check it brings read.
  void LogInAndAnswerTheUpdateCheck() {
    LogIn();
    std::string request;
    ASSERT_TRUE(service_.Read(&request));
    ASSERT_TRUE(service_.Send(Reply(kMsgPkgUpdateCheckRsp,
                                    {UpdateCheckReplyBytes(1, 1, "127.0.0.5", 100, true)})));
    ASSERT_TRUE(service_.Read(&request));
    ASSERT_EQ(MessageCode(request), kMsgQryCheckModule);
  }

  void Deliver(const std::string& message) {
    client_.OnMessage(reinterpret_cast<const uint8_t*>(message.data()),
                      static_cast<uint32_t>(message.size()));
  }

  ServiceSide service_;
  ProcessCheck client_{&window_, "100201", VersionPair()};
};

std::string Bytes(std::initializer_list<int> values) {
  std::string s;
  for (int v : values) s += static_cast<char>(v);
  return s;
}

TEST_F(ProcessCheckTest, LoginUpdateCheckAndModuleCheckInThreeParts) {
  LogIn();
  std::string update;
  ASSERT_TRUE(service_.Read(&update));
  EXPECT_TRUE(client_.logged_in());
  // Header: code 0x3051, chain "0", one record of 19 bytes; record "100201", version 0/0.
  const std::string expected_update =
      Bytes({0, 0, 0, 0, 0, 0, 0x51, 0x30, 0x30, 1, 0, 19, 0, 0, 0}) + std::string(59, '\0') +
      "100201" + std::string(5 + 8, '\0');
  EXPECT_EQ(update, expected_update);
  ASSERT_EQ(update.size(), 93u);

  ASSERT_TRUE(service_.Send(Reply(
      kMsgPkgUpdateCheckRsp, {UpdateCheckReplyBytes(7, 42, "127.0.0.22", 31712, true, 90)})));
  std::string module_check;
  ASSERT_TRUE(service_.Read(&module_check));
  ASSERT_EQ(module_check.size(), 134u);
  EXPECT_EQ(module_check.substr(0, 15),
            Bytes({0, 0, 0, 0, 0, 0, 0x61, 0x30, 0x30, 1, 0, 60, 0, 0, 0}));
  EXPECT_EQ(module_check.substr(15, 59), std::string(59, '\0'));
  EXPECT_EQ(module_check.substr(74, 12), "P100201" + std::string(5, '\0'));
  EXPECT_EQ(module_check.substr(86, 8), Bytes({7, 0, 0, 0, 42, 0, 0, 0}));
  EXPECT_EQ(module_check.substr(94), std::string(40, '\0'));

  // What has arrived so far, before the list is complete.
  const UpdateOffer context = client_.TakeOffer();
  EXPECT_EQ(context.DownloadHost, "127.0.0.22");
  EXPECT_EQ(context.DownloadPort, 31712);
  EXPECT_EQ(context.LatestVersion.Part3, 7);
  EXPECT_EQ(context.LatestVersion.Part4, 42);

  // One reply in three messages; records of 100 bytes of which the first 79 are the module.
  auto record = [](const std::string& name, char kind) {
    return ModuleRecordBytes("key-" + name, name, 1, 2, kind) + std::string(21, 'x');
  };
  ASSERT_TRUE(service_.Send(Reply(kMsgPkgModuleCheckRsp, {record("a", 'F'), record("b", 'F')}, '1')));
  ASSERT_TRUE(service_.Send(Reply(kMsgPkgModuleCheckRsp, {record("c", 'D')}, '1')));
  ASSERT_TRUE(service_.Send(Reply(kMsgPkgModuleCheckRsp, {record("d", 'F')}, '0')));
  ASSERT_TRUE(window_.WaitFor(UM_MODULE_CHECK_DONE));
  EXPECT_EQ(window_.Kinds(), std::vector<unsigned>{UM_MODULE_CHECK_DONE});

  const UpdateOffer offer = client_.TakeOffer();
  const ModuleList& modules = offer.Modules;
  ASSERT_EQ(modules.Count(), 4u);
  const char* names[] = {"a", "b", "c", "d"};
  for (size_t i = 0; i < 4; ++i) {
    uint8_t bytes[kModuleRecordSize];
    EncodeModuleRecord(modules.At(i), bytes);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(bytes), sizeof bytes),
              record(names[i], i == 2 ? 'D' : 'F').substr(0, 79));
  }

  ASSERT_TRUE(LogHas("KesPublish_L_PkgModuleCheck_Rsp"));
  const std::string log = LogText();
  const std::string lines[] = {"ProcessCheck" + kColon + "QryCheckUpdate\r\n",
                               "ProcessCheck" + kColon + "QryCheckModule\r\n",
                               "ProcessCheck" + kColon + "KesPublish_L_PkgModuleCheck_Rsp\r\n"};
  size_t at = 0;
  for (const std::string& line : lines) {
    at = log.find(line, at);
    EXPECT_NE(at, std::string::npos) << line;
  }
}

TEST_F(ProcessCheckTest, TwoProceedRecordsSendTwoModuleChecks) {
  LogIn();
  std::string request;
  ASSERT_TRUE(service_.Read(&request));
  ASSERT_TRUE(service_.Send(Reply(kMsgPkgUpdateCheckRsp,
                                  {UpdateCheckReplyBytes(1, 1, "127.0.0.5", 100, true),
                                   UpdateCheckReplyBytes(2, 9, "127.0.0.6", 200, true)})));
  ASSERT_TRUE(service_.Read(&request));
  EXPECT_EQ(DecodeFixed32(reinterpret_cast<const uint8_t*>(request.data()) + 86), 1u);
  ASSERT_TRUE(service_.Read(&request));
  EXPECT_EQ(DecodeFixed32(reinterpret_cast<const uint8_t*>(request.data()) + 90), 9u);
  EXPECT_EQ(client_.TakeOffer().DownloadHost, "127.0.0.6");
  EXPECT_EQ(client_.TakeOffer().DownloadPort, 200);

  // The first complete reply completes the list; the controller owns it from then on, so the
  // second reply changes nothing.
  ASSERT_TRUE(service_.Send(Reply(kMsgPkgModuleCheckRsp, {ModuleRecordBytes("k", "one", 1, 1, 'F')})));
  ASSERT_TRUE(service_.Send(Reply(kMsgPkgModuleCheckRsp, {ModuleRecordBytes("k", "two", 2, 2, 'F')})));
  ASSERT_TRUE(LogHas("ProcessCheck" + kColon + "PkgModuleCheck_Rsp Ignored\r\n"));
  EXPECT_EQ(window_.Kinds(), std::vector<unsigned>{UM_MODULE_CHECK_DONE});
  const UpdateOffer offer = client_.TakeOffer();
  ASSERT_EQ(offer.Modules.Count(), 1u);
  EXPECT_STREQ(offer.Modules.At(0).Name, "one");
  // Handed over once: nothing is left behind to change.
  EXPECT_EQ(client_.TakeOffer().Modules.Count(), 0u);
  // The connection stays: a late reply is no fault of the install.
  EXPECT_TRUE(client_.IsConnected());
}

// Once the list is complete the window reads the download host, port and version: an update-check
// reply that comes late (or again) changes none of them and asks for no second module check.
TEST_F(ProcessCheckTest, LateUpdateCheckReplyChangesNothing) {
  ASSERT_NO_FATAL_FAILURE(LogInAndAnswerTheUpdateCheck());
  ASSERT_TRUE(service_.Send(Reply(kMsgPkgModuleCheckRsp, {ModuleRecordBytes("k", "one", 1, 1, 'F')})));
  ASSERT_TRUE(window_.WaitFor(UM_MODULE_CHECK_DONE));
  // One reply that would proceed elsewhere, one that would refuse; each is handled whole before
  // its line is written, and replies are handled in order.
  const std::string ignored = "ProcessCheck" + kColon + "PkgUpdateCheck_Rsp Ignored\r\n";
  ASSERT_TRUE(service_.Send(Reply(kMsgPkgUpdateCheckRsp,
                                  {UpdateCheckReplyBytes(9, 9, "127.0.0.77", 9999, true)})));
  ASSERT_TRUE(LogHas(ignored));
  ASSERT_TRUE(service_.Send(Reply(kMsgPkgUpdateCheckRsp,
                                  {UpdateCheckReplyBytes(9, 9, "127.0.0.78", 9998, false)})));
  ASSERT_TRUE(LogHas(ignored + ignored));
  const UpdateOffer context = client_.TakeOffer();
  EXPECT_EQ(context.DownloadHost, "127.0.0.5");
  EXPECT_EQ(context.DownloadPort, 100);
  EXPECT_EQ(context.LatestVersion.Part3, 1);
  const std::string log = LogText();
  const std::string module_check = "QryCheckModule";
  EXPECT_EQ(log.find(module_check), log.rfind(module_check));
  EXPECT_EQ(window_.Kinds(), std::vector<unsigned>{UM_MODULE_CHECK_DONE});
  EXPECT_TRUE(client_.IsConnected());
}

// A module-check reply whose chain never ends stops at the bound: the list never passes 65535
// records, and the connection is closed so that the window hears of it.
TEST_F(ProcessCheckTest, EndlessModuleChainStopsAtTheBound) {
  ASSERT_NO_FATAL_FAILURE(LogInAndAnswerTheUpdateCheck());
  const std::vector<std::string> thousand(1000, ModuleRecordBytes("k", "m", 1, 1, 'F'));
  for (int i = 0; i < 65; ++i) ASSERT_TRUE(service_.Send(Reply(kMsgPkgModuleCheckRsp, thousand, '1')));
  // Exactly the bound is still a list.
  ASSERT_TRUE(service_.Send(Reply(kMsgPkgModuleCheckRsp,
                                  std::vector<std::string>(thousand.begin(), thousand.begin() + 535),
                                  '1')));
  ASSERT_TRUE(service_.Send(Reply(kMsgPkgModuleCheckRsp, {thousand[0]}, '1')));
  ASSERT_TRUE(window_.WaitFor(UM_CHECK_DISCONNECT));
  EXPECT_TRUE(service_.peer().WaitClosedByClient());
  EXPECT_EQ(client_.TakeOffer().Modules.Count(), kMaxModuleListRecords);
  // The package is refused before the link goes, so the window shows why.
  EXPECT_EQ(window_.Kinds(), (std::vector<unsigned>{UM_PACKAGE_REFUSED, UM_CHECK_DISCONNECT}));
  EXPECT_TRUE(LogHas("ProcessCheck" + kColon + "PkgModuleCheck_Rsp Too Many Modules\r\n"));
}

// Before the list is complete, a reply whose records do not fit ends the check: the connection
// closes and the window hears UM_CHECK_DISCONNECT instead of waiting for a list that never comes.
TEST_F(ProcessCheckTest, UnusableRepliesBeforeTheListCloseTheConnection) {
  const std::string good_update = UpdateCheckReplyBytes(8, 8, "1.2.3.4", 5, true);
  const std::string good_module = ModuleRecordBytes("k", "m", 1, 1, 'F');
  std::string short_update = Reply(kMsgPkgUpdateCheckRsp, {good_update, good_update});
  short_update.resize(short_update.size() - 1);
  std::string wide_module = Reply(kMsgPkgModuleCheckRsp, {good_module, good_module});
  wide_module.resize(wide_module.size() - 79);
  struct Case {
    const char* what;
    bool after_update;  // sent once the update check has been answered
    std::string reply;
    const char* line;
  };
  const Case cases[] = {
      {"update records missing", false, short_update, "PkgUpdateCheck_Rsp Refused"},
      {"update records too small", false, Reply(kMsgPkgUpdateCheckRsp, {good_update.substr(0, 74)}),
       "PkgUpdateCheck_Rsp Refused"},
      {"module records too small", true, Reply(kMsgPkgModuleCheckRsp, {good_module.substr(0, 78)}),
       "PkgModuleCheck_Rsp Refused"},
      {"module records missing", true, wide_module, "PkgModuleCheck_Rsp Refused"},
  };
  size_t round = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ++round;
    ServiceSide service;
    ProcessCheck client(&window_, "100201", VersionPair());
    ASSERT_TRUE(service.Open(&client));
    std::string request;
    ASSERT_TRUE(service.Read(&request));
    ASSERT_TRUE(service.Send(MakeMessage(kMsgLoginResponse, 0, std::string(60, 'L'), 1, 60)));
    ASSERT_TRUE(service.Read(&request));
    if (c.after_update) {
      ASSERT_TRUE(service.Send(Reply(kMsgPkgUpdateCheckRsp, {good_update})));
      ASSERT_TRUE(service.Read(&request));
      ASSERT_EQ(MessageCode(request), kMsgQryCheckModule);
    }
    ASSERT_TRUE(service.Send(c.reply));
    ASSERT_TRUE(window_.WaitFor(UM_CHECK_DISCONNECT, round));
    EXPECT_TRUE(service.peer().WaitClosedByClient());
    EXPECT_TRUE(LogHas("ProcessCheck" + kColon + c.line + "\r\n"));
    EXPECT_EQ(client.TakeOffer().Modules.Count(), 0u);
  }
  EXPECT_EQ(window_.Count(UM_MODULE_CHECK_DONE), 0u);
}

TEST_F(ProcessCheckTest, RefusalsPostTheirMessagesAndLogTheirLines) {
  // Login refused: no update check follows.
  LogIn(/*error=*/3);
  ASSERT_TRUE(window_.WaitFor(UM_LOGIN_FAIL));
  EXPECT_TRUE(service_.Quiet());
  EXPECT_FALSE(client_.logged_in());

  // Authentication link refused on a new connection: no login follows.
  ServiceSide second;
  ASSERT_TRUE(second.Open(&client_, /*authent_error=*/6));
  ASSERT_TRUE(window_.WaitFor(UM_CHECK_AUTH_FAIL));
  EXPECT_TRUE(second.Quiet());

  // The connection goes away.
  second.peer().Drop();
  ASSERT_TRUE(window_.WaitFor(UM_CHECK_DISCONNECT));

  // The update check refused: the header's error code travels with the message.
  Deliver(Reply(kMsgPkgUpdateCheckRsp, {UpdateCheckReplyBytes(3, 4, "h", 1, false)}, '0', -5));
  auto entries = window_.Entries();
  ASSERT_EQ(entries.size(), 4u);
  EXPECT_EQ(entries[0].message, UM_LOGIN_FAIL);
  EXPECT_EQ(entries[1].message, UM_CHECK_AUTH_FAIL);
  EXPECT_EQ(entries[2].message, UM_CHECK_DISCONNECT);
  EXPECT_EQ(entries[3].message, UM_UPDATE_REFUSED);
  EXPECT_EQ(entries[3].l_param, -5);
  for (const auto& e : entries) EXPECT_FALSE(e.sent);

  EXPECT_TRUE(LogHas("ProcessCheck_OnLogin" + kColon + "Connect Faile\r\n"));
  EXPECT_TRUE(LogHas("ProcessCheck" + kColon + "OnAuthentLink Faile\r\n"));
  EXPECT_TRUE(LogHas("ProcessCheck" + kColon + "OnClientDisconnect Faile\r\n"));
  EXPECT_TRUE(LogHas("ProcessCheck" + kColon + "KesPublish_L_PkgUpdateCheck_Rsp\r\n"));
}

TEST_F(ProcessCheckTest, ReplyFieldsAreCutToTheirWidths) {
  // A 60-character host keeps 50; a host field without NUL is cut at 50 as well.
  const std::string host(60, 'h');
  Deliver(Reply(kMsgPkgUpdateCheckRsp, {UpdateCheckReplyBytes(1, 2, host, 9, false)}));
  EXPECT_EQ(client_.TakeOffer().DownloadHost, std::string(50, 'h'));
  Deliver(Reply(kMsgPkgUpdateCheckRsp, {UpdateCheckReplyBytes(1, 2, "10.1.2.3", 9, false)}));
  EXPECT_EQ(client_.TakeOffer().DownloadHost, "10.1.2.3");
}

TEST_F(ProcessCheckTest, EmptyLastModuleReplyCompletesWithTheListUnchanged) {
  Deliver(Reply(kMsgPkgModuleCheckRsp, {ModuleRecordBytes("k", "kept", 1, 1, 'F')}, '1'));
  Deliver(Reply(kMsgPkgModuleCheckRsp, {}, '0'));
  EXPECT_EQ(window_.Kinds(), std::vector<unsigned>{UM_MODULE_CHECK_DONE});
  EXPECT_EQ(client_.TakeOffer().Modules.Count(), 1u);
  // An update-check reply without records does nothing at all.
  Deliver(Reply(kMsgPkgUpdateCheckRsp, {}));
  EXPECT_EQ(window_.Entries().size(), 1u);
}

// Without a connection to close (or after the list is complete), such replies are used in no
// part.
TEST_F(ProcessCheckTest, RepliesOutOfBoundsAreIgnoredWhole) {
  const std::string good_update = UpdateCheckReplyBytes(8, 8, "1.2.3.4", 5, false);
  const std::string good_module = ModuleRecordBytes("k", "m", 1, 1, 'F');
  // Each to a client of its own: the first refusal drops whatever follows.
  auto deliver = [this](const std::string& message) {
    ProcessCheck fresh(&window_, "100201", VersionPair());
    fresh.OnMessage(reinterpret_cast<const uint8_t*>(message.data()),
                    static_cast<uint32_t>(message.size()));
    const UpdateOffer offer = fresh.TakeOffer();
    EXPECT_EQ(offer.Modules.Count(), 0u);
    EXPECT_EQ(offer.LatestVersion.Part3, 0);
    EXPECT_EQ(offer.DownloadHost, "");
  };

  // Two records announced, one present.
  std::string short_update = Reply(kMsgPkgUpdateCheckRsp, {good_update, good_update});
  short_update.resize(short_update.size() - 1);
  deliver(short_update);
  // Records too small for the bytes read.
  deliver(Reply(kMsgPkgUpdateCheckRsp, {good_update.substr(0, 74)}));
  deliver(Reply(kMsgPkgModuleCheckRsp, {good_module.substr(0, 78)}));
  // A count and size whose product passes 32 bits.
  deliver(MakeMessage(kMsgPkgModuleCheckRsp, 0, good_module, 0xFFFF, 0x10000001));
  std::string wide_module = Reply(kMsgPkgModuleCheckRsp, {good_module, good_module});
  wide_module.resize(wide_module.size() - 79);
  deliver(wide_module);
  // Too short for a header at all.
  deliver(std::string(73, '\0'));

  EXPECT_TRUE(window_.Entries().empty());
}

}  // namespace
