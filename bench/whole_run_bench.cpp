// The whole download natively: the reference service sends a 256 MiB package and ProcessDL
// writes it into a staging folder. Reports MB/s of file data (from the module request to the
// end of the download) and, in the same run, its ratio to the receive-path benchmark of
// bench_net_receive (decipher + decompress + dispatch alone, no sockets, no files).
#include <benchmark/benchmark.h>
#include <nlohmann/json.hpp>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "clients/testing/client_run.h"
#include "demo/demo_data.h"
#include "service/package.h"
#include "service/service.h"
#include "service/service_log.h"

namespace fs = std::filesystem;

namespace {

constexpr int kFiles = 32;
constexpr uint32_t kFileSize = 8u << 20;  // 32 x 8 MiB = 256 MiB
constexpr uint64_t kPackageBytes = uint64_t{kFiles} * kFileSize;

fs::path& WorkDir() {
  static fs::path dir;
  return dir;
}

// The package: quote-like binary files in a few folders, package number 100201 (the one our
// clients ask for natively).
void MakePackage(const fs::path& dir) {
  Package package;
  package.dir = dir.string();
  package.number = "100201";
  package.product_name = "bench";
  package.version_part3 = 1;
  package.version_part4 = 1;
  for (int i = 0; i < kFiles; ++i) {
    std::string folder = "Data\\Set" + std::to_string(i % 4) + "\\";
    std::string name = "part" + std::to_string(i) + ".day";
    DemoFile file{folder.c_str(), name.c_str(), kFileSize, 'F'};
    fs::path source = dir / ("Set" + std::to_string(i % 4)) / name;
    fs::create_directories(source.parent_path());
    std::ofstream(source, std::ios::binary) << DemoFileBytes(file);
    PackageModule m;
    m.package_key = "100201";
    m.name = name;
    m.num1 = i + 1;
    m.folder_part = folder;
    m.file_part = name;
    m.source_path = source.string();
    package.modules.push_back(m);
  }
  std::ofstream(dir / "package.json", std::ios::binary) << PackageJsonText(package);
}

struct RunningService {
  Service service;
  std::thread thread;
  bool ok = false;

  explicit RunningService(const fs::path& package) {
    SetServiceLogQuiet(true);
    ServiceOptions options;
    options.command = ServiceOptions::Command::kServe;
    options.packages = {package.string()};
    options.query = {{"127.0.0.1", 0}};
    options.update = {{"127.0.0.1", 0}};
    options.download = {"127.0.0.1", 0};
    options.advertise = {"127.0.0.1", 0};
    std::string error;
    ok = service.Start(options, &error) == kExitOk;
    if (!ok) fprintf(stderr, "service: %s\n", error.c_str());
    if (ok) thread = std::thread([this] { service.Run(); });
  }
  ~RunningService() {
    service.Stop();
    if (thread.joinable()) thread.join();
  }
};

void BM_WholeRunDownload(benchmark::State& state) {
  fs::path package = WorkDir() / "package";
  if (!fs::exists(package / "package.json")) MakePackage(package);
  RunningService running(package);
  if (!running.ok) {
    state.SkipWithError("the service did not start");
    return;
  }
  int round = 0;
  for (auto _ : state) {
    fs::path staging = WorkDir() / ("staging" + std::to_string(round++));
    bool done = false;
    double seconds = 0;
    {
      ClientRun run(staging.string(), (WorkDir() / "depend").string());
      done = run.Check(running.service.update_address(0)) && run.Download(600000);
      seconds = run.module_seconds();
    }
    uint64_t written = 0;
    for (const auto& e : fs::recursive_directory_iterator(staging)) {
      if (e.is_regular_file()) written += e.file_size();
    }
    fs::remove_all(staging);
    if (!done || written != kPackageBytes) {
      state.SkipWithError("the download did not complete");
      break;
    }
    state.SetIterationTime(seconds);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kPackageBytes));
}
BENCHMARK(BM_WholeRunDownload)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(3);

// Keeps the console output and remembers the whole run's rate.
class Reporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      auto it = run.counters.find("bytes_per_second");
      // A single run, or the median of repetitions (not the mean, spread or cv rows).
      const bool figure = run.aggregate_name.empty() || run.aggregate_name == "median";
      if (run.benchmark_name().find("BM_WholeRunDownload") == 0 && it != run.counters.end() &&
          figure) {
        whole_run = it->second.value;
      }
    }
    ConsoleReporter::ReportRuns(runs);
  }
  double whole_run = 0;
};

// bench_net_receive's BM_ReceivePath, run now on this machine; bytes per second or 0.
double ReceivePathRate() {
  std::string command = std::string("'") + QB_NET_RECEIVE_BENCH +
                        "' --benchmark_filter=BM_ReceivePath --benchmark_format=json 2>/dev/null";
  FILE* pipe = popen(command.c_str(), "r");
  if (!pipe) return 0;
  std::string output;
  char buffer[4096];
  size_t n;
  while ((n = fread(buffer, 1, sizeof(buffer), pipe)) > 0) output.append(buffer, n);
  pclose(pipe);
  auto json = nlohmann::json::parse(output, nullptr, /*allow_exceptions=*/false);
  if (json.is_discarded() || !json.contains("benchmarks")) return 0;
  for (const auto& b : json["benchmarks"]) {
    if (b.value("name", "").find("BM_ReceivePath") == 0 && b.contains("bytes_per_second")) {
      return b["bytes_per_second"].get<double>();
    }
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  char pattern[] = "/tmp/qb-whole-run-XXXXXX";
  if (!mkdtemp(pattern)) return 1;
  WorkDir() = pattern;
  benchmark::Initialize(&argc, argv);
  Reporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  fs::remove_all(WorkDir());

  double receive = ReceivePathRate();
  printf("whole run: %.1f MB/s of file data (256 MiB package, service -> ProcessDL -> files)\n",
         reporter.whole_run / 1e6);
  if (receive > 0 && reporter.whole_run > 0) {
    printf("receive path (bench_net_receive, same run): %.1f MB/s\n", receive / 1e6);
    printf("ratio whole run / receive path: %.2f\n", reporter.whole_run / receive);
  } else {
    printf("receive path: not measured (bench_net_receive did not run)\n");
  }
  return reporter.whole_run > 0 ? 0 : 1;
}
