// Concurrent downloads of one package from a server running on its own, for the benchmark that
// sets the reference service beside nginx (bench/service_vs_nginx.py):
//
//   qb_download_client package DIR
//       writes the package the service-throughput benchmark serves (16 files of 1 MiB of
//       quote-like data, Data/part0.day ...) with its package.json into DIR
//   qb_download_client protocol UPDATE_HOST:PORT --downloads N [--rounds R]
//       the installer's road: update check, then N downloads at once from the download server
//       the reply names, each linking and asking for every module, R times over
//   qb_download_client http HOST:PORT --package DIR --downloads N [--rounds R]
//       the same files over HTTP/1.1: each download one connection that asks for every file of
//       DIR (package.json left out) at once, pipelined, and reads the replies
//
// Both clients only count what arrives (the protocol's frames by their headers, HTTP bodies by
// Content-Length) without deciphering or keeping it, so that on a small machine the clients
// take little of the processor the server needs. The protocol client decodes one download in
// full first (which also fills the service's message cache), to know how many frames a download
// is and that it carries the whole package. After that preparation it prints "ready" and waits
// for a line on standard input, so that the caller can read the server's processor time right
// before the downloads; then it prints "bytes B seconds S" (B: file data of the downloads that
// completed) and exits 0, or 1 when a download failed.
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

#include "bench/download_package.h"
#include "wire/frame_format.h"
#include "service/testing/test_client.h"
#include "service/testing/test_socket.h"

namespace fs = std::filesystem;

namespace {

constexpr size_t kReceiveSize = 256 << 10;

int Usage() {
  std::fprintf(stderr,
               "usage: qb_download_client package DIR\n"
               "       qb_download_client protocol UPDATE_HOST:PORT --downloads N [--rounds R]\n"
               "       qb_download_client http HOST:PORT --package DIR --downloads N "
               "[--rounds R]\n");
  return 2;
}

bool ParseAddress(const std::string& text, ListenAddress* out) {
  const size_t colon = text.rfind(':');
  if (colon == std::string::npos) return false;
  out->host = text.substr(0, colon);
  const int port = std::atoi(text.c_str() + colon + 1);
  if (port <= 0 || port > 65535) return false;
  out->port = static_cast<uint16_t>(port);
  return true;
}

// -- the protocol ------------------------------------------------------------------------------

// Reads and drops whole frames until `frames` have arrived; only their headers are looked at.
bool CountFrames(int fd, size_t frames, std::vector<uint8_t>* buffer) {
  uint8_t header[kFrameHeaderSize];
  size_t have = 0;   // header bytes collected
  size_t skip = 0;   // payload bytes of the current frame still to come
  while (frames > 0) {
    const ssize_t n = recv(fd, buffer->data(), buffer->size(), 0);
    if (n <= 0) return false;
    size_t at = 0;
    while (at < static_cast<size_t>(n) && frames > 0) {
      if (skip > 0) {
        const size_t take = std::min(skip, static_cast<size_t>(n) - at);
        skip -= take;
        at += take;
        if (skip == 0) --frames;
        continue;
      }
      header[have++] = (*buffer)[at++];
      if (have < kFrameHeaderSize) continue;
      char type = 0;
      uint32_t length = 0;
      if (ScanFrame(header, have, 0, &type, &length) == FrameScan::kInvalid) return false;
      have = 0;
      skip = length;
    }
  }
  return true;
}

// -- HTTP --------------------------------------------------------------------------------------

struct HttpFiles {
  std::string requests;  // every GET, pipelined
  std::vector<uint64_t> sizes;
  uint64_t bytes = 0;
};

HttpFiles FilesOf(const std::string& dir, const ListenAddress& server) {
  std::vector<std::string> paths;
  for (const auto& entry : fs::recursive_directory_iterator(dir)) {
    if (!entry.is_regular_file()) continue;
    const std::string rel = fs::relative(entry.path(), dir).generic_string();
    if (rel != "package.json") paths.push_back(rel);
  }
  std::sort(paths.begin(), paths.end());
  HttpFiles out;
  for (const std::string& rel : paths) {
    out.requests += "GET /" + rel + " HTTP/1.1\r\nHost: " + server.host + "\r\n\r\n";
    out.sizes.push_back(fs::file_size(fs::path(dir) / rel));
    out.bytes += out.sizes.back();
  }
  return out;
}

// One download: every file asked for at once, each reply's head read and its body counted.
bool HttpDownload(const ListenAddress& server, const HttpFiles& files,
                  std::vector<uint8_t>* buffer) {
  TestSocket socket;
  if (!socket.Connect(server.host, server.port, 60000) || !socket.Send(files.requests)) {
    return false;
  }
  std::string head;
  size_t file = 0;
  uint64_t body = 0;  // bytes of the current reply's body still to come
  bool in_body = false;
  while (file < files.sizes.size()) {
    const ssize_t n = recv(socket.fd(), buffer->data(), buffer->size(), 0);
    if (n <= 0) return false;
    size_t at = 0;
    while (at < static_cast<size_t>(n) && file < files.sizes.size()) {
      if (in_body) {
        const uint64_t take = std::min<uint64_t>(body, static_cast<size_t>(n) - at);
        body -= take;
        at += take;
        if (body == 0) {
          in_body = false;
          ++file;
        }
        continue;
      }
      const char* data = reinterpret_cast<const char*>(buffer->data()) + at;
      const size_t left = static_cast<size_t>(n) - at;
      const size_t old = head.size();
      head.append(data, left);
      const size_t end = head.find("\r\n\r\n");
      if (end == std::string::npos) {
        if (head.size() > 16384) return false;
        at += left;
        continue;
      }
      at += end + 4 - old;
      head.resize(end + 2);
      if (head.compare(0, 12, "HTTP/1.1 200") != 0) return false;
      std::string lower = head;
      std::transform(lower.begin(), lower.end(), lower.begin(), ::tolower);
      const size_t cl = lower.find("\r\ncontent-length:");
      if (cl == std::string::npos) return false;
      body = std::strtoull(head.c_str() + cl + 17, nullptr, 10);
      head.clear();
      if (body != files.sizes[file]) return false;
      in_body = body > 0;
      if (!in_body) ++file;
    }
  }
  return true;
}

// -- the run -----------------------------------------------------------------------------------

template <typename Download>
int Run(int downloads, int rounds, uint64_t bytes_each, Download download) {
  std::cout << "ready" << std::endl;
  std::string line;
  std::getline(std::cin, line);
  std::atomic<int> failed{0};
  const auto start = std::chrono::steady_clock::now();
  for (int r = 0; r < rounds; ++r) {
    std::vector<std::thread> clients;
    for (int i = 0; i < downloads; ++i) {
      clients.emplace_back([&] {
        std::vector<uint8_t> buffer(kReceiveSize);
        if (!download(&buffer)) ++failed;
      });
    }
    for (std::thread& t : clients) t.join();
  }
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  const uint64_t completed = static_cast<uint64_t>(downloads) * rounds - failed;
  std::cout << "bytes " << completed * bytes_each << " seconds " << seconds << std::endl;
  if (failed > 0) std::fprintf(stderr, "qb_download_client: %d downloads failed\n", failed.load());
  return failed > 0 ? 1 : 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) return Usage();
  const std::string mode = argv[1];
  if (mode == "package") {
    if (argc != 3) return Usage();
    WriteBenchPackage(argv[2]);
    return 0;
  }
  ListenAddress server;
  if (!ParseAddress(argv[2], &server)) return Usage();
  int downloads = 0, rounds = 1;
  std::string package;
  for (int i = 3; i + 1 < argc; i += 2) {
    const std::string name = argv[i];
    if (name == "--downloads") {
      downloads = std::atoi(argv[i + 1]);
    } else if (name == "--rounds") {
      rounds = std::atoi(argv[i + 1]);
    } else if (name == "--package") {
      package = argv[i + 1];
    } else {
      return Usage();
    }
  }
  if (downloads <= 0 || rounds <= 0 || argc % 2 == 0) return Usage();

  if (mode == "http") {
    if (package.empty()) return Usage();
    const HttpFiles files = FilesOf(package, server);
    return Run(downloads, rounds, files.bytes, [&](std::vector<uint8_t>* buffer) {
      return HttpDownload(server, files, buffer);
    });
  }
  if (mode != "protocol") return Usage();
  UpdateReply reply;
  std::vector<ModuleRecord> records;
  if (!CheckExchange(server, "100201", &reply, &records)) {
    std::fprintf(stderr, "qb_download_client: the update check at %s failed\n",
                 server.ToString().c_str());
    return 1;
  }
  const ListenAddress download{reply.download_host, static_cast<uint16_t>(reply.download_port)};
  uint64_t bytes = 0;
  const size_t frames = DecodedDownload(download, records, &bytes);
  if (frames == 0 || bytes == 0) {
    std::fprintf(stderr, "qb_download_client: the first download from %s failed\n",
                 download.ToString().c_str());
    return 1;
  }
  return Run(downloads, rounds, bytes, [&](std::vector<uint8_t>* buffer) {
    TestClient client;
    if (!client.Link(download, 60000) || !client.RequestModules(records)) return false;
    return CountFrames(client.socket().fd(), frames, buffer);
  });
}
