// qb_rolling_soak_client: installs, many at once and one after the other, through a balancer
// while its instances are upgraded; each checked against the version it was offered.
//   qb_rolling_soak_client UPDATE_ADDR:PORT PACKAGE_NUMBER WORKERS VERSIONS_DIR STOP_FILE
// Each of WORKERS threads runs installs as an installer's exchange goes (update check and
// module list, then a download that reconnects after a loss and asks again, with the records
// it was given, for the files it does not have complete) until STOP_FILE exists. Every finished
// install is compared, file by file, with VERSIONS_DIR/<P3.P4>/ (package folders as pack writes
// them): "ok" when each file is the offered version's, "mixed" when one is another version's,
// "corrupt" when one is no version's; "failed" when it could not finish. One line per install,
// then the totals.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "base/sha256.h"
#include "service/package.h"
#include "service/testing/test_client.h"
#include "wire/records.h"

namespace fs = std::filesystem;

namespace {

constexpr int kMaxConnects = 60;  // tries of each connection, 100 ms apart
constexpr auto kPause = std::chrono::milliseconds(100);

std::string Hex(const Sha256Digest& d) {
  static const char kDigits[] = "0123456789abcdef";
  std::string s;
  for (uint8_t b : d) {
    s += kDigits[b >> 4];
    s += kDigits[b & 15];
  }
  return s;
}

// The SHA-256 of every file of each version, by install path, read once per version.
class Versions {
 public:
  explicit Versions(std::string dir) : dir_(std::move(dir)) {}

  // Which version holds `digest` at `path`: the offered one first; "" when none does.
  std::string Holder(const std::string& offered, const std::string& path,
                     const std::string& digest) {
    std::lock_guard<std::mutex> guard(lock_);
    Load(offered);
    if (files_[offered][path] == digest) return offered;
    for (const auto& entry : fs::directory_iterator(dir_)) {
      const std::string name = entry.path().filename().string();
      Load(name);
      const auto found = files_[name].find(path);
      if (found != files_[name].end() && found->second == digest) return name;
    }
    return "";
  }

 private:
  void Load(const std::string& version) {
    if (files_.count(version)) return;
    std::map<std::string, std::string>& files = files_[version];
    Package package;
    std::string error;
    if (!LoadPackage(dir_ + "/" + version, &package, &error)) return;
    for (const PackageModule& m : package.modules) {
      Sha256Digest digest;
      uint64_t size = 0;
      if (Sha256OfFile(m.source_path.c_str(), &digest, &size)) {
        files[m.folder_part + m.file_part] = Hex(digest);
      }
    }
  }

  const std::string dir_;
  std::mutex lock_;
  std::map<std::string, std::map<std::string, std::string>> files_;
};

struct Outcome {
  std::string result = "failed";  // ok, mixed, corrupt, failed
  std::string version;
  std::string why;
  int reconnects = 0;
  size_t files = 0;
};

// One download connection's worth: asks for `pending` and moves each file that completes into
// `files`. False when the connection failed or the download was refused (`refused` then set).
bool DownloadSome(const ListenAddress& download, std::map<std::string, ModuleRecord>* pending,
                  std::map<std::string, std::string>* files, bool* refused) {
  TestClient client;
  if (!client.Link(download)) return false;
  std::vector<ModuleRecord> records;
  for (const auto& [name, record] : *pending) records.push_back(record);
  if (!client.RequestModules(records)) return false;
  std::map<std::string, std::string> partial;
  while (!pending->empty()) {
    std::vector<uint8_t> reply;
    MessageHeader header;
    if (!client.Receive(&reply, &header)) return false;
    if (header.Code != kMsgFileDownloadRsp) continue;
    if (header.ErrorCode != 0) {
      *refused = true;
      return false;
    }
    if (!RecordsFit(header, reply.size(), kFileChunkRecordSize)) return false;
    for (size_t i = 0; i < header.RecordCount; ++i) {
      const FileChunkRecord r =
          DecodeFileChunkRecord(&reply[kMessageHeaderSize + i * header.RecordSize]);
      if (r.DataLength < 0 || r.DataLength > static_cast<int32_t>(kChunkDataSize)) return false;
      const std::string path = std::string(r.Folder) + r.FileName;
      partial[path].append(reinterpret_cast<const char*>(r.Data),
                           static_cast<size_t>(r.DataLength));
      if (r.Last) {
        (*files)[path] = std::move(partial[path]);
        partial.erase(path);
        pending->erase(r.ModuleName);
      }
    }
  }
  return true;
}

Outcome Install(const ListenAddress& update, const std::string& number, Versions* versions) {
  Outcome out;
  UpdateReply reply;
  std::vector<ModuleRecord> records;
  bool checked = false;
  for (int i = 0; i < kMaxConnects && !checked; ++i) {
    records.clear();
    checked = CheckExchange(update, number, &reply, &records) && reply.proceed;
    if (!checked) std::this_thread::sleep_for(kPause);
  }
  if (!checked) {
    out.why = "no update check";
    return out;
  }
  out.version = std::to_string(reply.part3) + "." + std::to_string(reply.part4);
  std::map<std::string, ModuleRecord> pending;
  for (const ModuleRecord& r : records) {
    if (r.Kind != 'D') pending[std::string(r.Name, strnlen(r.Name, sizeof r.Name))] = r;
  }
  const ListenAddress download{reply.download_host,
                               static_cast<uint16_t>(reply.download_port)};
  std::map<std::string, std::string> files;
  for (int i = 0; i < kMaxConnects && !pending.empty(); ++i) {
    bool refused = false;
    if (DownloadSome(download, &pending, &files, &refused)) break;
    if (refused) {
      out.why = "download refused";
      return out;
    }
    ++out.reconnects;
    std::this_thread::sleep_for(kPause);
  }
  if (!pending.empty()) {
    out.why = std::to_string(pending.size()) + " file(s) never came";
    return out;
  }
  out.files = files.size();
  out.result = "ok";
  for (const auto& [path, bytes] : files) {
    const std::string digest =
        Hex(Sha256Of(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()));
    const std::string holder = versions->Holder(out.version, path, digest);
    if (holder == out.version) continue;
    out.result = holder.empty() ? "corrupt" : "mixed";
    out.why = path + (holder.empty() ? " is no version's" : " is " + holder + "'s");
    break;
  }
  return out;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 6) {
    fprintf(stderr, "usage: qb_rolling_soak_client UPDATE_ADDR:PORT PACKAGE_NUMBER WORKERS "
                    "VERSIONS_DIR STOP_FILE\n");
    return 2;
  }
  ListenAddress update;
  if (!ParseListenAddress(argv[1], 0, &update)) {
    fprintf(stderr, "bad address %s\n", argv[1]);
    return 2;
  }
  const std::string number = argv[2];
  const int workers = std::atoi(argv[3]);
  Versions versions(argv[4]);
  const std::string stop = argv[5];
  std::mutex print;
  std::map<std::string, int> totals;
  std::map<std::string, int> by_version;
  int reconnects = 0;
  std::vector<std::thread> threads;
  for (int w = 0; w < workers; ++w) {
    threads.emplace_back([&, w] {
      for (int n = 0; !fs::exists(stop); ++n) {
        const Outcome o = Install(update, number, &versions);
        std::lock_guard<std::mutex> guard(print);
        printf("install %d.%d %s version=%s reconnects=%d files=%zu%s%s\n", w, n,
               o.result.c_str(), o.version.c_str(), o.reconnects, o.files,
               o.why.empty() ? "" : " why=", o.why.c_str());
        ++totals[o.result];
        if (o.result == "ok") ++by_version[o.version];
        reconnects += o.reconnects;
      }
    });
  }
  for (std::thread& t : threads) t.join();
  int all = 0;
  for (const auto& [result, count] : totals) all += count;
  printf("totals installs=%d ok=%d mixed=%d corrupt=%d failed=%d reconnects=%d", all,
         totals["ok"], totals["mixed"], totals["corrupt"], totals["failed"], reconnects);
  for (const auto& [version, count] : by_version) printf(" ok_%s=%d", version.c_str(), count);
  printf("\n");
  return totals["ok"] == all ? 0 : 1;
}
