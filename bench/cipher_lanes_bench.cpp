// IDEA and the receive path with each lane path forced in turn, beside libgcrypt's IDEA from the
// same build, timed by the program itself (no benchmark library: it builds for Windows as well,
// where it runs under Wine as the installer's code does). Figures are MB of plaintext per second
// of the thread's processor time (the machine is shared: waiting for a core is not our cost),
// the best of a few timed rounds.
//
//   bench_cipher_lanes [--file PATH] [--seconds S]
// PATH is the corpus (binary-like data, e.g. a large executable; synthetic data without one).
#include <gcrypt.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "base/sha256.h"
#include "base/sha256_shani.h"
#include "bench/thread_cpu_time.h"
#include "wire/cipher_context.h"
#include "net/frame_codec.h"
#include "wire/frame_format.h"
#include "wire/idea_blocks.h"
#include "wire/message.h"
#include "net/process_client.h"
#include "net/protocol.h"
#include "net/testing/process_client_peer.h"

namespace {

using Bytes = std::vector<uint8_t>;

constexpr size_t kBufferSize = 128 * 1024;
constexpr size_t kCorpusSize = 16 * 1024 * 1024;
const char kKey[] = "bench-key-abcdef";
#ifdef _WIN32
constexpr char kSystem[] = "Windows";
#else
constexpr char kSystem[] = "Linux";
#endif

double g_round_seconds = 0.4;
constexpr int kRounds = 3;

// Runs `step` (which handles `bytes` of plaintext) for about g_round_seconds of processor time,
// kRounds times; returns the best rate in MB per processor second.
template <class Step>
double Rate(uint64_t bytes, Step step) {
  double best = 0;
  for (int round = 0; round < kRounds; ++round) {
    uint64_t done = 0;
    const double start = ThreadCpuSeconds();
    double seconds = 0;
    // Reading the clock can cost as much as a step (under Wine it reads a file): batches that
    // double keep the readings few.
    for (uint64_t batch = 1; seconds < g_round_seconds; batch *= 2) {
      for (uint64_t i = 0; i < batch; ++i) step();
      done += batch * bytes;
      seconds = ThreadCpuSeconds() - start;
    }
    const double rate = static_cast<double>(done) / seconds / 1e6;
    if (rate > best) best = rate;
  }
  return best;
}

// Binary-like filler when no file is named: runs of small integers, repeated strings and noise,
// so that LZO finds something to do.
Bytes SyntheticCorpus() {
  Bytes data(kCorpusSize);
  uint32_t state = 12345;
  for (size_t i = 0; i < data.size(); ++i) {
    state = state * 1103515245u + 12345u;
    const uint32_t r = state >> 16;
    switch ((i / 64) % 4) {
      case 0:
        data[i] = static_cast<uint8_t>(r);
        break;
      case 1:
        data[i] = static_cast<uint8_t>(r & 0x0F);
        break;
      case 2:
        data[i] = static_cast<uint8_t>("mov eax, [ebp+8]; call "[i % 23]);
        break;
      default:
        data[i] = 0;
        break;
    }
  }
  return data;
}

Bytes LoadCorpus(const char* path) {
  Bytes data;
  if (path != nullptr) {
    if (FILE* f = std::fopen(path, "rb")) {
      data.resize(kCorpusSize);
      data.resize(std::fread(data.data(), 1, data.size(), f));
      std::fclose(f);
    }
    if (data.empty()) std::fprintf(stderr, "cannot read %s; synthetic data instead\n", path);
  }
  if (data.empty()) return SyntheticCorpus();
  while (data.size() < kCorpusSize) data.insert(data.end(), data.begin(), data.end());
  data.resize(kCorpusSize);
  return data;
}

// libgcrypt's IDEA takes big-endian words: the two bytes of every word swapped.
void SwapWords(const uint8_t* in, uint8_t* out, size_t n) {
  for (size_t i = 0; i + 1 < n; i += 2) {
    out[i] = in[i + 1];
    out[i + 1] = in[i];
  }
}

struct Gcrypt {
  gcry_cipher_hd_t handle = nullptr;
  Gcrypt() {
    if (gcry_check_version(nullptr) == nullptr) return;
    if (gcry_cipher_open(&handle, GCRY_CIPHER_IDEA, GCRY_CIPHER_MODE_ECB, 0) != 0) {
      handle = nullptr;
      return;
    }
    uint8_t swapped[16];
    SwapWords(reinterpret_cast<const uint8_t*>(kKey), swapped, 16);
    gcry_cipher_setkey(handle, swapped, 16);
  }
  ~Gcrypt() {
    if (handle != nullptr) gcry_cipher_close(handle);
  }
};

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

// Type "6" frames of 128 KiB file-download messages under the receive key, as the download
// server sends them; `plain` gets the bytes of messages they carry.
Bytes ReceiveStream(const Bytes& corpus, uint64_t* plain) {
  CipherContext receive;
  receive.SetKey(kKey, 16);
  Bytes stream, frame(kFrameBufferSize), message(kBufferSize);
  *plain = 0;
  const size_t body = kBufferSize - kMessageHeaderSize;
  for (size_t pos = 0; pos + body <= corpus.size(); pos += body) {
    EncodeRequestHeader(kMsgFileDownloadRsp, 1, static_cast<uint32_t>(body), message.data());
    std::memcpy(message.data() + kMessageHeaderSize, corpus.data() + pos, body);
    size_t n = BuildFrame(message.data(), message.size(), '6', &receive, frame.data());
    if (n == 0) continue;  // would not fit one frame compressed
    stream.insert(stream.end(), frame.begin(), frame.begin() + n);
    *plain += kBufferSize;
  }
  return stream;
}

}  // namespace

int main(int argc, char** argv) {
  const char* file = std::getenv("QB_BENCH_FILE");
  for (int i = 1; i + 1 < argc; i += 2) {
    if (std::strcmp(argv[i], "--file") == 0) file = argv[i + 1];
    if (std::strcmp(argv[i], "--seconds") == 0) g_round_seconds = std::atof(argv[i + 1]);
  }
  const Bytes corpus = LoadCorpus(file);
  const Bytes sample(corpus.begin() + corpus.size() / 3,
                     corpus.begin() + corpus.size() / 3 + kBufferSize);
  Bytes out(kBufferSize), check(kBufferSize), swapped(kBufferSize);
  CipherContext context;
  context.SetKey(kKey, 16);

  uint64_t plain = 0;
  const Bytes stream = ReceiveStream(corpus, &plain);
  SinkClient client;
  ProcessClientPeer::NewConnection(client);
  Protocol* session = ProcessClientPeer::session(client);
  session->codec().SetSessionKeys(reinterpret_cast<const uint8_t*>(kKey), 16,
                                  reinterpret_cast<const uint8_t*>(kKey), 16);

  std::printf(
      "build: %s, %d-bit; corpus: %s (%zu bytes, frames at ratio %.2f); automatic "
      "choice: %s\n",
      kSystem, static_cast<int>(sizeof(void*) * 8), file ? file : "synthetic", corpus.size(),
      static_cast<double>(plain) / static_cast<double>(stream.size()),
      IdeaLanesName(IdeaLanesBest()));
  std::printf("%-10s %10s %10s %10s   (MB of plaintext per second of processor time)\n", "path",
              "encrypt", "decrypt", "receive");

  double rates[33] = {};  // encrypt MB/s by lane count
  for (IdeaLanes lanes : kAllIdeaLanes) {
    if (!IdeaLanesSupported(lanes)) {
      std::printf("%-10s %10s\n", IdeaLanesName(lanes), "(not on this processor)");
      continue;
    }
    CipherContext on_path(lanes);
    on_path.SetKey(kKey, 16);
    const double enc =
        Rate(kBufferSize, [&] { on_path.Encrypt(sample.data(), out.data(), kBufferSize); });
    const double dec =
        Rate(kBufferSize, [&] { on_path.Decrypt(sample.data(), out.data(), kBufferSize); });
    // The session deciphers through a codec whose contexts take this path.
    session->codec() = FrameCodec(lanes);
    session->codec().SetSessionKeys(reinterpret_cast<const uint8_t*>(kKey), 16,
                                    reinterpret_cast<const uint8_t*>(kKey), 16);
    bool decoded = true;
    const double receive = Rate(plain, [&] {
      decoded =
          decoded && session->ParseFrames(stream.data(), static_cast<uint32_t>(stream.size())) ==
                         static_cast<int>(stream.size());
    });
    if (!decoded) {
      std::printf("%-10s frames did not decode\n", IdeaLanesName(lanes));
      return 1;
    }
    rates[static_cast<int>(lanes)] = enc;
    std::printf("%-10s %10.0f %10.0f %10.0f\n", IdeaLanesName(lanes), enc, dec, receive);
  }

  Gcrypt gcrypt;
  double gcrypt_enc = 0;
  if (gcrypt.handle == nullptr) {
    std::printf("%-10s %10s\n", "libgcrypt", "(no IDEA)");
  } else {
    // The same bytes as ours once the words are swapped in and out, or the comparison is void.
    SwapWords(sample.data(), swapped.data(), kBufferSize);
    gcry_cipher_encrypt(gcrypt.handle, out.data(), kBufferSize, swapped.data(), kBufferSize);
    SwapWords(out.data(), swapped.data(), kBufferSize);
    context.Encrypt(sample.data(), check.data(), kBufferSize);
    if (swapped != check) {
      std::printf("libgcrypt's IDEA disagrees with ours\n");
      return 1;
    }
    gcrypt_enc = Rate(kBufferSize, [&] {
      gcry_cipher_encrypt(gcrypt.handle, out.data(), kBufferSize, sample.data(), kBufferSize);
    });
    const double gcrypt_dec = Rate(kBufferSize, [&] {
      gcry_cipher_decrypt(gcrypt.handle, out.data(), kBufferSize, sample.data(), kBufferSize);
    });
    std::printf("%-10s %10.0f %10.0f %10s\n", "libgcrypt", gcrypt_enc, gcrypt_dec, "-");
  }

  const double best = rates[static_cast<int>(IdeaLanesBest())];
  if (gcrypt_enc > 0) {
    std::printf("encrypt, best path (%s) / libgcrypt: %.1fx\n", IdeaLanesName(IdeaLanesBest()),
                best / gcrypt_enc);
  }
  const double sse2 = rates[static_cast<int>(IdeaLanes::kSse2)];
  const double avx2 = rates[static_cast<int>(IdeaLanes::kAvx2)];
  const double avx512 = rates[static_cast<int>(IdeaLanes::kAvx512)];
  if (sse2 > 0 && avx2 > 0) std::printf("encrypt, avx2 / sse2: %.2fx\n", avx2 / sse2);
  if (avx2 > 0 && avx512 > 0) std::printf("encrypt, avx512bw / avx2: %.2fx\n", avx512 / avx2);

  // SHA-256 of 64 KiB blocks (what hashing staged and installed files does): the processor's SHA
  // extensions, then the system's provider (CNG on Windows, libgcrypt natively).
  UseShaExtensions(true);
  const bool extensions = ShaExtensionsInUse();
  double sha[2] = {};
  for (int use = 1; use >= 0; --use) {
    if (use == 1 && !extensions) continue;
    UseShaExtensions(use == 1);
    sha[use] = Rate(kBufferSize, [&] { (void)Sha256Of(sample.data(), kBufferSize); });
  }
  if (extensions) {
    std::printf("sha256: SHA extensions %.0f MB/s, the system's %.0f MB/s (%.1fx)\n", sha[1],
                sha[0], sha[1] / sha[0]);
  } else {
    std::printf("sha256: the system's %.0f MB/s (no SHA extensions on this processor)\n", sha[0]);
  }
  return client.bytes > 0 ? 0 : 1;
}
