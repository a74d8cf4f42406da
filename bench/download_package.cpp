// The service benchmarks' package and decoded download.
#include "bench/download_package.h"

#include <filesystem>

#include "demo/demo_data.h"
#include "wire/message.h"
#include "service/testing/test_service.h"

void WriteBenchPackage(const std::string& dir) {
  std::vector<TestFile> files;
  for (int i = 0; i < kBenchFiles; ++i) {
    const std::string name = "part" + std::to_string(i) + ".day";
    DemoFile file{"Data\\", name.c_str(), kBenchFileSize, 'F'};
    files.push_back({"Data\\", name, DemoFileBytes(file)});
  }
  std::filesystem::create_directories(dir);
  WriteTestPackage(dir, "100201", files);
}

size_t DecodedDownload(const ListenAddress& download, const std::vector<ModuleRecord>& records,
                       uint64_t* bytes) {
  TestClient client;
  if (!client.Link(download, 60000) || !client.RequestModules(records)) return 0;
  for (size_t frames = 1;; ++frames) {
    std::vector<uint8_t> message;
    MessageHeader header;
    if (!client.Receive(&message, &header) || header.Code != kMsgFileDownloadRsp) return 0;
    if (message.size() < kMessageHeaderSize + size_t{header.RecordCount} * header.RecordSize ||
        header.RecordSize < kFileChunkRecordSize) {
      return 0;
    }
    for (size_t i = 0; bytes != nullptr && i < header.RecordCount; ++i) {
      const FileChunkRecord r =
          DecodeFileChunkRecord(&message[kMessageHeaderSize + i * header.RecordSize]);
      if (r.DataLength < 0) return 0;
      *bytes += static_cast<uint64_t>(r.DataLength);
    }
    if (header.Chain == kChainLast) return frames;
  }
}
