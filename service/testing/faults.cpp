// The fault plan of a FaultConfig: every fault the test build of the service can inject.
#include "service/testing/faults.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>

#include "service/frame_io.h"
#include "service/service_log.h"

namespace {

// The garbage frame goes out at once; whatever follows waits this long, so that an installer
// reads the garbage on its own before the real reply arrives.
constexpr auto kGarbagePause = std::chrono::milliseconds(200);

// Whatever `out` gets from now waits until `path` exists (a test creates it when it is ready).
void HoldUntilFileExists(Outbox& out, const std::string& path) {
  out.HoldUntilReleased([path] { return access(path.c_str(), F_OK) == 0; });
}

// The faults of one connection.
class ConnectionFaults : public SessionFaults {
 public:
  ConnectionFaults(const FaultConfig& config, std::atomic<int64_t>* download_links,
                   const ConnectionInfo& info)
      : f_(config), download_links_(download_links), info_(info) {}

  void OnOpen(Outbox& out) override {
    if (!f_.garbage_first || info_.kind == EndpointKind::kQuery) return;
    out.Append(GarbageFrame());
    out.HoldFrom(Outbox::Clock::now() + kGarbagePause);
    ServiceLogF("%s sent a garbage frame on purpose", info_.Tag().c_str());
  }

  bool OnAuthentLink(Outbox& out) override {
    const bool update = info_.kind == EndpointKind::kUpdate;
    if (!update) download_link_ = ++*download_links_;
    if (update ? f_.refuse_auth_update : f_.refuse_auth_download) return false;
    // An installer coming back after a loss.
    if (download_link_ > 1 && !f_.hold_reauth_until.empty()) {
      HoldUntilFileExists(out, f_.hold_reauth_until);
      ServiceLogF("%s authentication link reply held on purpose until %s exists",
                  info_.Tag().c_str(), f_.hold_reauth_until.c_str());
    }
    return true;
  }

  bool RefuseLogin() override { return f_.refuse_login; }

  bool RefuseUpdate(int32_t* code) override {
    if (!f_.refuse_update) return false;
    *code = f_.refuse_update_code;
    return true;
  }

  size_t ModuleListMessages(size_t needed) override {
    return std::max<size_t>(needed, static_cast<size_t>(std::max(f_.split_module_messages, 0)));
  }

  void AfterModuleList(Outbox& out) override {
    if (f_.drop_check_after_list) out.CloseAfterFlush("dropped on purpose after the module list");
  }

  DownloadFaults OnModuleDownload() override {
    DownloadFaults d;
    // Cuts at a chunk count need the messages built one by one.
    d.uncached = f_.drop_after_chunks >= 0 || f_.stall_after_chunks >= 0;
    d.corrupt_module = f_.corrupt_module;
    d.grow_module = f_.grow_module;
    d.hold_last_file = !f_.hold_last_file_until.empty();
    return d;
  }

  void BeforeHeldFile(Outbox& out) override {
    HoldUntilFileExists(out, f_.hold_last_file_until);
    ServiceLogF("%s last module file held on purpose until %s exists", info_.Tag().c_str(),
                f_.hold_last_file_until.c_str());
  }

  ChunkCut BeforeChunks(int64_t chunks_sent) override {
    ChunkCut cut;
    if (f_.stall_after_chunks >= 0) {
      if (chunks_sent >= f_.stall_after_chunks) {
        cut.kind = ChunkCut::kStall;
        cut.reason = "stalled on purpose after " + std::to_string(f_.stall_after_chunks) + " chunks";
        return cut;
      }
      cut.max_records = static_cast<size_t>(f_.stall_after_chunks - chunks_sent);
    }
    const bool dropped_here =
        f_.drop_after_chunks >= 0 &&
        (f_.drop_connections < 0 || download_link_ <= f_.drop_connections);
    if (dropped_here) {
      if (chunks_sent >= f_.drop_after_chunks) {
        cut.kind = ChunkCut::kDrop;
        cut.reason = "dropped on purpose after " + std::to_string(f_.drop_after_chunks) + " chunks";
        return cut;
      }
      cut.max_records =
          std::min(cut.max_records, static_cast<size_t>(f_.drop_after_chunks - chunks_sent));
    }
    return cut;
  }

  bool CloseSessionAfterDownload() override { return f_.drop_all_after_download; }

  uint16_t OnQueryReply(uint16_t code, Outbox& out) override {
    const std::string host = info_.local.substr(0, info_.local.find(':'));
    if (f_.query_delay_ms > 0 &&
        (f_.query_delay_address.empty() || f_.query_delay_address == host)) {
      out.HoldFrom(Outbox::Clock::now() + std::chrono::milliseconds(f_.query_delay_ms));
    }
    return f_.query_wrong_code ? static_cast<uint16_t>(code + 1) : code;
  }

 private:
  const FaultConfig& f_;
  std::atomic<int64_t>* download_links_;
  ConnectionInfo info_;
  // Which download connection of the service this is, by its authentication link (1 for the
  // first); 0 on the other endpoints and before the link.
  int64_t download_link_ = 0;
};

class ConfiguredFaults : public FaultPlan {
 public:
  explicit ConfiguredFaults(const FaultConfig& config) : config_(config) {}
  std::string Describe() const override { return config_.Describe(); }
  std::unique_ptr<SessionFaults> ForConnection(const ConnectionInfo& info) override {
    return std::make_unique<ConnectionFaults>(config_, &download_links_, info);
  }

 private:
  const FaultConfig config_;
  // Authentication links asked for on the download endpoint, counted by every worker loop.
  std::atomic<int64_t> download_links_{0};
};

}  // namespace

std::string FaultConfig::Describe() const {
  std::string text;
  auto add = [&](const std::string& part) { text += (text.empty() ? "" : ", ") + part; };
  if (refuse_update) add("refuse-update " + std::to_string(refuse_update_code));
  if (refuse_login) add("refuse-login");
  if (refuse_auth_update) add("refuse-auth on update");
  if (refuse_auth_download) add("refuse-auth on download");
  if (drop_after_chunks >= 0) add("drop-after " + std::to_string(drop_after_chunks));
  if (drop_connections >= 0) add("drop-connections " + std::to_string(drop_connections));
  if (!hold_reauth_until.empty()) add("hold-reauth-until " + hold_reauth_until);
  if (!hold_last_file_until.empty()) add("hold-last-file-until " + hold_last_file_until);
  if (stall_after_chunks >= 0) add("stall-after " + std::to_string(stall_after_chunks));
  if (drop_check_after_list) add("drop-check-after-list");
  if (drop_all_after_download) add("drop-all-after-download");
  if (garbage_first) add("garbage-first");
  if (split_module_messages > 0) add("split-modules " + std::to_string(split_module_messages));
  if (query_delay_ms > 0) {
    add("query-delay " + std::to_string(query_delay_ms) + " ms" +
        (query_delay_address.empty() ? "" : " on " + query_delay_address));
  }
  if (query_wrong_code) add("query-wrong-code");
  if (!corrupt_module.empty()) add("corrupt-module " + corrupt_module);
  if (!grow_module.empty()) add("grow-module " + grow_module);
  return text;
}

std::shared_ptr<FaultPlan> MakeFaultPlan(const FaultConfig& config) {
  if (!config.any()) return nullptr;
  return std::make_shared<ConfiguredFaults>(config);
}
