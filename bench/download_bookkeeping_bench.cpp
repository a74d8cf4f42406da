// The download client's bookkeeping at the largest package (65,535 modules): taking every module
// of an update from the earlier install at once (MarkReused), and completing every module file
// as its last chunk arrives (one chunk per file, written to a folder in /tmp). Both used to erase
// each module from two vectors after a linear search.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "clients/pending_modules.h"
#include "clients/process_dl.h"
#include "core/install_context.h"
#include "core/window_messages.h"
#include "install/staged_package.h"
#include "wire/message.h"
#include "wire/records.h"

namespace {

constexpr size_t kModules = 65535;

std::string ModuleName(size_t i) {
  char name[51];
  std::snprintf(name, sizeof name, "Data\\Quotes\\SH%06zu.day", i);
  return name;
}

// The module list of the package, the staging folder, what the files go to and a sink that counts
// what it is posted.
struct Package : ClientSink {
  Package() {
    staging = std::filesystem::temp_directory_path() / "qb-bench-bookkeeping";
    std::filesystem::remove_all(staging);
    std::filesystem::create_directories(staging);
    for (size_t i = 0; i < kModules; ++i) {
      ModuleRecord record = {};
      std::snprintf(record.PackageKey, sizeof record.PackageKey, "100201");
      std::snprintf(record.Name, sizeof record.Name, "%s", ModuleName(i).c_str());
      record.Num1 = static_cast<int32_t>(i + 1);
      record.Num2 = 17;
      record.Kind = 'F';
      modules.Append(record);
      names.push_back(ModuleName(i));
    }
    staged = std::make_unique<StagedPackage>(staging.string(), staging.string() + "\\depend",
                                             nullptr);
  }
  ~Package() override { std::filesystem::remove_all(staging); }
  void Post(unsigned, intptr_t) override { ++messages; }
  void Send(unsigned, intptr_t) override { ++messages; }
  std::unique_ptr<ProcessDL> NewClient() {
    return std::make_unique<ProcessDL>(this, staging.string(), &modules, staged.get());
  }
  std::filesystem::path staging;
  ModuleList modules;
  std::unique_ptr<StagedPackage> staged;
  std::vector<std::string> names;
  size_t messages = 0;
};

Package& ThePackage() {
  static Package package;
  return package;
}

// One file download message: the whole (one-byte) file of module `i` in one last chunk.
std::vector<uint8_t> LastChunkMessage(size_t i) {
  std::vector<uint8_t> message(kMessageHeaderSize + kFileChunkRecordSize, 0);
  MessageHeader header;
  header.Code = kMsgFileDownloadRsp;
  header.RecordCount = 1;
  header.RecordSize = kFileChunkRecordSize;
  EncodeMessageHeader(header, message.data());
  FileChunkRecord chunk;
  const std::string name = ModuleName(i);
  std::snprintf(chunk.ModuleName, sizeof chunk.ModuleName, "%s", name.c_str());
  std::snprintf(chunk.FileName, sizeof chunk.FileName, "f%zu.day", i);
  std::snprintf(chunk.Folder, sizeof chunk.Folder, "d%zu\\", i % 64);
  const uint8_t byte = 'x';
  chunk.Data = &byte;
  chunk.DataLength = 1;
  chunk.Total = 1;
  chunk.Last = true;
  EncodeFileChunkRecord(chunk, message.data() + kMessageHeaderSize);
  return message;
}

void BM_MarkReusedEveryModule(benchmark::State& state) {
  Package& package = ThePackage();
  for (auto _ : state) {
    state.PauseTiming();
    auto client = package.NewClient();
    client->DownloadModule();  // no connection: the list becomes pending, nothing is sent
    package.messages = 0;
    state.ResumeTiming();
    client->MarkReused(package.names, kModules, 0);
    state.PauseTiming();
    state.counters["messages"] = static_cast<double>(package.messages);
    state.counters["pending"] = client->PendingCount();
    client.reset();
    state.ResumeTiming();
  }
}
BENCHMARK(BM_MarkReusedEveryModule)->Unit(benchmark::kMillisecond)->Iterations(3);

void BM_CompleteEveryModuleFile(benchmark::State& state) {
  Package& package = ThePackage();
  std::vector<std::vector<uint8_t>> messages;
  for (size_t i = 0; i < kModules; ++i) messages.push_back(LastChunkMessage(i));
  for (auto _ : state) {
    state.PauseTiming();
    auto client = package.NewClient();
    client->DownloadModule();
    package.messages = 0;
    state.ResumeTiming();
    for (const std::vector<uint8_t>& message : messages) {
      client->OnMessage(message.data(), static_cast<uint32_t>(message.size()));
    }
    state.PauseTiming();
    state.counters["messages"] = static_cast<double>(package.messages);
    state.counters["complete"] = client->DownloadComplete() ? 1 : 0;
    client.reset();
    state.ResumeTiming();
  }
}
BENCHMARK(BM_CompleteEveryModuleFile)->Unit(benchmark::kMillisecond)->Iterations(2);

// The completion's own bookkeeping, apart from writing the files: every module leaves the
// pending ones as its file completes.
void BM_PendingModulesCompleteEvery(benchmark::State& state) {
  Package& package = ThePackage();
  for (auto _ : state) {
    state.PauseTiming();
    auto pending = std::make_unique<PendingModules>();
    for (const std::string& name : package.names) pending->Add(name, ModuleDownloadRecord());
    state.ResumeTiming();
    for (const std::string& name : package.names) benchmark::DoNotOptimize(pending->Complete(name));
    state.PauseTiming();
    pending.reset();
    state.ResumeTiming();
  }
}
BENCHMARK(BM_PendingModulesCompleteEvery)->Unit(benchmark::kMillisecond)->Iterations(5);

}  // namespace

BENCHMARK_MAIN();
