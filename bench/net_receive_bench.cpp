// IDEA throughput (ours beside libgcrypt's, in one run) and the receive path (decipher +
// decompress + dispatch) of 128 KiB frames built from binary-like data: a large ELF from /usr/bin
// (or the file named by QB_BENCH_FILE). Figures are MB/s of plaintext.
#include <benchmark/benchmark.h>
#include <gcrypt.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <string>
#include <sys/stat.h>
#include <vector>

#include "wire/cipher_context.h"
#include "net/frame_codec.h"
#include "wire/frame_format.h"
#include "net/process_client.h"
#include "net/protocol.h"
#include "net/testing/process_client_peer.h"

namespace {

constexpr size_t kBufferSize = 128 * 1024;
constexpr size_t kCorpusLimit = 16 * 1024 * 1024;
const char kKey[] = "bench-key-abcdef";

bool IsElf(const std::string& path) {
  FILE* f = std::fopen(path.c_str(), "rb");
  if (f == nullptr) return false;
  char magic[4] = {};
  bool elf = std::fread(magic, 1, 4, f) == 4 && std::memcmp(magic, "\x7f" "ELF", 4) == 0;
  std::fclose(f);
  return elf;
}

std::string LargestElf() {
  if (const char* named = std::getenv("QB_BENCH_FILE")) return named;
  std::string best;
  off_t best_size = 0;
  if (DIR* dir = opendir("/usr/bin")) {
    while (dirent* entry = readdir(dir)) {
      std::string path = std::string("/usr/bin/") + entry->d_name;
      struct stat st;
      // Files that live in /usr/bin itself: symbolic links are not followed.
      if (lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_size <= best_size) {
        continue;
      }
      if (!IsElf(path)) continue;
      best = path;
      best_size = st.st_size;
    }
    closedir(dir);
  }
  return best;
}

// The first 16 MiB of the file (repeated if it is smaller).
const std::vector<uint8_t>& Corpus() {
  static const std::vector<uint8_t> corpus = [] {
    std::vector<uint8_t> data;
    std::string path = LargestElf();
    if (FILE* f = std::fopen(path.c_str(), "rb")) {
      data.resize(kCorpusLimit);
      data.resize(std::fread(data.data(), 1, data.size(), f));
      std::fclose(f);
    }
    if (data.empty()) data.assign(kBufferSize, 0x5A);
    while (data.size() < kCorpusLimit) data.insert(data.end(), data.begin(), data.end());
    data.resize(kCorpusLimit);
    benchmark::AddCustomContext("corpus", path);
    return data;
  }();
  return corpus;
}

// A buffer from the middle of the file (past the headers, into code).
std::vector<uint8_t> Sample() {
  const auto& corpus = Corpus();
  size_t start = corpus.size() / 3;
  return std::vector<uint8_t>(corpus.begin() + start, corpus.begin() + start + kBufferSize);
}

CipherContext OurContext() {
  CipherContext context;
  context.SetKey(kKey, 16);
  return context;
}

// libgcrypt's IDEA takes big-endian words: the two bytes of every word swapped.
void SwapWords(const uint8_t* in, uint8_t* out, size_t n) {
  for (size_t i = 0; i + 1 < n; i += 2) {
    out[i] = in[i + 1];
    out[i + 1] = in[i];
  }
}

gcry_cipher_hd_t GcryptContext() {
  static bool ready = gcry_check_version(nullptr) != nullptr;
  (void)ready;
  gcry_cipher_hd_t handle = nullptr;
  if (gcry_cipher_open(&handle, GCRY_CIPHER_IDEA, GCRY_CIPHER_MODE_ECB, 0) != 0) return nullptr;
  uint8_t swapped[16];
  SwapWords(reinterpret_cast<const uint8_t*>(kKey), swapped, 16);
  gcry_cipher_setkey(handle, swapped, 16);
  return handle;
}

void BM_IdeaEncrypt(benchmark::State& state) {
  CipherContext context = OurContext();
  std::vector<uint8_t> in = Sample(), out(kBufferSize);
  for (auto _ : state) {
    context.Encrypt(in.data(), out.data(), in.size());
    benchmark::DoNotOptimize(out.data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kBufferSize));
}

void BM_IdeaDecrypt(benchmark::State& state) {
  CipherContext context = OurContext();
  std::vector<uint8_t> in = Sample(), out(kBufferSize);
  for (auto _ : state) {
    context.Decrypt(in.data(), out.data(), in.size());
    benchmark::DoNotOptimize(out.data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kBufferSize));
}

// Same bytes as ours once the words are swapped in and out; checked before timing.
void GcryptIdea(benchmark::State& state, bool encrypt) {
  gcry_cipher_hd_t handle = GcryptContext();
  if (handle == nullptr) {
    state.SkipWithError("libgcrypt has no IDEA");
    return;
  }
  std::vector<uint8_t> in = Sample(), swapped(kBufferSize), out(kBufferSize), ours(kBufferSize);
  SwapWords(in.data(), swapped.data(), kBufferSize);
  CipherContext context = OurContext();
  if (encrypt) {
    gcry_cipher_encrypt(handle, out.data(), kBufferSize, swapped.data(), kBufferSize);
    context.Encrypt(in.data(), ours.data(), kBufferSize);
  } else {
    gcry_cipher_decrypt(handle, out.data(), kBufferSize, swapped.data(), kBufferSize);
    context.Decrypt(in.data(), ours.data(), kBufferSize);
  }
  SwapWords(out.data(), swapped.data(), kBufferSize);
  if (swapped != ours) {
    state.SkipWithError("libgcrypt's IDEA disagrees with ours");
    gcry_cipher_close(handle);
    return;
  }
  for (auto _ : state) {
    if (encrypt) {
      gcry_cipher_encrypt(handle, out.data(), kBufferSize, in.data(), kBufferSize);
    } else {
      gcry_cipher_decrypt(handle, out.data(), kBufferSize, in.data(), kBufferSize);
    }
    benchmark::DoNotOptimize(out.data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kBufferSize));
  gcry_cipher_close(handle);
}

void BM_GcryptIdeaEncrypt(benchmark::State& state) { GcryptIdea(state, true); }
void BM_GcryptIdeaDecrypt(benchmark::State& state) { GcryptIdea(state, false); }

// Takes every message and reads nothing: the cost measured is the session's.
class SinkClient : public ProcessClient {
 public:
  ~SinkClient() override { ReleaseConnections(); }
  void OnMessage(const uint8_t*, uint32_t length) override { bytes += length; }
  void OnClientDisconnect(const char*, int32_t) override {}
  void OnLogin(int32_t, const uint8_t*, uint32_t) override {}
  void OnSessionNotice(int32_t) override {}
  void OnAuthentLink(int32_t) override {}
  uint64_t bytes = 0;
};

// Type "6" frames of 128 KiB messages (a 74-byte header, then file data), under the receive key.
void BM_ReceivePath(benchmark::State& state) {
  const auto& corpus = Corpus();
  CipherContext receive;
  receive.SetKey(kKey, 16);
  std::vector<uint8_t> stream;
  std::vector<uint8_t> frame(kFrameBufferSize);
  uint64_t plain = 0;
  std::vector<uint8_t> message(kBufferSize);
  for (size_t pos = 0; pos + kBufferSize - kMessageHeaderSize <= corpus.size();
       pos += kBufferSize - kMessageHeaderSize) {
    EncodeRequestHeader(kMsgFileDownloadRsp, 1, kBufferSize - kMessageHeaderSize, message.data());
    std::memcpy(message.data() + kMessageHeaderSize, corpus.data() + pos,
                kBufferSize - kMessageHeaderSize);
    size_t n = BuildFrame(message.data(), message.size(), '6', &receive, frame.data());
    if (n == 0) continue;  // would not fit one frame compressed
    stream.insert(stream.end(), frame.begin(), frame.begin() + n);
    plain += kBufferSize;
  }

  SinkClient client;
  ProcessClientPeer::NewConnection(client);
  Protocol* session = ProcessClientPeer::session(client);
  session->codec().SetSessionKeys(reinterpret_cast<const uint8_t*>(kKey), 16,
                                  reinterpret_cast<const uint8_t*>(kKey), 16);
  for (auto _ : state) {
    int used = session->ParseFrames(stream.data(), static_cast<uint32_t>(stream.size()));
    if (static_cast<size_t>(used) != stream.size()) {
      state.SkipWithError("frames did not decode");
      break;
    }
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * plain));
  state.counters["ratio"] = static_cast<double>(plain) / static_cast<double>(stream.size());
  if (client.bytes != state.iterations() * plain) state.SkipWithError("messages lost");
}

BENCHMARK(BM_IdeaEncrypt);
BENCHMARK(BM_GcryptIdeaEncrypt);
BENCHMARK(BM_IdeaDecrypt);
BENCHMARK(BM_GcryptIdeaDecrypt);
BENCHMARK(BM_ReceivePath)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  Corpus();  // loads the file and names it in the run's context before anything is printed
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
