// The download client on a full disk: a file-size limit makes writes fail with EFBIG (SIGXFSZ
// ignored), and a module file or base archive the disk does not take in full fails the download
// instead of counting as done.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "base/file_system.h"
#include "clients/process_dl.h"
#include "clients/testing/client_harness.h"
#include "core/window_messages.h"
#include "wire/message.h"
#include "test_support/file_size_limit_posix.h"

namespace {

const std::string kColon = "\xA3\xBA";
constexpr rlim_t kLimit = 64 * 1024;

std::string Bytes(size_t length) {
  std::string s(length, '\0');
  for (size_t i = 0; i < length; ++i) s[i] = static_cast<char>(i * 13 + i / 251);
  return s;
}

// The chunk messages of one file: records of at most 1001 bytes, up to 64 per message.
template <typename MakeRecord>
std::vector<std::string> ChunkMessages(uint16_t code, const std::string& data,
                                       MakeRecord make_record) {
  std::vector<std::string> messages;
  std::vector<std::string> records;
  size_t offset = 0;
  do {
    const size_t length = std::min<size_t>(1001, data.size() - offset);
    const bool last = offset + length == data.size();
    records.push_back(make_record(data.substr(offset, length), last));
    offset += length;
    if (records.size() == 64 || last) {
      messages.push_back(Reply(code, records));
      records.clear();
    }
  } while (offset < data.size());
  return messages;
}

class ProcessDLDiskTest : public ClientTest {
 protected:
  ServiceSide service_;
  ProcessDL client_{&window_, staging_, &modules_, &staged_};
};

TEST_F(ProcessDLDiskTest, AModuleFileTheDiskDoesNotTakeFailsTheDownload) {
  // Just past the limit (the tail may still sit in the stream's buffer at the close), and well
  // past it; a file of exactly the limit is the control that completes.
  size_t rounds = 0;
  for (const size_t size : {size_t{kLimit}, size_t{kLimit + 1}, size_t{kLimit + 100},
                            size_t{kLimit + 5000}, size_t{3 * kLimit}}) {
    SCOPED_TRACE(size);
    ++rounds;
    ModuleList modules;
    modules.Append(DecodeModuleRecord(reinterpret_cast<const uint8_t*>(
        ModuleRecordBytes("k", "m", 1, 1, 'F').data())));
    const std::string name = "m" + std::to_string(size) + ".bin";
    const size_t before = window_.Entries().size();
    ServiceSide service;
    ProcessDL client(&window_, staging_, &modules, &staged_);
    ASSERT_TRUE(service.Open(&client));
    ASSERT_TRUE(window_.WaitFor(UM_BASE_DONE, rounds));
    client.DownloadModule();
    std::string request;
    ASSERT_TRUE(service.Read(&request));
    {
      FileSizeLimit limit(kLimit);
      ASSERT_TRUE(limit.ok());
      for (const std::string& message :
           ChunkMessages(kMsgFileDownloadRsp, Bytes(size), [&](const std::string& d, bool last) {
             return FileChunkBytes("m", "sub\\", name, d, last);
           })) {
        ASSERT_TRUE(service.Send(message));
      }
      if (size == kLimit) {
        ASSERT_TRUE(window_.WaitFor(UM_DOWNLOAD_DONE));
      } else {
        ASSERT_TRUE(window_.WaitFor(UM_DL_DISCONNECT, rounds - 1));
      }
    }
    std::vector<unsigned> kinds;
    for (size_t i = before; i < window_.Entries().size(); ++i) {
      kinds.push_back(window_.Entries()[i].message);
    }
    if (size == kLimit) {
      EXPECT_EQ(kinds, (std::vector<unsigned>{UM_BASE_DONE, UM_DL_RECEIVING, UM_FILE_DONE,
                                                 UM_DOWNLOAD_DONE}));
      continue;
    }
    // The failure, then the close it causes; never a finished file or download.
    EXPECT_EQ(kinds, (std::vector<unsigned>{UM_BASE_DONE, UM_DL_RECEIVING, UM_WRITE_FAIL,
                                               UM_DL_DISCONNECT}));
    EXPECT_TRUE(LogHas("ProcessDL" + kColon + "Write Faile " + Staging("sub\\" + name) + "\r\n"));
  }
}

TEST_F(ProcessDLDiskTest, ABaseArchiveTheDiskDoesNotTakeFailsTheStage) {
  staged_.base_wanted = true;
  ASSERT_TRUE(service_.Open(&client_));
  std::string request;
  ASSERT_TRUE(service_.Read(&request));
  {
    FileSizeLimit limit(kLimit);
    ASSERT_TRUE(limit.ok());
    for (const std::string& message :
         ChunkMessages(kMsgSystemDependFileRsp, Bytes(kLimit + 100),
                       [](const std::string& d, bool last) {
                         return BaseChunkBytes("SystemDepend.zip", d, last);
                       })) {
      ASSERT_TRUE(service_.Send(message));
    }
    ASSERT_TRUE(window_.WaitFor(UM_DL_DISCONNECT));
  }
  EXPECT_EQ(window_.Kinds(),
            (std::vector<unsigned>{UM_DL_RECEIVING, UM_WRITE_FAIL, UM_DL_DISCONNECT}));
  EXPECT_TRUE(LogHas("ProcessDL" + kColon + "Write Faile " + Staging("SystemDepend.zip") + "\r\n"));
}

}  // namespace
