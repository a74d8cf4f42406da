// Requests of the update and download endpoints and the replies they get.
#include "service/session_handler.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <utility>
#include <vector>

#include "wire/message.h"
#include "service/frame_io.h"
#include "service/requests.h"
#include "service/service_log.h"

namespace {

const CipherContext& BuiltInContext() {
  static const CipherContext context = [] {
    CipherContext c;
    c.SetKey(kBuiltInKey, sizeof(kBuiltInKey) - 1);
    return c;
  }();
  return context;
}

std::string CodeText(uint16_t code) {
  char text[8];
  snprintf(text, sizeof(text), "0x%04X", code);
  return text;
}

std::string Megabytes(uint64_t bytes) {
  char text[32];
  snprintf(text, sizeof(text), "%.1f MB", static_cast<double>(bytes) / 1e6);
  return text;
}

}  // namespace

SessionHandler::SessionHandler(const ServiceState& state, ServiceMetrics& metrics,
                               const ConnectionInfo& info)
    : state_(state),
      metrics_(metrics),
      packages_(state.packages.Get()),
      info_(info),
      update_endpoint_(info.kind == EndpointKind::kUpdate),
      faults_(FaultsFor(state.faults.get(), info)) {}

void SessionHandler::OnOpen(Outbox& out) { faults_->OnOpen(out); }

bool SessionHandler::OnReceive(const uint8_t* data, size_t length, size_t* consumed,
                               Outbox& out, std::string* reason) {
  // A stalled connection answers nothing any more.
  if (stalled_) {
    *consumed = length;
    return true;
  }
  size_t pos = 0;
  // One module check may queue megabytes: the next request waits until they drained.
  // Nothing is answered once a refusal is on its way out.
  while (pos < length && !out.full() && !out.close_after_flush()) {
    DecodedFrame frame;
    FrameRead read =
        ReadFrame(data + pos, length - pos, BuiltInContext(), client_send_, &frame, reason);
    if (read == FrameRead::kIncomplete) break;
    if (read == FrameRead::kBad) return false;
    pos += frame.frame_length;
    if (!Handle(frame.type, frame.message, frame.message_length, out, reason)) return false;
  }
  if (out.close_after_flush()) pos = length;
  *consumed = pos;
  return true;
}

bool SessionHandler::Handle(char type, const uint8_t* message, size_t length, Outbox& out,
                            std::string* reason) {
  MessageHeader header;
  if (!DecodeMessageHeader(message, length, &header)) {
    *reason = "message of " + std::to_string(length) + " bytes is shorter than its header";
    return false;
  }
  const uint16_t code = header.Code;
  metrics_.CountIn(code);
  // The authentication link and the heartbeat travel under the built-in key, all else under
  // the session key.
  const bool fixed_key = code == kMsgAuthentLinkRequest || code == kMsgHeartbeat;
  if (type != (fixed_key ? '4' : '6')) {
    *reason = CodeText(code) + " in a type " + type + " frame";
    return false;
  }
  if (stage_ == Stage::kLinkRefused) {
    *reason = CodeText(code) + " after a refused authentication link";
    return false;
  }
  if (code == kMsgAuthentLinkRequest) {
    if (stage_ != Stage::kAwaitingLink) {
      *reason = "a second authentication link request";
      return false;
    }
    return OnAuthentLink(message, length, out, reason);
  }
  if (stage_ == Stage::kAwaitingLink) {
    *reason = CodeText(code) + " before the authentication link";
    return false;
  }
  if (code == kMsgHeartbeat) {
    if (!ParseHeartbeat(message, length, reason)) return false;
    metrics_.CountOut(kMsgHeartbeatAnswer);
    return AppendFrame(out, HeartbeatAnswer(), '4', &BuiltInContext());
  }
  if (code == kMsgLoginRequest) return OnLogin(message, length, out, reason);
  if (update_endpoint_) {
    if (code == kMsgQryCheckUpdate || code == kMsgQryCheckModule) {
      if (!logged_in_) {
        *reason = CodeText(code) + " without a login";
        return false;
      }
      return code == kMsgQryCheckUpdate ? OnUpdateCheck(message, length, out, reason)
                                        : OnModuleCheck(message, length, out, reason);
    }
  } else {
    if (code == kMsgDownloadModule) return OnModuleDownload(message, length, out, reason);
    if (code == kMsgDownloadRanges && state_.ranges) {
      return OnModuleRanges(message, length, out, reason);
    }
    if (code == kMsgDownloadBaseZip) return OnBaseZip(message, length, out, reason);
  }
  *reason = "unexpected message " + CodeText(code) + " on the " + EndpointName(info_.kind) +
            " endpoint";
  return false;
}

bool SessionHandler::Reply(Outbox& out, const std::vector<uint8_t>& message,
                           std::string* reason) {
  if (AppendFrame(out, message, '6', &client_receive_)) {
    MessageHeader header;
    if (DecodeMessageHeader(message.data(), message.size(), &header)) {
      metrics_.CountOut(header.Code);
    }
    return true;
  }
  *reason = "a reply did not fit one frame";
  return false;
}

bool SessionHandler::OnAuthentLink(const uint8_t* message, size_t length, Outbox& out,
                                   std::string* reason) {
  if (!ParseAuthentLinkRequest(message, length, reason)) return false;
  if (!faults_->OnAuthentLink(out)) {
    stage_ = Stage::kLinkRefused;
    ServiceLogF("%s authentication link refused on purpose", info_.Tag().c_str());
    metrics_.CountRefused("link_refused");
    metrics_.CountOut(kMsgAuthentLinkResponse);
    return AppendFrame(out, AuthentLinkReply(kErrorRefused, nullptr, state_.heartbeat_interval),
                       '4', &BuiltInContext());
  }
  SessionKeyTexts keys = NewSessionKeys();
  client_send_.SetKey(keys.send, 16);
  client_receive_.SetKey(keys.receive, 16);
  stage_ = Stage::kLinked;
  ServiceLogF("%s authentication link: session keys issued", info_.Tag().c_str());
  metrics_.CountOut(kMsgAuthentLinkResponse);
  return AppendFrame(out, AuthentLinkReply(0, &keys, state_.heartbeat_interval), '4',
                     &BuiltInContext());
}

bool SessionHandler::OnLogin(const uint8_t* message, size_t length, Outbox& out,
                             std::string* reason) {
  LoginRequest login;
  if (!ParseLoginRequest(message, length, &login, reason)) return false;
  const bool refused_on_purpose = faults_->RefuseLogin();
  bool accepted = !refused_on_purpose && login.user == state_.account_user &&
                  login.password == state_.account_password;
  logged_in_ = accepted;
  if (!accepted) metrics_.CountRefused("login_refused");
  ServiceLogF("%s login \"%s\" %s", info_.Tag().c_str(), login.user.c_str(),
              accepted                      ? "accepted"
              : refused_on_purpose          ? "refused on purpose"
                                            : "refused");
  return Reply(out, LoginReply(accepted ? 0 : kErrorRefused, login.user), reason);
}

bool SessionHandler::OnUpdateCheck(const uint8_t* message, size_t length, Outbox& out,
                                   std::string* reason) {
  UpdateCheckRequest request;
  if (!ParseUpdateCheckRequest(message, length, &request, reason)) return false;
  const Package* package = packages_->Find(request.package_number);
  int32_t error = 0;
  bool proceed = true;
  const char* outcome = "proceed";
  if (!package) {
    error = kErrorUnknownPackage;
    proceed = false;
    outcome = "unknown package";
    metrics_.CountRefused("unknown_package");
  } else if (faults_->RefuseUpdate(&error)) {
    proceed = false;
    outcome = "refused on purpose";
    metrics_.CountRefused("update_refused");
  } else if (request.part3 == package->version_part3 && request.part4 == package->version_part4) {
    error = kErrorUpToDate;
    proceed = false;
    outcome = "already up to date";
  }
  ServiceLogF("%s update check %s %d.%d -> %d.%d: %s", info_.Tag().c_str(),
              request.package_number.c_str(), request.part3, request.part4,
              package ? package->version_part3 : 0, package ? package->version_part4 : 0,
              outcome);
  return Reply(out,
               UpdateCheckReply(error, request.package_number,
                                package ? package->version_part3 : 0,
                                package ? package->version_part4 : 0, state_.download_host,
                                state_.download_port, proceed),
               reason);
}

bool SessionHandler::OnModuleCheck(const uint8_t* message, size_t length, Outbox& out,
                                   std::string* reason) {
  ModuleCheckRequest request;
  if (!ParseModuleCheckRequest(message, length, &request, reason)) return false;
  const Package* package = packages_->Find(request.package_number);
  if (!package) {
    *reason = "module check for unknown package " + request.package_number;
    return false;
  }
  if (request.part3 != package->version_part3 || request.part4 != package->version_part4) {
    *reason = "module check for version " + std::to_string(request.part3) + "." +
              std::to_string(request.part4) + " which is not published";
    return false;
  }
  // Messages of at most 1000 records (well inside one frame), or as many as asked for.
  const size_t n = package->modules.size();
  const size_t messages = faults_->ModuleListMessages(std::max<size_t>((n + 999) / 1000, 1));
  for (size_t i = 0; i < messages; ++i) {
    size_t first = n * i / messages;
    size_t end = n * (i + 1) / messages;
    if (!Reply(out, ModuleCheckReply(package->modules, first, end - first, i + 1 == messages),
               reason)) {
      return false;
    }
  }
  ServiceLogF("%s module check %s: %zu modules in %zu message(s)", info_.Tag().c_str(),
              request.package_number.c_str(), n, messages);
  faults_->AfterModuleList(out);
  return true;
}

bool SessionHandler::OnModuleDownload(const uint8_t* message, size_t length, Outbox& out,
                                      std::string* reason) {
  (void)out;
  std::vector<ModuleRequest> requests;
  if (!ParseModuleDownloadRequest(message, length, kMaxModuleDownloadRecords, &requests,
                                  reason)) {
    return false;
  }
  std::vector<const PackageModule*> modules;
  std::vector<const Package*> owners;
  std::vector<bool> hold_all(packages_->packages().size(), true);
  uint64_t bytes = 0;
  for (const ModuleRequest& r : requests) {
    const Package* owner = nullptr;
    const PackageModule* m =
        packages_->FindModule(r.package_key, r.name, r.num1, r.num2, &owner, &hold_all);
    if (!m) {
      return RefuseDownload("request for unknown module \"" + r.name + "\" (key \"" +
                                r.package_key + "\", " + std::to_string(r.num1) + "_" +
                                std::to_string(r.num2) + ")",
                            "unknown_module", out, reason);
    }
    // A file changed in place since its version was loaded holds bytes its record does not
    // name; the version can no longer be served.
    if (!StillTheFileLoaded(m->source_path, m->identity)) {
      return RefuseDownload("module \"" + r.name + "\": " + m->source_path +
                                " changed since its version was loaded",
                            "changed_module", out, reason);
    }
    modules.push_back(m);
    owners.push_back(owner);
    bytes += m->size;
  }
  // Files and bytes by version, for the operators: the newest version that holds every file
  // asked for (an installer asks for one version's records), else the one each was found in.
  const Package* holding_all = nullptr;
  for (size_t i = hold_all.size(); i-- > 0 && holding_all == nullptr;) {
    if (hold_all[i]) holding_all = &packages_->packages()[i];
  }
  std::map<const Package*, std::pair<uint64_t, uint64_t>> by_version;
  for (size_t i = 0; i < modules.size(); ++i) {
    const Package* version = holding_all != nullptr ? holding_all : owners[i];
    ++by_version[version].first;
    by_version[version].second += modules[i]->size;
  }
  for (const auto& [version, counts] : by_version) {
    metrics_.CountVersionDownload(version->number, version->version_part3, version->version_part4,
                                  counts.first, counts.second);
  }
  ServiceLogF("%s module download: %zu files, %s", info_.Tag().c_str(), modules.size(),
              Megabytes(bytes).c_str());
  module_files_queued_ = true;
  const DownloadFaults faults = faults_->OnModuleDownload();
  MessageCache* cache = faults.uncached ? nullptr : packages_->cache();
  if (!faults.hold_last_file || modules.empty()) {
    return Queue(Transfer::Modules(std::move(modules), cache, faults.corrupt_module,
                                   faults.grow_module),
                 reason);
  }
  // The last file in a transfer of its own, which the faults hold back.
  const PackageModule* last = modules.back();
  modules.pop_back();
  if (!modules.empty() &&
      !Queue(Transfer::Modules(std::move(modules), cache, faults.corrupt_module,
                               faults.grow_module),
             reason)) {
    return false;
  }
  std::unique_ptr<Transfer> held =
      Transfer::Modules({last}, cache, faults.corrupt_module, faults.grow_module);
  held_transfer_ = held.get();
  return Queue(std::move(held), reason);
}

bool SessionHandler::OnModuleRanges(const uint8_t* message, size_t length, Outbox& out,
                                    std::string* reason) {
  std::vector<RangeRequest> requests;
  if (!ParseModuleRangeRequest(message, length, &requests, reason)) return false;
  std::vector<Transfer::Range> ranges;
  uint64_t bytes = 0;
  for (const RangeRequest& r : requests) {
    const PackageModule* m = packages_->FindModule(r.module.package_key, r.module.name,
                                                   r.module.num1, r.module.num2);
    if (!m) {
      return RefuseDownload("ranges of unknown module \"" + r.module.name + "\" (key \"" +
                                r.module.package_key + "\", " + std::to_string(r.module.num1) +
                                "_" + std::to_string(r.module.num2) + ")",
                            "unknown_module", out, reason);
    }
    if (!StillTheFileLoaded(m->source_path, m->identity)) {
      return RefuseDownload("module \"" + r.module.name + "\": " + m->source_path +
                                " changed since its version was loaded",
                            "changed_module", out, reason);
    }
    if (uint64_t{r.offset} + r.length > m->size) {
      failure_ = "bad_range";
      *reason = "a range past the end of module \"" + r.module.name + "\" (" +
                std::to_string(r.offset) + "+" + std::to_string(r.length) + " of " +
                std::to_string(m->size) + " bytes)";
      return false;
    }
    ranges.push_back({m, r.offset, r.length});
    bytes += r.length;
  }
  metrics_.CountRangeRequest(ranges.size(), bytes);
  // The first few ranges named, so that the log shows which parts of which files went out.
  std::string named;
  for (size_t i = 0; i < ranges.size() && i < 8; ++i) {
    named += (i == 0 ? ": " : ", ") + ranges[i].module->name + "@" +
             std::to_string(ranges[i].offset) + "+" + std::to_string(ranges[i].length);
  }
  if (ranges.size() > 8) named += ", ...";
  ServiceLogF("%s module ranges: %zu ranges, %s%s", info_.Tag().c_str(), ranges.size(),
              Megabytes(bytes).c_str(), named.c_str());
  module_files_queued_ = true;
  return Queue(Transfer::Ranges(std::move(ranges)), reason);
}

bool SessionHandler::RefuseDownload(const std::string& why, const char* metric, Outbox& out,
                                    std::string* reason) {
  // Said before the close, so that the installer can tell the user why; nothing of another
  // version is sent instead.
  failure_ = metric;
  refused_with_reply_ = true;
  ServiceLogF("%s module download refused: %s", info_.Tag().c_str(), why.c_str());
  if (!Reply(out, DownloadRefusal(kErrorModuleNotServed), reason)) return false;
  out.CloseAfterFlush(why);
  return true;
}

bool SessionHandler::OnBaseZip(const uint8_t* message, size_t length, Outbox& out,
                               std::string* reason) {
  (void)out;
  std::string name;
  if (!ParseBaseZipRequest(message, length, &name, reason)) return false;
  const Package* owner = packages_->BaseArchiveOwner();
  if (name != "SystemDepend.zip") {
    *reason = "request for an unknown base archive \"" + name + "\"";
    return false;
  }
  if (!owner) {
    ServiceLogF("%s base archive asked for, none published: sending an empty one",
                info_.Tag().c_str());
    return Queue(Transfer::BaseArchive("", name), reason);
  }
  ServiceLogF("%s base archive: %s", info_.Tag().c_str(),
              Megabytes(owner->base_archive_size).c_str());
  return Queue(Transfer::BaseArchive(owner->base_archive_path, name), reason);
}

bool SessionHandler::Queue(std::unique_ptr<Transfer> transfer, std::string* reason) {
  if (!install_started_) {
    install_started_ = true;
    metrics_.CountInstallStarted();
  }
  if (!transfer_) {
    transfer_ = std::move(transfer);
    return true;
  }
  if (waiting_.size() >= kMaxQueuedTransfers) {
    failure_ = "too_many_requests";
    *reason = "too many download requests at once";
    return false;
  }
  waiting_.push_back(std::move(transfer));
  return true;
}

bool SessionHandler::OnRoom(Outbox& out, std::string* reason) {
  if (!transfer_) return true;
  if (transfer_.get() == held_transfer_) {
    held_transfer_ = nullptr;
    faults_->BeforeHeldFile(out);
  }
  const ChunkCut cut = faults_->BeforeChunks(chunks_sent_);
  if (cut.kind == ChunkCut::kStall) {
    stalled_ = true;
    ServiceLogF("%s %s", info_.Tag().c_str(), cut.reason.c_str());
    return true;
  }
  if (cut.kind == ChunkCut::kDrop) {
    out.CloseAfterFlush(cut.reason);
    failure_ = "dropped_on_purpose";
    transfer_.reset();
    waiting_.clear();
    held_transfer_ = nullptr;
    return true;
  }
  const size_t max_records = std::min<size_t>(Transfer::kChunksPerMessage, cut.max_records);
  Transfer::Next next;
  uint64_t before = transfer_->chunks();
  if (!transfer_->NextPiece(max_records, &next, reason)) {
    failure_ = "file_error";
    return false;
  }
  chunks_sent_ += static_cast<int64_t>(transfer_->chunks() - before);
  if (next.payload) {
    if (!AppendCompressedFrame(out, next.payload, next.payload_length, client_receive_)) {
      *reason = "a reply did not fit one frame";
      return false;
    }
    metrics_.CountOut(transfer_->code());
  } else if (!Reply(out, next.message, reason)) {
    return false;
  }
  if (transfer_->done()) {
    ServiceLogF("%s %s sent: %zu file(s), %s in %llu chunks", info_.Tag().c_str(),
                transfer_->code() == kMsgFileDownloadRsp ? "module files" : "base archive",
                transfer_->files_total(), Megabytes(transfer_->data_bytes()).c_str(),
                static_cast<unsigned long long>(transfer_->chunks()));
    // The download is over once module files are out and nothing more is asked for; a base
    // archive alone is only its first stage.
    const bool module_files = transfer_->code() == kMsgFileDownloadRsp;
    if (module_files) module_files_sent_ += transfer_->files_total();
    transfer_.reset();
    if (!waiting_.empty()) {
      transfer_ = std::move(waiting_.front());
      waiting_.pop_front();
    } else if (module_files && faults_->CloseSessionAfterDownload()) {
      closes_session_ = true;
      out.CloseAfterFlush("dropped on purpose with its session after the download");
    }
  }
  return true;
}

void SessionHandler::OnAllSent() {
  // A base archive alone is only the first stage of an install.
  if (!install_started_ || install_done_ || !module_files_queued_ || transfer_ ||
      !failure_.empty()) {
    return;
  }
  install_done_ = true;
  metrics_.CountInstallCompleted(module_files_sent_);
  ServiceLogF("%s install complete: %llu module file(s) sent", info_.Tag().c_str(),
              static_cast<unsigned long long>(module_files_sent_));
}

void SessionHandler::OnClose(CloseCause cause, size_t unsent) {
  (void)unsent;
  std::string why = failure_;
  if (cause == CloseCause::kRefused && why.empty()) why = "bad_request";
  if (cause == CloseCause::kTooLarge) why = "too_large";
  // A file that failed is the service's fault, not a refused request.
  const bool refused = cause == CloseCause::kRefused || cause == CloseCause::kTooLarge ||
                       refused_with_reply_;
  if (refused && why != "file_error") metrics_.CountRefused(why);
  if (install_started_ && !install_done_) {
    metrics_.CountInstallFailed(why.empty() ? CloseCauseName(cause) : why);
  }
}
