// Running a service inside a test.
#include "service/testing/test_service.h"

#include <zlib.h>

#include <filesystem>
#include <fstream>

#include "base/coding.h"

#include "service/package.h"
#include "service/service_log.h"

namespace fs = std::filesystem;

PackageModule TestModule(const std::string& dir, const std::string& name, const std::string& bytes) {
  PackageModule m;
  m.name = name;
  m.folder_part = "Data\\";
  m.file_part = name + ".bin";
  m.source_path = dir + "/" + name;
  std::ofstream(m.source_path, std::ios::binary) << bytes;
  m.size = bytes.size();
  return m;
}

std::string TestBytes(size_t size, uint32_t seed) {
  std::string bytes(size, '\0');
  uint32_t state = seed * 2654435761u + 1;
  for (size_t i = 0; i < size; ++i) {
    state ^= state << 13;
    state ^= state >> 17;
    state ^= state << 5;
    // Every fourth byte small, so the data compresses a little, as real files do.
    bytes[i] = static_cast<char>((i & 3) == 0 ? (state & 7) : (state >> 8));
  }
  return bytes;
}

std::string StoredZip(const std::vector<std::pair<std::string, std::string>>& entries) {
  std::string out, central;
  auto u16 = [](std::string* s, uint16_t v) {
    uint8_t b[2];
    EncodeFixed16(b, v);
    s->append(reinterpret_cast<char*>(b), 2);
  };
  auto u32 = [](std::string* s, uint32_t v) {
    uint8_t b[4];
    EncodeFixed32(b, v);
    s->append(reinterpret_cast<char*>(b), 4);
  };
  const uint16_t kDosTime = 0x6000, kDosDate = 0x5A21;  // 2025-01-01 12:00
  for (const auto& [name, data] : entries) {
    uint32_t crc = static_cast<uint32_t>(
        crc32(0, reinterpret_cast<const Bytef*>(data.data()), static_cast<uInt>(data.size())));
    uint32_t offset = static_cast<uint32_t>(out.size());
    u32(&out, 0x04034b50);
    u16(&out, 10), u16(&out, 0), u16(&out, 0), u16(&out, kDosTime), u16(&out, kDosDate);
    u32(&out, crc), u32(&out, data.size()), u32(&out, data.size());
    u16(&out, static_cast<uint16_t>(name.size())), u16(&out, 0);
    out += name + data;
    u32(&central, 0x02014b50);
    u16(&central, 20), u16(&central, 10), u16(&central, 0), u16(&central, 0);
    u16(&central, kDosTime), u16(&central, kDosDate);
    u32(&central, crc), u32(&central, data.size()), u32(&central, data.size());
    u16(&central, static_cast<uint16_t>(name.size())), u16(&central, 0), u16(&central, 0);
    u16(&central, 0), u16(&central, 0), u32(&central, 0x20), u32(&central, offset);
    central += name;
  }
  uint32_t central_offset = static_cast<uint32_t>(out.size());
  out += central;
  u32(&out, 0x06054b50);
  u16(&out, 0), u16(&out, 0);
  u16(&out, static_cast<uint16_t>(entries.size())), u16(&out, static_cast<uint16_t>(entries.size()));
  u32(&out, static_cast<uint32_t>(central.size())), u32(&out, central_offset), u16(&out, 0);
  return out;
}

void WriteTestPackage(const std::string& dir, const std::string& number,
                      const std::vector<TestFile>& files, const std::string& base,
                      const std::string& product_name) {
  Package package;
  package.dir = dir;
  package.number = number;
  package.product_name = product_name;
  package.version_part3 = 5;
  package.version_part4 = 17;
  int32_t index = 1;
  for (const TestFile& f : files) {
    PackageModule m;
    m.package_key = number;
    m.name = f.folder_part + f.file_part;
    m.num1 = index++;
    m.num2 = 17;
    m.kind = f.kind;
    m.tail = "t";
    m.folder_part = f.folder_part;
    m.file_part = f.file_part;
    std::string rel = f.folder_part + f.file_part;
    for (char& c : rel) c = c == '\\' ? '/' : c;
    m.source_path = (fs::path(dir) / rel).string();
    fs::create_directories(fs::path(m.source_path).parent_path());
    std::ofstream(m.source_path, std::ios::binary) << f.bytes;
    package.modules.push_back(m);
  }
  if (!base.empty()) {
    package.base_archive_path = (fs::path(dir) / "SystemDepend.zip").string();
    std::ofstream(package.base_archive_path, std::ios::binary) << base;
  }
  std::ofstream(fs::path(dir) / "package.json", std::ios::binary) << PackageJsonText(package);
}

bool TestService::Start(const std::vector<std::string>& packages, const FaultConfig& faults,
                        int idle_timeout_s) {
  ServiceOptions options;
  options.packages = packages;
  options.faults = MakeFaultPlan(faults);
  options.idle_timeout_s = idle_timeout_s;
  return Start(options);
}

bool TestService::Start(ServiceOptions options) {
  SetServiceLogSink([this](const std::string& line) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      log_.push_back(line);
    }
    logged_.notify_all();
  });
  options.command = ServiceOptions::Command::kServe;
  options.query = {{"127.0.0.1", 0}};
  options.update = {{"127.0.0.1", 0}};
  options.download = {"127.0.0.1", 0};
  options.advertise = {"127.0.0.1", 0};
  if (options.metrics_given) options.metrics = {"127.0.0.1", 0};
  std::string error;
  if (service_.Start(options, &error) != kExitOk) {
    std::lock_guard<std::mutex> lock(mutex_);
    log_.push_back("start failed: " + error);
    return false;
  }
  thread_ = std::thread([this] { service_.Run(); });
  return true;
}

void TestService::Stop() {
  if (thread_.joinable()) {
    service_.StopNow();
    thread_.join();
  }
}

TestService::~TestService() {
  Stop();
  SetServiceLogSink(nullptr);
}

bool TestService::LogHas(const std::string& part) {
  std::lock_guard<std::mutex> lock(mutex_);
  for (const std::string& line : log_) {
    if (line.find(part) != std::string::npos) return true;
  }
  return false;
}

bool TestService::WaitForLog(const std::string& part, int timeout_ms) {
  std::unique_lock<std::mutex> lock(mutex_);
  return logged_.wait_for(lock, std::chrono::milliseconds(timeout_ms), [&] {
    for (const std::string& line : log_) {
      if (line.find(part) != std::string::npos) return true;
    }
    return false;
  });
}

bool TestService::WaitForLogCount(const std::string& part, size_t count, int timeout_ms) {
  std::unique_lock<std::mutex> lock(mutex_);
  return logged_.wait_for(lock, std::chrono::milliseconds(timeout_ms), [&] {
    size_t n = 0;
    for (const std::string& line : log_) {
      if (line.find(part) != std::string::npos) ++n;
    }
    return n >= count;
  });
}

std::vector<std::string> TestService::Log() {
  std::lock_guard<std::mutex> lock(mutex_);
  return log_;
}
