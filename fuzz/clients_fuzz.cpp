// Feeds decoded messages to both update clients (OnMessage, OnLogin, OnAuthentLink, and the
// module request that consumes the module list) with the staging folder at the bottom of a deep
// chain of folders, run from the chain's top. Anything that appears in the chain outside the
// staging folder is an escape: abort. Without a connection nothing is sent.
//
// Input: a sequence of operations. Each starts with one byte: client (bit 7: download client)
// and operation (low 3 bits). Messages follow as a code selector, chain flag, record count (u16),
// record size (u16), error code (i8), then a u16 body length and the body; selector 0xFF takes
// the body as the whole message instead.
// With QB_FUZZ_WRITE_SEEDS=<folder> the program writes seed inputs there and ends.

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "base/coding.h"
#include "clients/process_check.h"
#include "clients/process_dl.h"
#include "core/install_context.h"
#include "core/window_messages.h"
#include "install/staged_package.h"
#include "fuzz/folder_chain.h"
#include "fuzz/seeds.h"
#include "wire/message.h"
#include "wire/records.h"


namespace {

constexpr int kDepth = 60;
constexpr uint16_t kCodes[] = {kMsgPkgUpdateCheckRsp, kMsgPkgModuleCheckRsp, kMsgFileDownloadRsp,
                               kMsgSystemDependFileRsp, kMsgLoginResponse, 0x1234};

// Where the clients report: nowhere.
class NoSink : public ClientSink {
 public:
  void Post(unsigned, intptr_t) override {}
  void Send(unsigned, intptr_t) override {}
};

// The staged package, with the base archive taken as the input says.
class FuzzStaged : public StagedPackage {
 public:
  using StagedPackage::StagedPackage;
  bool WantsBaseArchive() override { return base_needed; }
  bool base_needed = false;
};

// The staging folder at the bottom of the chain, made once.
const FolderChain& GetSandbox() {
  static const FolderChain& chain = MakeFolderChain("qb-fuzz-clients", kDepth);
  return chain;
}

class Reader {
 public:
  Reader(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  bool empty() const { return pos_ >= size_; }
  uint8_t Byte() { return pos_ < size_ ? data_[pos_++] : 0; }
  uint16_t U16() { return static_cast<uint16_t>(Byte() | (Byte() << 8)); }
  std::string Bytes(size_t n) {
    n = std::min(n, size_ - pos_);
    std::string s(reinterpret_cast<const char*>(data_ + pos_), n);
    pos_ += n;
    return s;
  }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t pos_ = 0;
};

std::string ReadMessage(Reader* in) {
  const uint8_t selector = in->Byte();
  MessageHeader header;
  header.Code = kCodes[selector % (sizeof kCodes / sizeof kCodes[0])];
  header.Chain = in->Byte();
  header.RecordCount = in->U16();
  header.RecordSize = in->U16();
  header.ErrorCode = static_cast<int8_t>(in->Byte());
  const std::string body = in->Bytes(in->U16());
  if (selector == 0xFF) return body;
  std::string message(kMessageHeaderSize, '\0');
  EncodeMessageHeader(header, reinterpret_cast<uint8_t*>(&message[0]));
  return message + body;
}

void Deliver(ProcessClient* client, const std::string& message) {
  // The session hands over only messages of at least a header.
  if (message.size() < kMessageHeaderSize) return;
  client->OnMessage(reinterpret_cast<const uint8_t*>(message.data()),
                    static_cast<uint32_t>(message.size()));
}

// --- seeds ---

// A record of `size` bytes written by `encode`.
template <typename Record>
std::string Bytes(const Record& record, void (*encode)(const Record&, uint8_t*), size_t size) {
  std::string bytes(size, '\0');
  encode(record, reinterpret_cast<uint8_t*>(&bytes[0]));
  return bytes;
}

std::string Le16(uint32_t v) { return {static_cast<char>(v & 0xFF), static_cast<char>(v >> 8)}; }

std::string MessageOp(uint8_t op, uint8_t selector, uint8_t chain,
                      const std::vector<std::string>& records) {
  std::string body;
  for (const auto& r : records) body += r;
  const size_t size = records.empty() ? 0 : records[0].size();
  return std::string(1, static_cast<char>(op)) + static_cast<char>(selector) +
         static_cast<char>(chain) + Le16(static_cast<uint32_t>(records.size())) +
         Le16(static_cast<uint32_t>(size)) + '\0' + Le16(static_cast<uint32_t>(body.size())) +
         body;
}

std::string Chunk(const std::string& module, const std::string& folder, const std::string& file,
                  const std::string& data, bool last) {
  FileChunkRecord chunk;
  SetFieldText(chunk.ModuleName, module);
  SetFieldText(chunk.FileName, file);
  SetFieldText(chunk.Folder, folder);
  chunk.Data = reinterpret_cast<const uint8_t*>(data.data());
  chunk.DataLength = static_cast<int32_t>(data.size());
  chunk.Last = last;
  return Bytes(chunk, EncodeFileChunkRecord, kFileChunkRecordSize);
}

std::vector<std::string> Seeds() {
  ModuleRecord core{};
  std::strcpy(core.PackageKey, "key");
  std::strcpy(core.Name, "core");
  core.Kind = 'F';
  const std::string module = Bytes(core, EncodeModuleRecord, kModuleRecordSize);
  UpdateCheckReplyRecord reply;
  SetFieldText(reply.Host, "127.0.0.1");
  reply.Proceed = true;
  const std::string update =
      Bytes(reply, EncodeUpdateCheckReplyRecord, kUpdateCheckReplyRecordSize);
  // An empty zip archive: its end record alone.
  const std::string empty_zip = std::string("PK\x05\x06", 4) + std::string(18, '\0');
  BaseChunkRecord archive;
  SetFieldText(archive.FileName, kBaseZipName);
  archive.Data = reinterpret_cast<const uint8_t*>(empty_zip.data());
  archive.DataLength = static_cast<int32_t>(empty_zip.size());
  archive.Last = true;
  const std::string base = Bytes(archive, EncodeBaseChunkRecord, kBaseChunkRecordSize);
  return {
      // Check: login, update reply, module reply; download: request, chunks, base archive.
      std::string("\x01\x00\x00", 3) + MessageOp(0x00, 0, '0', {update}) +
          MessageOp(0x00, 1, '0', {module}) + std::string(1, '\x86') +
          MessageOp(0x83, 2, '0', {Chunk("core", "bin\\", "core.dll", "abc", false)}) +
          MessageOp(0x83, 2, '0', {Chunk("core", "bin\\", "core.dll", "def", true)}) +
          std::string("\x85\x01\x00", 3) + MessageOp(0x83, 3, '0', {base}),
      MessageOp(0x83, 2, '0', {Chunk("x", "..\\", "up.txt", "x", true)}),
      MessageOp(0x00, 1, '1', {module, module}) + MessageOp(0x00, 1, '0', {}),
  };
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  WriteSeedsIfAsked(Seeds);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const FolderChain& s = GetSandbox();
  {
    const std::string staging = s.deepest().string();
    NoSink sink;
    FuzzStaged staged(staging, staging + "\\depend", nullptr);
    // What the check client collected is the download client's module list once it asks.
    UpdateOffer offer;
    bool requested = false;
    ProcessCheck check(&sink, "100201", VersionPair());
    ProcessDL download(&sink, staging, &offer.Modules, &staged);
    Reader in(data, size);
    while (!in.empty()) {
      const uint8_t op = in.Byte();
      ProcessClient* client = (op & 0x80) != 0 ? static_cast<ProcessClient*>(&download)
                                               : static_cast<ProcessClient*>(&check);
      switch (op & 7) {
        case 0:
        case 3:
          Deliver(client, ReadMessage(&in));
          break;
        case 1: {
          const int32_t error = static_cast<int8_t>(in.Byte());
          const std::string records = in.Bytes(in.Byte());
          client->OnLogin(error, reinterpret_cast<const uint8_t*>(records.data()),
                          static_cast<uint32_t>(records.size()));
          break;
        }
        case 5:
          staged.base_needed = (in.Byte() & 1) != 0;
          client->OnAuthentLink(static_cast<int8_t>(in.Byte()));
          break;
        case 6:
          // The module request consumes the module list the check collected so far; only the
          // download client has one.
          if (!requested) offer = check.TakeOffer();
          requested = true;
          if (offer.Modules.Count() < 4000) download.DownloadModule();
          break;
        case 7:
          client->OnClientDisconnect("", 9);
          break;
        default:
          client->OnSessionNotice(0);
          break;
      }
    }
  }
  AbortIfEscaped(s, {}, "staging folder");
  EmptyDeepest(s);
  return 0;
}
