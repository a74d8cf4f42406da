// The service's download throughput with 1, 8 and 64 installers downloading at once, with the
// compressed-message cache off (--cache-mib 0, every message compressed for every download)
// and on (the cache warmed by one download first), in the same run. Reports MB/s of file data
// and the CPU seconds the service spends per GiB served: the process's CPU clock less what the
// installers' threads used by their own clocks (the service's loops run in threads of their
// own, beside the accepting one). The
// installers here only count frames, without deciphering them, so that on a small machine the
// clients do not take the service's CPU: the first download, decoded in full, tells how many
// reply frames a download is.
#include <benchmark/benchmark.h>
#include <time.h>

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "bench/download_package.h"
#include "wire/frame_format.h"
#include "service/service.h"
#include "service/service_log.h"
#include "service/testing/test_client.h"

namespace fs = std::filesystem;

namespace {

constexpr uint64_t kPackageBytes = uint64_t{kBenchFiles} * kBenchFileSize;

const std::string& PackageDir() {
  static const std::string dir = [] {
    char pattern[] = "/tmp/qb-service-bench-XXXXXX";
    std::string d = mkdtemp(pattern);
    WriteBenchPackage(d);
    return d;
  }();
  return dir;
}

double CpuSeconds(clockid_t clock) {
  timespec ts{};
  if (clock_gettime(clock, &ts) != 0) return 0;
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

// The same download, with the reply frames counted and dropped.
bool CountedDownload(const ListenAddress& download, const std::vector<ModuleRecord>& records,
                     size_t frames) {
  TestClient client;
  if (!client.Link(download, 60000) || !client.RequestModules(records)) return false;
  std::string buffer;
  size_t pos = 0;
  while (frames > 0) {
    char type = 0;
    uint32_t length = 0;
    const auto* data = reinterpret_cast<const uint8_t*>(buffer.data());
    FrameScan scan = ScanFrame(data, buffer.size(), pos, &type, &length);
    if (scan == FrameScan::kInvalid) return false;
    if (scan == FrameScan::kComplete) {
      pos += kFrameHeaderSize + length;
      --frames;
      continue;
    }
    buffer.erase(0, pos);
    pos = 0;
    std::string more = client.socket().ReceiveSome(1 << 20);
    if (more.empty()) return false;
    buffer += more;
  }
  return true;
}

void BM_ConcurrentDownloads(benchmark::State& state) {
  const int cache_mib = static_cast<int>(state.range(0));
  const int installers = static_cast<int>(state.range(1));
  SetServiceLogQuiet(true);
  Service service;
  ServiceOptions options;
  options.command = ServiceOptions::Command::kServe;
  options.packages = {PackageDir()};
  options.query = {{"127.0.0.1", 0}};
  options.update = {{"127.0.0.1", 0}};
  options.download = {"127.0.0.1", 0};
  options.advertise = {"127.0.0.1", 0};
  options.cache_mib = static_cast<uint64_t>(cache_mib);
  options.max_connections = 4096;
  std::string error;
  if (service.Start(options, &error) != kExitOk) {
    state.SkipWithError(error.c_str());
    return;
  }
  std::thread loop([&] { service.Run(); });
  UpdateReply reply;
  std::vector<ModuleRecord> records;
  size_t frames = 0;
  if (!CheckExchange(service.update_address(0), "100201", &reply, &records) ||
      (frames = DecodedDownload(service.download_address(), records)) == 0) {  // warms the cache
    state.SkipWithError("the first download failed");
  }
  double cpu = 0, wall = 0;
  for (auto _ : state) {
    std::atomic<int> failed{0};
    std::vector<double> client_cpu(static_cast<size_t>(installers), 0.0);
    const double cpu_before = CpuSeconds(CLOCK_PROCESS_CPUTIME_ID);
    auto start = std::chrono::steady_clock::now();
    std::vector<std::thread> clients;
    for (int i = 0; i < installers; ++i) {
      clients.emplace_back([&, i] {
        if (!CountedDownload(service.download_address(), records, frames)) ++failed;
        client_cpu[static_cast<size_t>(i)] = CpuSeconds(CLOCK_THREAD_CPUTIME_ID);
      });
    }
    for (std::thread& t : clients) t.join();
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    cpu += CpuSeconds(CLOCK_PROCESS_CPUTIME_ID) - cpu_before;
    for (double c : client_cpu) cpu -= c;
    wall += seconds;
    state.SetIterationTime(seconds);
    if (failed > 0) {
      state.SkipWithError("a download failed");
      break;
    }
  }
  service.Stop();
  loop.join();
  const double gib = static_cast<double>(state.iterations()) * installers *
                     static_cast<double>(kPackageBytes) / (1 << 30);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * installers *
                          static_cast<int64_t>(kPackageBytes));
  state.counters["service_cpu_s_per_GiB"] = gib > 0 ? cpu / gib : 0;
  state.counters["service_cpu_share"] = wall > 0 ? cpu / wall : 0;
}
BENCHMARK(BM_ConcurrentDownloads)
    ->ArgNames({"cache_mib", "installers"})
    ->ArgsProduct({{0, 512}, {1, 8, 64}})
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(2);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  fs::remove_all(PackageDir());
  return 0;
}
