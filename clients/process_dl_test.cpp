// The download client against a loopback service: the requests byte for byte, module files
// assembled from chunks, the base archive stage, a lost connection, and every unsafe or
// out-of-bounds chunk refused with nothing written outside the staging folder.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <iterator>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "base/coding.h"
#include "base/file_system.h"
#include "wire/records.h"
#include "clients/process_dl.h"
#include "install/system.h"
#include "clients/testing/client_harness.h"
#include "core/window_messages.h"
#include "wire/message.h"
#include "base/sha256.h"
#include "install/staged_hashes.h"

namespace {

const std::string kColon = "\xA3\xBA";

std::string Pattern(size_t length, char seed) {
  std::string s(length, '\0');
  for (size_t i = 0; i < length; ++i) s[i] = static_cast<char>(seed + i * 7);
  return s;
}

ModuleRecord Module(const std::string& key, const std::string& name, int32_t num1, int32_t num2,
                    char kind) {
  return DecodeModuleRecord(
      reinterpret_cast<const uint8_t*>(ModuleRecordBytes(key, name, num1, num2, kind).data()));
}

class ProcessDLTest : public ClientTest {
 protected:
  void AddModule(const std::string& key, const std::string& name, int32_t num1, int32_t num2,
                 char kind) {
    modules_.Append(Module(key, name, num1, num2, kind));
  }
  ProcessDL* NewClient(ModuleList* modules = nullptr) {
    clients_.push_back(std::make_unique<ProcessDL>(&window_, staging_,
                                                   modules != nullptr ? modules : &modules_,
                                                   &staged_));
    return clients_.back().get();
  }
  // Connects with the base archive not needed and waits for the end of the base stage.
  void Connect() {
    staged_.base_wanted = false;
    ASSERT_TRUE(service_.Open(&client_));
    ASSERT_TRUE(window_.WaitFor(UM_BASE_DONE));
  }

  // Requests the modules and reads every request message.
  std::vector<std::string> Request(size_t messages = 1) {
    client_.DownloadModule();
    std::vector<std::string> requests(messages);
    for (std::string& r : requests) EXPECT_TRUE(service_.Read(&r));
    return requests;
  }

  void Deliver(const std::string& message) {
    client_.OnMessage(reinterpret_cast<const uint8_t*>(message.data()),
                      static_cast<uint32_t>(message.size()));
  }

  // Waits until the client has handled everything sent so far: a marker chunk that creates a
  // file follows it on the connection.
  // A marker of another name each time: one that exists already proves nothing.
  void Settle(const std::string& marker = "settled") {
    ASSERT_TRUE(service_.Send(Reply(kMsgFileDownloadRsp,
                                    {FileChunkBytes("-", "", marker, "", false)})));
    for (int i = 0; i < 500 && !PathExists(Staging(marker).c_str()); ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ASSERT_TRUE(PathExists(Staging(marker).c_str()));
  }

  ServiceSide service_;
  ProcessDL client_{&window_, staging_, &modules_, &staged_};
  std::vector<std::unique_ptr<ProcessDL>> clients_;
};

TEST_F(ProcessDLTest, ModuleRequestLeavesOutKindD) {
  AddModule("pk-1", "quillbank ix.exe", 3, -4, 'F');
  AddModule("pk-2", "depend.dll", 5, 6, 'D');
  Connect();
  EXPECT_EQ(window_.Entries()[0].l_param, 0);
  // The receive thread logs the link outcome on its own time; once that line is in, the request's
  // lines below come from this thread alone and stay together.
  EXPECT_TRUE(LogHas("ProcessCheck" + kColon + "OnAuthentLink Faile\r\n"));
  std::vector<std::string> requests = Request();
  const std::string& request = requests[0];
  ASSERT_EQ(request.size(), 148u);
  MessageHeader header;
  ASSERT_TRUE(DecodeMessageHeader(reinterpret_cast<const uint8_t*>(request.data()),
                                  request.size(), &header));
  EXPECT_EQ(header.Code, kMsgDownloadModule);
  EXPECT_EQ(header.RecordCount, 1);
  EXPECT_EQ(header.RecordSize, 74u);
  const std::string record = std::string(4, '\0') + "pk-1" + std::string(7, '\0') +
                             "quillbank ix.exe" + std::string(35, '\0') +
                             std::string("\x03\0\0\0\xFC\xFF\xFF\xFF", 8);
  EXPECT_EQ(request.substr(74), record);
  EXPECT_EQ(client_.PendingCount(), 1);

  const std::string log = LogText();
  EXPECT_TRUE(LogHas("DownloadModule Need Request Module" + kColon + "DownloadModule\r\n"
                     "F--3_-4----quillbank ix.exe\r\n"
                     "ProcessDL" + kColon + "DownloadModule\r\n"));
  EXPECT_EQ(log.find("--5_6--"), std::string::npos);
}

TEST_F(ProcessDLTest, NothingToFetchEndsOnTheNextChunkMessage) {
  AddModule("k", "a", 1, 1, 'D');
  Connect();
  // Before the request, an empty chunk message ends nothing.
  ASSERT_TRUE(service_.Send(Reply(kMsgFileDownloadRsp, {})));
  Settle();
  std::vector<std::string> requests = Request();
  EXPECT_EQ(requests[0].size(), 74u);
  EXPECT_EQ(requests[0][9], 0);
  EXPECT_EQ(client_.PendingCount(), 0);
  EXPECT_EQ(window_.Count(UM_DOWNLOAD_DONE), 0u);
  ASSERT_TRUE(service_.Send(Reply(kMsgFileDownloadRsp, {})));
  ASSERT_TRUE(window_.WaitFor(UM_DOWNLOAD_DONE));
  ASSERT_TRUE(service_.Send(Reply(kMsgFileDownloadRsp, {})));
  Settle("settled again");
  EXPECT_EQ(window_.Count(UM_DOWNLOAD_DONE), 1u);
  EXPECT_TRUE(LogHas("ProcessCheck" + kColon + "KesPublish_L_FileDownload_Rsp\r\n"));
}

TEST_F(ProcessDLTest, FileInThreeChunksIsOneFile) {
  AddModule("k", "core", 1, 1, 'F');
  Connect();
  Request();
  EXPECT_FALSE(client_.DownloadComplete());
  const std::string a = Pattern(1001, 'a'), b = Pattern(1001, 'b'), c = Pattern(17, 'c');
  ASSERT_TRUE(service_.Send(Reply(kMsgFileDownloadRsp, {FileChunkBytes("core", "bin\\x\\", "core.dat", a, false)})));
  ASSERT_TRUE(service_.Send(Reply(kMsgFileDownloadRsp, {FileChunkBytes("core", "bin\\x\\", "core.dat", b, false)})));
  ASSERT_TRUE(service_.Send(Reply(kMsgFileDownloadRsp, {FileChunkBytes("core", "bin\\x\\", "core.dat", c, true)})));
  ASSERT_TRUE(window_.WaitFor(UM_DOWNLOAD_DONE));
  EXPECT_TRUE(client_.DownloadComplete());
  EXPECT_EQ(ReadFileBytes(Staging("bin\\x\\core.dat")), a + b + c);
  EXPECT_EQ(window_.Kinds(), (std::vector<unsigned>{UM_BASE_DONE, UM_DL_RECEIVING, UM_FILE_DONE,
                                                    UM_DOWNLOAD_DONE}));
  EXPECT_EQ(client_.PendingCount(), 0);
  const std::string log = LogText();
  const std::string path_line = Staging("bin\\x\\core.dat") + "\r\n";
  ASSERT_NE(log.find(path_line), std::string::npos);
  EXPECT_EQ(log.find(path_line, log.find(path_line) + 1), std::string::npos);
}

// What something else did to the staging folder after a file completed shows before the install
// steps: a file removed or cut is named; a file being written again is not yet counted.
TEST_F(ProcessDLTest, CompletedFilesAreComparedWithWhatWasWritten) {
  AddModule("k", "one", 1, 1, 'F');
  AddModule("k", "two", 1, 1, 'F');
  client_.DownloadModule();
  Deliver(Reply(kMsgFileDownloadRsp, {FileChunkBytes("one", "bin\\", "one.dll", Pattern(1001, 'a'), false),
                                      FileChunkBytes("one", "bin\\", "one.dll", "tail", true),
                                      FileChunkBytes("two", "", "two.dat", "", true)}));
  std::string bad, reason;
  EXPECT_TRUE(staged_.FinishedFilesIntact(&bad, &reason));

  ASSERT_TRUE(WriteFileBytes(Staging("bin\\one.dll"), "cut"));
  EXPECT_FALSE(staged_.FinishedFilesIntact(&bad, &reason));
  EXPECT_EQ(bad, "bin\\one.dll");
  EXPECT_EQ(reason, "size 3 where 1005 bytes were written");

  ASSERT_TRUE(DeletePath(Staging("bin\\one.dll").c_str()));
  EXPECT_FALSE(staged_.FinishedFilesIntact(&bad, &reason));
  EXPECT_EQ(reason, "missing from the staging folder");

  // Written again from its first chunk: it counts once it completes, with its new size.
  Deliver(Reply(kMsgFileDownloadRsp, {FileChunkBytes("one", "bin\\", "one.dll", "new", false)}));
  EXPECT_TRUE(staged_.FinishedFilesIntact(&bad, &reason));
  Deliver(Reply(kMsgFileDownloadRsp, {FileChunkBytes("one", "bin\\", "one.dll", "er", true)}));
  EXPECT_TRUE(staged_.FinishedFilesIntact(&bad, &reason));
  EXPECT_EQ(ReadFileBytes(Staging("bin\\one.dll")), "newer");
}

// An update that checks the manifest first: the manifest alone, then the modules the earlier
// install cannot give, and reused modules counted as finished files.
TEST_F(ProcessDLTest, ManifestFirstThenOnlyWhatIsNotReused) {
  AddModule("k", "core", 1, 1, 'F');
  AddModule("k", "quotes", 1, 1, 'F');
  AddModule("k", "package.manifest", 2, 1, 'F');
  ASSERT_TRUE(client_.DownloadManifest());  // no connection: nothing is sent
  EXPECT_EQ(client_.LastRequestNames(), std::vector<std::string>{"package.manifest"});
  EXPECT_EQ(client_.PendingCount(), 3);
  Deliver(Reply(kMsgFileDownloadRsp,
                {FileChunkBytes("package.manifest", "", "package.manifest", "signed", true)}));
  EXPECT_EQ(window_.Kinds(), (std::vector<unsigned>{UM_DL_RECEIVING, UM_FILE_DONE, UM_MANIFEST_DONE}));
  // Asked again (a new connection before the reuse was decided): nothing left of it to ask for.
  EXPECT_FALSE(client_.DownloadManifest());

  ASSERT_TRUE(WriteFileBytes(Staging("core.dll"), "12345"));
  // Reused modules are the caller's to count (it counts them at once): nothing is posted.
  staged_.AddReused({ReusedFile{"core.dll", 5, {}}});
  EXPECT_EQ(client_.MarkReused({"core", "not-listed"}, 2, 5), 1u);
  EXPECT_EQ(client_.PendingCount(), 1);
  EXPECT_EQ(window_.Count(UM_FILE_DONE), 1u);
  EXPECT_TRUE(LogHas("ProcessDL" + kColon + "Reuse 1 of 2 modules, 5 bytes\r\n"));
  client_.DownloadModule();
  EXPECT_EQ(client_.LastRequestNames(), std::vector<std::string>{"quotes"});
  // The first real request, not a request again after a loss.
  EXPECT_EQ(LogText().find("DownloadModule Again"), std::string::npos);
  Deliver(Reply(kMsgFileDownloadRsp, {FileChunkBytes("quotes", "", "q.day", "q", true)}));
  EXPECT_EQ(window_.Count(UM_DOWNLOAD_DONE), 1u);
  // The reused file counts among the completed ones.
  ASSERT_TRUE(WriteFileBytes(Staging("core.dll"), "1234"));
  std::string bad, reason;
  EXPECT_FALSE(staged_.FinishedFilesIntact(&bad, &reason));
  EXPECT_EQ(bad, "core.dll");

  ModuleList without_manifest;
  without_manifest.Append(Module("k", "core", 1, 1, 'F'));
  EXPECT_FALSE(NewClient(&without_manifest)->DownloadManifest());
}

// The largest package an update can take whole from the earlier install: 65,535 modules, every
// one reused. The reuse posts nothing (Windows drops posts past 10,000 queued, and the end of
// the download with them); the (empty) request's answer ends the download.
TEST_F(ProcessDLTest, AnUpdateThatReusesEveryModuleOfTheLargestPackageCompletes) {
  constexpr size_t kModules = 65535;
  std::vector<std::string> names;
  for (size_t i = 0; i < kModules; ++i) {
    names.push_back("m" + std::to_string(i));
    AddModule("k", names.back().c_str(), static_cast<int32_t>(i + 1), 1, 'F');
  }
  ASSERT_EQ(client_.DownloadManifest(), false);  // no manifest module in this list
  EXPECT_EQ(client_.MarkReused(names, kModules, 0), kModules);
  EXPECT_EQ(client_.PendingCount(), 0);
  client_.DownloadModule();  // no connection: nothing is sent
  EXPECT_TRUE(client_.LastRequestNames().empty());
  Deliver(Reply(kMsgFileDownloadRsp, {}));
  EXPECT_TRUE(client_.DownloadComplete());
  EXPECT_EQ(window_.Kinds(), std::vector<unsigned>{UM_DOWNLOAD_DONE});
}

TEST_F(ProcessDLTest, ChunksInOneMessageAndUnmatchedLastChunks) {
  AddModule("k", "one", 1, 1, 'F');
  AddModule("k", "two", 1, 1, 'F');
  client_.DownloadModule();  // no connection: nothing is sent, the pending names are set
  ASSERT_EQ(client_.PendingCount(), 2);

  // Two records for one path in one message: opened once, both blocks appended.
  Deliver(Reply(kMsgFileDownloadRsp, {FileChunkBytes("one", "", "one.bin", "first-", false),
                                      FileChunkBytes("one", "", "one.bin", "second", true)}));
  EXPECT_EQ(client_.PendingCount(), 1);

  // A last chunk of a module nobody asked for, and one of a module already complete: the data
  // is written, nothing is counted. A chunk for another path closes the file before.
  Deliver(Reply(kMsgFileDownloadRsp, {FileChunkBytes("stranger", "", "s.bin", "data", true),
                                      FileChunkBytes("one", "", "again.bin", "more", true)}));
  EXPECT_EQ(ReadFileBytes(Staging("one.bin")), "first-second");
  EXPECT_EQ(ReadFileBytes(Staging("s.bin")), "data");
  EXPECT_EQ(client_.PendingCount(), 1);
  EXPECT_EQ(window_.Count(UM_FILE_DONE), 1u);
  EXPECT_EQ(window_.Count(UM_DOWNLOAD_DONE), 0u);

  Deliver(Reply(kMsgFileDownloadRsp, {FileChunkBytes("two", "d\\", "two.bin", "2", true)}));
  EXPECT_EQ(window_.Count(UM_FILE_DONE), 2u);
  EXPECT_EQ(window_.Count(UM_DOWNLOAD_DONE), 1u);
  EXPECT_EQ(ReadFileBytes(Staging("again.bin")), "more");
  EXPECT_EQ(ReadFileBytes(Staging("d\\two.bin")), "2");
}

TEST_F(ProcessDLTest, BaseArchiveIsFetchedUnpackedAndDeleted) {
  staged_.base_wanted = true;
  ASSERT_TRUE(service_.Open(&client_, /*authent_error=*/0));
  std::string request;
  ASSERT_TRUE(service_.Read(&request));
  ASSERT_EQ(request.size(), 95u);
  EXPECT_EQ(MessageCode(request), kMsgDownloadBaseZip);
  EXPECT_EQ(request.substr(9, 6), std::string("\x01\0\x15\0\0\0", 6));
  EXPECT_EQ(request.substr(74), "SystemDepend.zip" + std::string(5, '\0'));

  const std::string content = Pattern(3500, 'z');
  const std::string zip = StoredZip({{"bin/lib.dll", content}, {"readme.txt", "hello"}});
  std::vector<std::string> chunks;
  for (size_t at = 0; at < zip.size(); at += 1001) {
    chunks.push_back(BaseChunkBytes("SystemDepend.zip", zip.substr(at, 1001),
                                     at + 1001 >= zip.size()));
  }
  // The first two chunks in one message, the rest one by one.
  ASSERT_GE(chunks.size(), 4u);
  ASSERT_TRUE(service_.Send(Reply(kMsgSystemDependFileRsp, {chunks[0], chunks[1]})));
  for (size_t i = 2; i < chunks.size(); ++i) {
    ASSERT_TRUE(service_.Send(Reply(kMsgSystemDependFileRsp, {chunks[i]})));
  }
  ASSERT_TRUE(window_.WaitFor(UM_BASE_DONE));
  EXPECT_EQ(window_.Entries()[0].l_param, 0);
  EXPECT_EQ(ReadFileBytes(depend_ + "\\bin\\lib.dll"), content);
  EXPECT_EQ(ReadFileBytes(depend_ + "\\readme.txt"), "hello");
  EXPECT_FALSE(PathExists(Staging("SystemDepend.zip").c_str()));
  EXPECT_TRUE(LogHas("ProcessDL" + kColon + "DownloadBaseZip\r\n"));
  EXPECT_TRUE(LogHas("ProcessCheck" + kColon + "KesPublish_L_SystemDependFile_Rsp\r\n"));
}

// A program that checks packages: every completed file is hashed as it completes, and the base
// archive stays packed in the staging folder until the package has passed.
TEST_F(ProcessDLTest, CheckedPackagesHashEveryFileAndKeepTheBaseArchivePacked) {
  StagedHashes hashes;
  TestStagedPackage staged(staging_, depend_, &hashes);
  staged.base_wanted = true;
  ProcessDL client(&window_, staging_, &modules_, &staged);
  AddModule("k", "core", 1, 1, 'F');
  ASSERT_TRUE(service_.Open(&client, /*authent_error=*/0));
  std::string request;
  ASSERT_TRUE(service_.Read(&request));
  const std::string zip = StoredZip({{"readme.txt", "hello"}});
  ASSERT_TRUE(service_.Send(Reply(kMsgSystemDependFileRsp,
                                  {BaseChunkBytes("SystemDepend.zip", zip, true)})));
  ASSERT_TRUE(window_.WaitFor(UM_BASE_DONE));
  EXPECT_EQ(ReadFileBytes(Staging("SystemDepend.zip")), zip);
  EXPECT_EQ(staged.KeptBaseArchive(), Staging("SystemDepend.zip"));
  EXPECT_FALSE(PathExists((depend_ + "\\readme.txt").c_str()));

  client.DownloadModule();
  ASSERT_TRUE(service_.Read(&request));
  // A file complete once, then written again: the first hash goes when the file is reopened,
  // and only the complete bytes of the second writing count.
  uint64_t size = 0;
  Sha256Digest digest;
  ASSERT_TRUE(service_.Send(Reply(kMsgFileDownloadRsp,
                                  {FileChunkBytes("stranger", "", "core.dat", "first", true)})));
  Settle();
  ASSERT_TRUE(hashes.Lookup(Staging("core.dat"), &size, &digest));
  ASSERT_TRUE(service_.Send(Reply(kMsgFileDownloadRsp,
                                  {FileChunkBytes("core", "", "core.dat", "partial", false)})));
  Settle("settled again");
  EXPECT_FALSE(hashes.Lookup(Staging("core.dat"), &size, &digest));
  ASSERT_TRUE(service_.Send(Reply(kMsgFileDownloadRsp,
                                  {FileChunkBytes("other", "", "x.dat", "x", false),
                                   FileChunkBytes("core", "", "core.dat", "whole", true)})));
  ASSERT_TRUE(window_.WaitFor(UM_DOWNLOAD_DONE));
  ASSERT_TRUE(hashes.Lookup(Staging("core.dat"), &size, &digest));
  EXPECT_EQ(size, 5u);
  EXPECT_EQ(digest, Sha256Of(reinterpret_cast<const uint8_t*>("whole"), 5));
  ASSERT_TRUE(hashes.Lookup(Staging("SystemDepend.zip"), &size, &digest));
  EXPECT_EQ(size, zip.size());
  EXPECT_FALSE(hashes.Lookup(Staging("x.dat"), &size, &digest));  // never completed

  staged.UnpackKeptBaseArchive();
  EXPECT_EQ(ReadFileBytes(depend_ + "\\readme.txt"), "hello");
  EXPECT_FALSE(PathExists(Staging("SystemDepend.zip").c_str()));
  EXPECT_EQ(staged.KeptBaseArchive(), "");
}

TEST_F(ProcessDLTest, BaseArchiveThatIsNoZipStillEndsTheStage) {
  Deliver(Reply(kMsgSystemDependFileRsp, {BaseChunkBytes("SystemDepend.zip", "not a zip", true)}));
  EXPECT_EQ(window_.Kinds(), (std::vector<unsigned>{UM_DL_RECEIVING, UM_BASE_DONE}));
  EXPECT_EQ(window_.Entries()[1].l_param, 0);
  EXPECT_FALSE(PathExists(Staging("SystemDepend.zip").c_str()));
  EXPECT_FALSE(PathExists(depend_.c_str()));
  // A message without records is no chunk at all.
  Deliver(Reply(kMsgSystemDependFileRsp, {}));
  EXPECT_EQ(window_.Entries().size(), 2u);
}

TEST_F(ProcessDLTest, LostConnectionClosesBothFilesAndTellsTheWindowAtOnce) {
  AddModule("k", "m", 1, 1, 'F');
  Connect();
  Request();
  // Both files open with their data still buffered; the connection carries them in order, so
  // they are handled before the loss is seen.
  ASSERT_TRUE(service_.Send(Reply(kMsgSystemDependFileRsp, {BaseChunkBytes("base.zip", "base-part", false)})));
  ASSERT_TRUE(service_.Send(Reply(kMsgFileDownloadRsp, {FileChunkBytes("m", "", "m.bin", "module-part", false)})));
  service_.peer().Drop();
  ASSERT_TRUE(window_.WaitFor(UM_DL_DISCONNECT));
  EXPECT_TRUE(window_.Entries().back().sent);
  // Closed streams have reached the disk.
  EXPECT_EQ(ReadFileBytes(Staging("m.bin")), "module-part");
  EXPECT_EQ(ReadFileBytes(Staging("base.zip")), "base-part");
  EXPECT_TRUE(LogHas("ProcessDL" + kColon + "OnClientDisconnect Faile\r\n"));
}

// A file of a one-file module cut short by a lost connection, from a service that answers
// ranges: the next connection asks for its rest by range, not for the module whole, and the file
// completes from the byte where it stopped.
TEST_F(ProcessDLTest, AFileCutShortByALostConnectionIsCompletedByARange) {
  AddModule("k", "m", 1, 1, 'F');
  Connect();
  client_.LimitToManifest({{Staging("m.bin"), 20}});
  client_.ResumeByRanges({"m"});
  Request();
  ASSERT_TRUE(service_.Send(
      Reply(kMsgFileDownloadRsp, {FileChunkBytes("m", "", "m.bin", "0123456789", false)})));
  service_.peer().Drop();
  ASSERT_TRUE(window_.WaitFor(UM_DL_DISCONNECT));
  EXPECT_TRUE(LogHas("ProcessDL" + kColon + "Resume m from byte 10 by range\r\n"));

  ASSERT_TRUE(service_.Open(&client_));
  ASSERT_TRUE(window_.WaitFor(UM_BASE_DONE, 2));  // the second connection is up
  const std::vector<std::string> requests = Request();
  ASSERT_EQ(requests.size(), 1u);
  MessageHeader header;
  ASSERT_TRUE(DecodeMessageHeader(reinterpret_cast<const uint8_t*>(requests[0].data()),
                                  requests[0].size(), &header));
  ASSERT_EQ(header.Code, kMsgDownloadRanges);
  ASSERT_EQ(header.RecordCount, 1);
  const ModuleRangeRecord asked = DecodeModuleRangeRecord(
      reinterpret_cast<const uint8_t*>(requests[0].data()) + kMessageHeaderSize);
  EXPECT_EQ(std::string(asked.Module.Name), "m");
  EXPECT_EQ(asked.Offset, 10u);
  EXPECT_EQ(asked.Length, 10u);
  EXPECT_TRUE(service_.Quiet());  // nothing asked whole

  FileChunkRecord rest;
  std::snprintf(rest.ModuleName, sizeof rest.ModuleName, "m");
  std::snprintf(rest.FileName, sizeof rest.FileName, "m.bin");
  rest.Data = reinterpret_cast<const uint8_t*>("abcdefghij");
  rest.DataLength = 10;
  rest.Offset = 10;
  rest.Total = 20;
  rest.Last = true;
  std::string record(kFileChunkRecordSize, '\0');
  EncodeFileChunkRecord(rest, reinterpret_cast<uint8_t*>(&record[0]));
  ASSERT_TRUE(service_.Send(Reply(kMsgFileDownloadRsp, {record})));
  ASSERT_TRUE(window_.WaitFor(UM_FILE_DONE));
  EXPECT_EQ(ReadFileBytes(Staging("m.bin")), "0123456789abcdefghij");
}

// A download the service refuses with an error code (the version started with is gone) fails
// at once with that code, before the close that follows, and says why in the log; chunks that
// still arrive write nothing. A reply with chunks and no code is the ordinary case.
TEST_F(ProcessDLTest, ARefusedDownloadFailsWithTheServicesCodeAndWritesNothingAfter) {
  AddModule("k", "m", 1, 1, 'F');
  Connect();
  Request();
  ASSERT_TRUE(service_.Send(Reply(kMsgFileDownloadRsp, {}, '0', kErrorModuleNotServed)));
  ASSERT_TRUE(window_.WaitFor(UM_DL_DISCONNECT));
  const std::vector<unsigned> kinds = window_.Kinds();
  ASSERT_GE(kinds.size(), 2u);
  EXPECT_EQ(kinds[kinds.size() - 2], UM_DOWNLOAD_REFUSED);
  const auto refusal = window_.Entries()[kinds.size() - 2];
  EXPECT_TRUE(refusal.sent);
  EXPECT_EQ(refusal.l_param, kErrorModuleNotServed);
  EXPECT_TRUE(LogHas("ProcessDL" + kColon + "Download Refused 4: the version this install " +
                     "started with is no longer served\r\n"));
  Deliver(Reply(kMsgFileDownloadRsp, {FileChunkBytes("m", "", "m.bin", "late", true)}));
  EXPECT_FALSE(PathExists(Staging("m.bin").c_str()));
  // Another code is passed on as it came, without the explanation.
  ProcessDL* other = NewClient();
  const std::string refused = Reply(kMsgFileDownloadRsp, {}, '0', 9);
  other->OnMessage(reinterpret_cast<const uint8_t*>(refused.data()),
                   static_cast<uint32_t>(refused.size()));
  EXPECT_EQ(window_.Entries().back().l_param, 9);
  EXPECT_TRUE(LogHas("ProcessDL" + kColon + "Download Refused 9\r\n"));
}

TEST_F(ProcessDLTest, LoginRefusal) {
  client_.OnLogin(4, nullptr, 0);
  EXPECT_EQ(window_.Kinds(), std::vector<unsigned>{UM_LOGIN_FAIL});
  EXPECT_FALSE(client_.logged_in());
  const uint8_t reply[3] = {1, 2, 3};
  client_.OnLogin(0, reply, sizeof reply);
  EXPECT_TRUE(client_.logged_in());
  EXPECT_EQ(window_.Entries().size(), 1u);
  EXPECT_TRUE(LogHas("ProcessDL" + kColon + "OnLogin Faile\r\n"));
}

// With the checked manifest known, what it lists is all that is written, and no more of a file
// than its listed size: a server that sends more (it could fill the disk) fails the package
// check at that chunk, and nothing it sends afterwards is written.
TEST_F(ProcessDLTest, WithAManifestNothingPastAListedSizeNorOutsideTheListIsWritten) {
  const auto deliver = [](ProcessDL& client, const std::string& file, const std::string& data,
                          bool last) {
    const std::string message =
        Reply(kMsgFileDownloadRsp, {FileChunkBytes("quotes", "Data\\", file, data, last)});
    client.OnMessage(reinterpret_cast<const uint8_t*>(message.data()),
                     static_cast<uint32_t>(message.size()));
  };
  AddModule("k", "quotes", 1, 1, 'F');
  for (const char* fault : {"exact size", "past the size", "unlisted path"}) {
    SCOPED_TRACE(fault);
    const std::string kind = fault;
    const size_t refusals = window_.Count(UM_PACKAGE_REFUSED);
    DeletePath(Staging("Data").c_str());
    {
      ProcessDL client(&window_, staging_, &modules_, &staged_);
      client.DownloadModule();  // no connection: nothing is sent
      client.LimitToManifest({{Staging("Data\\q.day"), 6}});
      if (kind == "unlisted path") {
        deliver(client, "other.day", "abc", true);
      } else {
        deliver(client, "q.day", "abc", false);
        deliver(client, "q.day", kind == "exact size" ? "def" : "defg", true);
      }
      EXPECT_EQ(client.DownloadComplete(), kind == "exact size");
      // After a refusal nothing more is written.
      if (kind != "exact size") deliver(client, "q.day", "later", true);
    }
    EXPECT_EQ(window_.Count(UM_PACKAGE_REFUSED), refusals + (kind == "exact size" ? 0 : 1));
    EXPECT_EQ(ReadFileBytes(Staging("Data\\q.day")),
              kind == "exact size" ? "abcdef" : kind == "past the size" ? "abc" : "");
    EXPECT_FALSE(PathExists(Staging("Data\\other.day").c_str()));
  }
  EXPECT_TRUE(LogHas("ProcessDL" + kColon + "Refused " + Staging("Data\\q.day") +
                     ": larger than the manifest lists\r\n"));
  EXPECT_TRUE(LogHas("ProcessDL" + kColon + "Refused " + Staging("Data\\other.day") +
                     ": not in the manifest\r\n"));
}

TEST_F(ProcessDLTest, UnsafeChunksFailTheDownloadAndWriteNothingOutside) {
  ASSERT_TRUE(WriteFileBytes(Staging("blocker"), "a file, not a folder"));
  struct Case {
    const char* folder;
    const char* file;
  };
  // A few of each kind (the full set of forms, and the length limit, are in the path tests).
  const Case cases[] = {
      {"..\\", "escape.txt"}, {"a/.. /../", "escape.txt"}, {"\\", "escape.txt"},
      {"C:\\", "escape.txt"}, {"", "CON"},                 {"sub\\", ""},
      // Last: a file that cannot be created (its folder is a file); the safe chunk ahead of it
      // in the message has been written by then.
      {"blocker\\", "x.bin"},
  };
  const std::string after =
      Reply(kMsgFileDownloadRsp, {FileChunkBytes("m", "", "after.bin", "x", true)});
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.folder) + "|" + c.file);
    ServiceSide service;
    ProcessDL client(&window_, staging_, &modules_, &staged_);
    const size_t disconnects = window_.Count(UM_DL_DISCONNECT);
    const size_t failures = window_.Count(UM_WRITE_FAIL);
    const size_t refusals = window_.Count(UM_PACKAGE_REFUSED);
    ASSERT_TRUE(service.Open(&client));
    // A safe chunk ahead of an unsafe one in the same message is not written either.
    ASSERT_TRUE(service.Send(Reply(kMsgFileDownloadRsp,
                                   {FileChunkBytes("m", "", "ahead.bin", "x", false),
                                    FileChunkBytes("m", c.folder, c.file, "evil", true)})));
    ASSERT_TRUE(window_.WaitFor(UM_DL_DISCONNECT, disconnects + 1));
    // The reason was sent before the connection went: a refused path fails the package check,
    // a file that cannot be made fails the install.
    const bool blocked = std::string(c.folder) == "blocker\\";
    EXPECT_EQ(window_.Count(UM_WRITE_FAIL), failures + (blocked ? 1 : 0));
    EXPECT_EQ(window_.Count(UM_PACKAGE_REFUSED), refusals + (blocked ? 0 : 1));
    // Nothing reaches the disk afterwards.
    client.OnMessage(reinterpret_cast<const uint8_t*>(after.data()),
                     static_cast<uint32_t>(after.size()));
    EXPECT_FALSE(PathExists(Staging("after.bin").c_str()));
    EXPECT_EQ(PathExists(Staging("ahead.bin").c_str()), std::string(c.folder) == "blocker\\");
    EXPECT_EQ(TopLevelNames(), std::vector<std::string>{"stage"});
  }
  EXPECT_TRUE(LogHas("ProcessDL" + kColon + "Refused " + Staging("..\\escape.txt") + "\r\n"));
  EXPECT_TRUE(LogHas("ProcessDL" + kColon + "Write Faile " + Staging("blocker\\x.bin") + "\r\n"));
  EXPECT_EQ(window_.Count(UM_DL_DISCONNECT), std::size(cases));
}

TEST_F(ProcessDLTest, UnsafeBaseArchiveNameFailsTheDownload) {
  staged_.base_wanted = true;
  ASSERT_TRUE(service_.Open(&client_));
  std::string request;
  ASSERT_TRUE(service_.Read(&request));
  ASSERT_TRUE(service_.Send(Reply(kMsgSystemDependFileRsp,
                                  {BaseChunkBytes("..\\SystemDepend.zip", StoredZip({{"a", "b"}}), true)})));
  ASSERT_TRUE(window_.WaitFor(UM_DL_DISCONNECT));
  EXPECT_EQ(window_.Count(UM_BASE_DONE), 0u);
  EXPECT_EQ(TopLevelNames(), std::vector<std::string>{"stage"});
}

TEST_F(ProcessDLTest, ChunksOutOfBoundsAreIgnoredWhole) {
  AddModule("k", "m", 1, 1, 'F');
  client_.DownloadModule();
  const std::string good = FileChunkBytes("m", "", "good.bin", "data", true);
  // The same record with another data count (the data field itself is unchanged).
  auto with_count = [&](int32_t count) {
    std::string r = good;
    uint8_t* bytes = reinterpret_cast<uint8_t*>(&r[0]);
    FileChunkRecord chunk = DecodeFileChunkRecord(bytes);
    chunk.DataLength = count;
    EncodeFileChunkRecord(chunk, bytes);
    return r;
  };
  // A negative count, and one past the data field, next to a good record.
  Deliver(Reply(kMsgFileDownloadRsp, {good, with_count(-1)}));
  Deliver(Reply(kMsgFileDownloadRsp, {good, with_count(1002)}));
  // Records too small, or more announced than present.
  Deliver(Reply(kMsgFileDownloadRsp, {good.substr(0, kFileChunkRecordSize - 1)}));
  std::string cut = Reply(kMsgFileDownloadRsp, {good, good});
  cut.resize(cut.size() - 1);
  Deliver(cut);
  Deliver(Reply(kMsgSystemDependFileRsp,
                {BaseChunkBytes("SystemDepend.zip", "x", true).substr(0, kBaseChunkRecordSize - 1)}));
  std::string base_count = BaseChunkBytes("SystemDepend.zip", "x", true);
  {
    uint8_t* bytes = reinterpret_cast<uint8_t*>(&base_count[0]);
    BaseChunkRecord chunk = DecodeBaseChunkRecord(bytes);
    chunk.DataLength = INT32_MIN + 1;
    EncodeBaseChunkRecord(chunk, bytes);
  }
  Deliver(Reply(kMsgSystemDependFileRsp, {base_count}));

  EXPECT_TRUE(window_.Entries().empty());
  EXPECT_EQ(client_.PendingCount(), 1);
  EXPECT_FALSE(PathExists(Staging("good.bin").c_str()));
  EXPECT_FALSE(PathExists(Staging("SystemDepend.zip").c_str()));

  // The largest count is accepted.
  Deliver(Reply(kMsgFileDownloadRsp, {with_count(1001)}));
  EXPECT_EQ(window_.Count(UM_DOWNLOAD_DONE), 1u);
  EXPECT_EQ(ReadFileBytes(Staging("good.bin")).size(), 1001u);
}

// Names that do not compress: a request of as many records as fit a message would not fit a
// frame once compressed, and would never go out.
TEST_F(ProcessDLTest, ModuleRequestsFitAFrameWhateverTheNames) {
  for (const size_t total : {size_t{1771}, size_t{5000}}) {
    SCOPED_TRACE(total);
    ModuleList modules;
    std::mt19937 random(static_cast<uint32_t>(total));
    std::uniform_int_distribution<int> byte(1, 255);
    std::vector<std::string> expected;
    for (size_t i = 0; i < total; ++i) {
      std::string key(10, '\0'), name(50, '\0');
      for (char& c : key) c = static_cast<char>(byte(random));
      for (char& c : name) c = static_cast<char>(byte(random));
      modules.Append(Module(key, name, static_cast<int32_t>(i), -1, 'F'));
      uint8_t record[kModuleDownloadRecordSize];
      EncodeModuleDownloadRecord(ModuleDownloadRecordFor(modules.At(i)), record);
      expected.emplace_back(reinterpret_cast<const char*>(record), sizeof record);
    }
    ProcessDL client(&window_, staging_, &modules, &staged_);
    ServiceSide service;
    ASSERT_TRUE(service.Open(&client));
    ASSERT_TRUE(window_.WaitFor(UM_BASE_DONE, total == 1771 ? 1 : 2));
    // The requests outgrow the socket buffers: they are read while they are being sent.
    std::thread requester([&] { client.DownloadModule(); });

    // Every record exactly once, in list order, in requests of at most the bound.
    const size_t messages = (total + kMaxModulesPerRequest - 1) / kMaxModulesPerRequest;
    std::vector<std::string> received;
    for (size_t m = 0; m < messages; ++m) {
      std::string request;
      MessageHeader header;
      if (!service.Read(&request) ||
          !DecodeMessageHeader(reinterpret_cast<const uint8_t*>(request.data()),
                               request.size(), &header)) {
        ADD_FAILURE() << "request " << m << " never went out";
        break;
      }
      EXPECT_EQ(header.Code, kMsgDownloadModule);
      EXPECT_LE(header.RecordCount, kMaxModulesPerRequest);
      EXPECT_EQ(request.size(), 74u * (header.RecordCount + 1u));
      for (size_t i = 0; i < header.RecordCount && 74 * (i + 2) <= request.size(); ++i) {
        received.push_back(request.substr(74 + 74 * i, 74));
      }
    }
    requester.join();
    EXPECT_TRUE(service.Quiet());
    ASSERT_EQ(received.size(), total);
    EXPECT_TRUE(received == expected);
    EXPECT_EQ(client.PendingCount(), static_cast<int32_t>(total));
  }
}

TEST_F(ProcessDLTest, TheModulesOfEveryRequestArePending) {
  for (int i = 0; i < 1771; ++i) AddModule("key", "module-" + std::to_string(i), i, 0, 'F');
  Connect();
  std::vector<std::string> requests = Request(2);
  EXPECT_EQ(DecodeFixed16(reinterpret_cast<const uint8_t*>(requests[1].data()) + 9),
            1771 - kMaxModulesPerRequest);
  EXPECT_EQ(client_.PendingCount(), 1771);
  // The last module of the second request is pending like the others.
  Deliver(Reply(kMsgFileDownloadRsp, {FileChunkBytes("module-1770", "", "last", "", true)}));
  EXPECT_EQ(client_.PendingCount(), 1770);
}

}  // namespace
