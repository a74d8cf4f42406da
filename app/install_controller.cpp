// The install controller's reactions. Everything here runs on the controller's thread (the
// window's); the clients reach it only through their messages.
#include "app/install_controller.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <set>
#include <string>
#include <utility>

#include "base/debug_output.h"
#include "base/file_system.h"
#include "base/package_manifest.h"
#include "core/install_log.h"
#include "core/message_text.h"
#include "install/failed_log.h"
#include "install/install_records.h"
#include "install/rollback_floor.h"
#include "install/system.h"
#include "net/host_resolve.h"
#include "wire/records.h"

namespace {

constexpr int kHostAttempts = 3;
constexpr uint32_t kWatchdogTickMs = 1000;

// The file a package check failed at, and why: in the log and as debug output.
void LogCheckFailure(const PackageCheckFailure& failure) {
  const std::string line =
      "OnInstall" QB_COLON "Package Check Faile " + failure.file + ": " + failure.reason;
  WriteLog(line.c_str());
  DebugOutput((line + "\r\n").c_str());
}

}  // namespace

InstallController::InstallController(ControllerConfig config, InstallSteps* steps)
    : config_(std::move(config)), steps_(steps) {}

InstallController::~InstallController() {
  StopReuse();
  // The program ends only once the replaced install is deleted.
  if (cleanup_.joinable()) cleanup_.join();
  // The clients' destructors end their receive threads before anything goes.
  download_.reset();
  check_.reset();
  staged_.reset();
  hashes_.reset();
}

const char* InstallController::FailureText(int entry) const {
  return GetMessageText(config_.context.LanguageId, entry);
}

std::string InstallController::ConnectionFailureText() const {
  return std::string(FailureText(kTextInstallFail)) + "," + FailureText(kTextServerLinkFail);
}

void InstallController::OnCreate(InstallView* view, InstallTimers* timers, ClientSink* sink) {
  view_ = view;
  timers_ = timers;
  sink_ = sink;
  const InstallContext& ctx = config_.context;
  check_ = std::make_unique<ProcessCheck>(sink_, ctx.PackageNumber, ctx.InstalledVersion);
  if (checked()) hashes_ = std::make_unique<StagedHashes>();
  staged_ = std::make_unique<StagedPackage>(ctx.StagingDir, ctx.DependDir, hashes_.get(),
                                            config_.unattended ? &abort_prompt_ : nullptr);
  // Before anything else touches the folders: a replace cut short at the last run is settled, so
  // that the old or the new install is in place before anyone clicks.
  const std::vector<std::string> recovered = RecoverInstallFolders(ctx.InstallDir);
  std::string held;
  const bool staging_cleared = !PathExists(ctx.StagingDir.c_str()) ||
                               DeletePath(ctx.StagingDir.c_str(), &held);
  OpenInstallLog(ctx.StagingDir);
  for (const std::string& line : recovered) WriteLog(("OnCreate" QB_COLON + line).c_str());
  if (!staging_cleared) {
    WriteLog(("OnCreate" QB_COLON "cannot delete " + ctx.StagingDir + " (" + held + ")").c_str());
  }
  // Once the window is up (and shown, with /silent): as if "Install" had been clicked.
  if (config_.unattended && !timers_->Start(kStartTimerId, 0)) OnButtonClick();
}

bool InstallController::CloseBoxWhileInstalling() const {
  return CloseActionFor(phase_) == CloseAction::FailThenClose;
}

void InstallController::OnButtonClick() {
  if (phase_ != InstallPhase::Ready) return;
  phase_ = InstallPhase::Checking;
  view_->SetState(WindowState::Installing);
  view_->SetFilesDone(0);
  view_->SetFilesTotal(0);

  std::srand(static_cast<unsigned>(std::time(nullptr)));
  const int start = std::rand() % kHostAttempts;
  const AccountRecord account = InstallerAccountRecord();
  const UpdateServers& servers = config_.update_servers;
  bool connected = false;
  for (int i = 0; i < kHostAttempts && !connected; ++i) {
    char host[80] = {};
    std::snprintf(host, sizeof host, servers.HostPattern, ((start + i) % kHostAttempts) + 1);
    char address[16] = {};
    if (!ResolveHostIPv4(host, address, sizeof address)) continue;
    connected = check_->Connect(address, servers.Port, &account);
    if (!connected) ++refused_connects_;
  }
  if (connected) {
    WriteLog("OnButtonClick" QB_COLON "Connect Success");
    view_->SetFilesDone(0);
    ArmWatchdog();
  } else {
    WriteLog("OnButtonClick" QB_COLON "Connect Faile");
    no_server_ = true;
    sink_->Post(UM_LOGIN_FAIL, 0);
  }
}

void InstallController::StartDownload(UpdateOffer offer) {
  offer_ = std::move(offer);
  phase_ = InstallPhase::Downloading;
  steps_->StopRunningTerminal();
  download_ = std::make_unique<ProcessDL>(sink_, config_.context.StagingDir, &offer_.Modules,
                                          staged_.get());
  ConnectDownload();
  WriteLog("OnModuleDL" QB_COLON "Connect");
}

void InstallController::ConnectDownload() {
  const uint16_t port = static_cast<uint16_t>(offer_.DownloadPort & 0xFFFF);
  // Without a port the attempt fails, which reaches the controller as UM_DL_DISCONNECT through
  // the client.
  const AccountRecord account = InstallerAccountRecord();
  download_->Connect(offer_.DownloadHost.c_str(), port, &account);
}

void InstallController::OnDownloadLost() {
  if (closing_ || reconnects_ >= kMaxReconnects) {
    if (!closing_) WriteLog("OnDLDisconnect" QB_COLON "no reconnection left");
    OnInstallFail(closing_ ? kExitCancelled : kExitNoServer, ConnectionFailureText().c_str());
    return;
  }
  ++reconnects_;
  const uint32_t pause = config_.reconnect_pause_ms << (reconnects_ - 1);
  phase_ = InstallPhase::Reconnecting;
  // Nothing is awaited during the pause; the watchdog watches the new connection once it is up.
  DisarmWatchdog();
  char text[100] = {};
  std::snprintf(text, sizeof text, "OnDLDisconnect" QB_COLON "Reconnect %d of %d in %u ms",
                static_cast<int>(reconnects_), kMaxReconnects, static_cast<unsigned>(pause));
  WriteLog(text);
  view_->ShowReconnecting(true);
  if (!timers_->Start(kReconnectTimerId, pause)) {
    OnInstallFail(kExitFailed, ConnectionFailureText().c_str());
  }
}

void InstallController::Reconnect() {
  phase_ = InstallPhase::Downloading;
  char text[100] = {};
  std::snprintf(text, sizeof text, "OnReconnect" QB_COLON "Connect %d", static_cast<int>(reconnects_));
  WriteLog(text);
  // A connect that fails reports UM_DL_DISCONNECT before it returns, which schedules the next
  // attempt (or fails the install): only a connection still standing is watched.
  ConnectDownload();
  if (phase_ == InstallPhase::Downloading) ArmWatchdog();
}

void InstallController::OnBaseDone(int32_t error_code) {
  if (error_code == 0) {
    view_->SetFilesTotal(static_cast<int32_t>(offer_.Modules.Count()));
    RequestDownload();
  } else {
    char text[100] = {};
    // The debug texts keep the name this step has always had in them.
    std::snprintf(text, sizeof text, "OnDLAuthentLink errorcode : %d", static_cast<int>(error_code));
    DebugOutput(text);
    // The sequence cannot go on; the user must not be left in Installing without a way out.
    OnInstallFail(kExitFailed);
  }
  DebugOutput("OnDLAuthentLink");
}

void InstallController::RequestDownload() {
  if (manifest_stage_ == ManifestStage::None && checked()) manifest_stage_ = ManifestStage::Waiting;
  if (manifest_stage_ == ManifestStage::Waiting) {
    if (download_->DownloadManifest()) return;
    // In already (its message is on its way), or a list without a manifest, which the check at
    // the end refuses: in the first case the rest waits for the manifest's check.
    bool listed = false;
    for (const ModuleRecord& module : offer_.Modules) {
      listed = listed || std::strncmp(module.Name, kManifestFileName, sizeof module.Name) == 0;
    }
    if (listed) return;
    manifest_stage_ = ManifestStage::Done;
  }
  // While the reuse runs nothing is asked for; its end asks for the rest.
  if (manifest_stage_ == ManifestStage::Reusing) return;
  download_->DownloadModule();
}

void InstallController::OnManifestIn() {
  const InstallContext& ctx = config_.context;
  PackageManifest manifest;
  PackageCheckFailure failure;
  if (!CheckPackageManifest(ctx.StagingDir + "\\" + kManifestFileName, CheckInput(), &manifest,
                            &failure)) {
    // Nothing else is downloaded for a version this program will not install.
    LogCheckFailure(failure);
    OnInstallFail(failure.downgrade ? kExitDowngrade : kExitPackageCheckFailed,
                  FailureText(kTextPackageCheckFailed));
    return;
  }
  // What the manifest lists is all that may be written, and no more of it than its size.
  std::map<std::string, uint64_t> sizes;
  for (const ManifestFile& file : manifest.files) {
    sizes.emplace(ctx.StagingDir + "\\" + file.path, file.size);
  }
  download_->LimitToManifest(std::move(sizes));
  if ((manifest.offers & kManifestOffersRanges) != 0) {
    // A file cut short by a lost connection is completed by a range: the modules of one file.
    std::map<std::string, uint64_t> files_of;
    for (const ManifestFile& file : manifest.files) ++files_of[file.module];
    std::set<std::string> one_file;
    for (const auto& [module, count] : files_of) {
      if (count == 1) one_file.insert(module);
    }
    download_->ResumeByRanges(std::move(one_file));
  }
  if (!PathExists((ctx.InstallDir + "\\" + kModuleInfoName).c_str())) {
    manifest_stage_ = ManifestStage::Done;
    if (phase_ == InstallPhase::Downloading) download_->DownloadModule();
    return;
  }
  // Hashing the install takes a while for a large one: off the controller's thread.
  manifest_stage_ = ManifestStage::Reusing;
  reuse_cancel_ = false;
  reuse_thread_ = std::thread([this, manifest] {
    const uint32_t start = timers_->NowMs();
    reuse_result_ = ReuseInstalledModules(manifest, config_.context.InstallDir,
                                          config_.context.StagingDir, kManifestFileName,
                                          &reuse_cancel_);
    // The files that changed, from the chunks the install holds; the rest of each asked for
    // by parts when the service answers such requests (its signed manifest says so).
    seed_result_ = SeedChangedModules(manifest, config_.context.InstallDir,
                                      config_.context.StagingDir, reuse_result_.modules,
                                      kManifestFileName,
                                      (manifest.offers & kManifestOffersRanges) != 0,
                                      &reuse_cancel_);
    reuse_ms_ = timers_->NowMs() - start;
    sink_->Post(UM_REUSE_DONE, 0);
  });
}

void InstallController::OnReuseDone() {
  if (reuse_thread_.joinable()) reuse_thread_.join();
  manifest_stage_ = ManifestStage::Done;
  staged_->AddReused(reuse_result_.files);
  const std::string& staging = config_.context.StagingDir;
  // Built whole from the install's chunks: finished as if downloaded (hashed again from disk).
  std::vector<std::string> modules = reuse_result_.modules;
  for (const SeededFile& file : seed_result_.complete_files) {
    staged_->FileFinished(staging + "\\" + file.path, file.size);
  }
  modules.insert(modules.end(), seed_result_.complete_modules.begin(),
                 seed_result_.complete_modules.end());
  size_t by_parts = 0;
  for (const SeedResult::Partial& part : seed_result_.partial) {
    std::vector<FileRange> ranges;
    for (const ByteRange& r : part.file.missing) ranges.push_back({r.offset, r.length});
    std::vector<ProvenChunk> proofs;
    for (const ProvisionalChunk& c : part.file.provisional) {
      proofs.push_back({c.offset, c.length, c.sha256});
    }
    if (download_->MarkRanged(part.module, staging + "\\" + part.file.path, part.file.size,
                              ranges, proofs)) {
      ++by_parts;
    } else {
      // Not pending, or ranges that do not fit: downloaded whole, from its first byte.
      DeletePath((staging + "\\" + part.file.path).c_str());
    }
  }
  if (!seed_result_.complete_files.empty() || !seed_result_.partial.empty()) {
    char line[200];
    std::snprintf(line, sizeof line,
                  "OnReuseDone" QB_COLON "%zu changed file(s) built from the install, %zu to "
                  "complete by parts: %llu bytes taken, %llu to fetch",
                  seed_result_.complete_files.size(), by_parts,
                  static_cast<unsigned long long>(seed_result_.seeded_bytes),
                  static_cast<unsigned long long>(seed_result_.missing_bytes));
    WriteLog(line);
  }
  // The reused modules count as finished files all at once: one step, not one message each.
  const size_t reused = download_->MarkReused(modules, reuse_result_.modules_listed,
                                              reuse_result_.bytes + seed_result_.seeded_bytes);
  if (reused > 0) view_->StepProgress(static_cast<int32_t>(reused));
  // The benchmarks read what the hashing of the install cost.
  char text[100] = {};
  std::snprintf(text, sizeof text, "OnReuseDone" QB_COLON "hashed and copied in %lu ms",
                static_cast<unsigned long>(reuse_ms_));
  WriteLog(text);
  // While reconnecting, the next connection asks for the rest.
  if (phase_ == InstallPhase::Downloading) download_->DownloadModule();
}

void InstallController::StopReuse() {
  if (!reuse_thread_.joinable()) return;
  reuse_cancel_ = true;
  reuse_thread_.join();
}

void InstallController::OnInstall() {
  // The service has nothing more to send: both connections end here, so that no later drop can
  // change the outcome shown.
  phase_ = InstallPhase::Finishing;
  DisarmWatchdog();
  CloseConnections();
  view_->ShowInstallFinishing();
  // Something else (an antivirus program, say) may have removed or cut a staged file since it
  // completed; installing then would report success with files missing.
  std::string bad;
  std::string reason;
  if (!staged_->FinishedFilesIntact(&bad, &reason)) {
    const std::string line = "OnInstall" QB_COLON "Staged File Check Faile " + bad + ": " + reason;
    WriteLog(line.c_str());
    DebugOutput((line + "\r\n").c_str());
    OnInstallFail(kExitPackageCheckFailed, FailureText(kTextPackageCheckFailed));
    return;
  }
  if (checked()) {
    bool downgrade = false;
    if (!StagedPackagePasses(&downgrade)) {
      OnInstallFail(downgrade ? kExitDowngrade : kExitPackageCheckFailed,
                    FailureText(kTextPackageCheckFailed));
      return;
    }
    // Only now does anything of the package leave the staging folder.
    staged_->UnpackKeptBaseArchive();
  }
  // The reused files were kept from being written until their hashes were used; the folder they
  // are in must be free to move.
  reuse_result_.held.clear();
  CloseInstallLog();
  bool copied = false;
  if (!PlaceInstall(&copied)) return;
  phase_ = InstallPhase::Installed;
  view_->SetState(WindowState::Installed);
  view_->RepaintNow();
  CloseIfUnattended();
  // What the new install replaced goes while the user looks at "Open"; nothing waits for it but
  // the end of the program.
  const std::string previous = config_.context.InstallDir + kPreviousSuffix;
  const std::string staging = copied ? config_.context.StagingDir : std::string();
  cleanup_ = std::thread([previous, staging] {
    if (PathExists(previous.c_str())) DeletePath(previous.c_str());
    if (!staging.empty()) DeletePath(staging.c_str());
  });
}

bool InstallController::PlaceInstall(bool* copied) {
  const InstallContext& ctx = config_.context;
  if (!WriteModuleInfo(ctx.StagingDir, offer_.LatestVersion, offer_.Modules) ||
      !WriteUpdateIni(ctx.StagingDir, offer_.LatestVersion)) {
    DebugOutput("OnInstall cannot write module.info or update.ini in the staging folder\r\n");
    OnInstallFail(kExitFailed);
    return false;
  }
  const uint32_t start = timers_->NowMs();
  const SwapResult swap = SwapInStagedInstall(ctx.StagingDir, ctx.InstallDir, config_.swap_steps);
  if (!swap.placed) {
    // The log is still in the staging folder, which the failure keeps as the failed attempt's log.
    ReopenInstallLog(ctx.StagingDir);
    for (const std::string& line : swap.lines) {
      WriteLog(("OnInstall" QB_COLON + line).c_str());
      DebugOutput(("OnInstall " + line + "\r\n").c_str());
    }
    OnInstallFail(swap.held.empty() ? kExitFailed : kExitFileHeld);
    return false;
  }
  char text[100] = {};
  std::snprintf(text, sizeof text, "OnInstall placed in %lu ms%s\r\n",
                static_cast<unsigned long>(timers_->NowMs() - start),
                swap.copied ? " by copy" : "");
  DebugOutput(text);
  steps_->CreateShortcut(ctx);
  WriteTerminalConfig(ctx);
  if (!steps_->RegisterUninstall(ctx, offer_.LatestVersion)) {
    DebugOutput("OnInstall cannot register the uninstall\r\n");
  }
  DeleteFailedLog(ctx.InstallDir);
  // A signed install raises the floor below which no later install may go, wherever the
  // install folder goes.
  if (checked() && !WriteRollbackFloor(ctx.PackageNumber, offer_.LatestVersion)) {
    DebugOutput("OnInstall cannot record the rollback floor\r\n");
  }
  *copied = swap.copied;
  return true;
}

PackageCheckInput InstallController::CheckInput() const {
  const InstallContext& ctx = config_.context;
  PackageCheckInput input;
  input.staging_dir = ctx.StagingDir;
  input.public_keys = config_.package_keys;
  input.now = static_cast<uint64_t>(std::time(nullptr));
  input.package_number = ctx.PackageNumber;
  input.version = offer_.LatestVersion;
  input.has_installed = ReadInstalledVersion(ctx.InstallDir, &input.installed);
  input.has_floor = ReadRollbackFloor(ctx.PackageNumber, &input.floor);
  return input;
}

bool InstallController::StagedPackagePasses(bool* downgrade) {
  PackageCheckInput input = CheckInput();
  const std::string archive = staged_->KeptBaseArchive();
  if (!archive.empty()) input.base_archive = archive.substr(config_.context.StagingDir.size() + 1);
  input.own_files.push_back(kInstallLogRelativePath);
  input.hashes = hashes_.get();
  PackageCheckFailure failure;
  const uint32_t start = timers_->NowMs();
  if (CheckStagedPackage(input, &failure)) {
    // What the check added after the last byte: the benchmarks read it from the copied log.
    char text[100] = {};
    std::snprintf(text, sizeof text, "OnInstall" QB_COLON "Package Check Success %lu ms",
                  static_cast<unsigned long>(timers_->NowMs() - start));
    WriteLog(text);
    return true;
  }
  LogCheckFailure(failure);
  *downgrade = failure.downgrade;
  return false;
}

void InstallController::OnInstallFail(ExitCode code, const char* gbk_text) {
  if (phase_ == InstallPhase::Failed || phase_ == InstallPhase::Installed) return;
  phase_ = InstallPhase::Failed;
  failure_code_ = code;
  DisarmWatchdog();
  timers_->Stop(kReconnectTimerId);
  view_->ShowReconnecting(false);
  // Stopped before anything else: a drop reported by the stop itself finds the phase final.
  CloseConnections();
  // Nothing may write into the staging folder once it is being deleted, and no installed file
  // stays held.
  StopReuse();
  reuse_result_.held.clear();
  view_->ShowFailure(gbk_text != nullptr ? gbk_text : FailureText(kTextInstallFail));
  CloseInstallLog();
  // The one log of a failed attempt that outlives the staging folder, for the user to send.
  const InstallContext& ctx = config_.context;
  KeepFailedLog(ctx.StagingDir, ctx.InstallDir);
  DeletePath(ctx.StagingDir.c_str());
  CloseIfUnattended();
}

void InstallController::CloseIfUnattended() {
  if (config_.unattended && !closing_) view_->CloseSoon();
}

ExitCode InstallController::exit_code() const {
  if (phase_ == InstallPhase::Installed) return kExitSuccess;
  if (phase_ == InstallPhase::Failed) return failure_code_;
  return kExitCancelled;
}

std::string InstallController::LogPath() const {
  const InstallContext& ctx = config_.context;
  if (phase_ == InstallPhase::Installed) return ctx.InstallDir + "\\" + kInstallLogRelativePath;
  if (phase_ == InstallPhase::Failed) return ctx.InstallDir + kFailedLogSuffix;
  return ctx.StagingDir + "\\" + kInstallLogRelativePath;
}

ExitCode InstallController::FailureCode(unsigned message, intptr_t l_param) const {
  // The click found no server to connect to.
  if (message == UM_LOGIN_FAIL && phase_ == InstallPhase::Checking && no_server_) {
    return kExitNoServer;
  }
  if (message == UM_WRITE_FAIL && l_param == kWriteFailDiskFull) return kExitDiskFull;
  return kExitFailed;
}

void InstallController::OnCheckDrop(bool before_list) {
  ++check_disconnects_;
  if (refused_connects_ > 0) {
    // A connect attempt of the click that failed: it only counts.
    --refused_connects_;
  } else if (before_list) {
    // The established check connection is gone before the module list is complete: nothing
    // more can come.
    OnInstallFail(kExitNoServer, ConnectionFailureText().c_str());
    return;
  }
  if (check_disconnects_ == kHostAttempts) {
    OnInstallFail(kExitNoServer, ConnectionFailureText().c_str());
  }
}

bool InstallController::OnMessage(unsigned message, intptr_t l_param) {
  if (message < UM_CHECK_AUTH_FAIL || message > kLastClientMessage) return false;
  const InstallFacts facts = Facts();
  phase_ = PhaseWith(phase_, facts);
  const Reaction reaction = ReactionFor(phase_, message, facts);
  switch (reaction) {
    case Reaction::Ignore: {
      char text[100] = {};
      std::snprintf(text, sizeof text, "message %u ignored in %s\r\n", message, PhaseName(phase_));
      DebugOutput(text);
      break;
    }
    case Reaction::Fail:
      OnInstallFail(FailureCode(message, l_param));
      break;
    case Reaction::FailPackageCheck:
      OnInstallFail(kExitPackageCheckFailed, FailureText(kTextPackageCheckFailed));
      break;
    case Reaction::FailWithCode: {
      char text[100] = {};
      std::snprintf(text, sizeof text, "%s,%s%d", FailureText(kTextInstallFail),
                    FailureText(kTextErrorCode), static_cast<int>(l_param));
      OnInstallFail(kExitFailed, text);
      break;
    }
    case Reaction::CheckDropBeforeList:
      OnCheckDrop(/*before_list=*/true);
      break;
    case Reaction::CountCheckDrop:
      OnCheckDrop(/*before_list=*/false);
      break;
    case Reaction::StartDownload:
      StartDownload(check_->TakeOffer());
      // The download connection is the one waited on from now.
      if (phase_ == InstallPhase::Downloading) ArmWatchdog();
      break;
    case Reaction::BaseDone:
      OnBaseDone(static_cast<int32_t>(l_param));
      break;
    case Reaction::StepProgress:
      view_->StepProgress(1);
      break;
    case Reaction::DownloadLost:
      OnDownloadLost();
      break;
    case Reaction::DataFlows:
      view_->ShowReconnecting(false);
      break;
    case Reaction::Install:
      OnInstall();
      break;
    case Reaction::ManifestIn:
      OnManifestIn();
      break;
    case Reaction::ReuseDone:
      OnReuseDone();
      break;
  }
  return true;
}

InstallFacts InstallController::Facts() const {
  InstallFacts facts;
  facts.download_complete = download_ != nullptr && download_->DownloadComplete();
  facts.manifest = manifest_stage_;
  return facts;
}

uint64_t InstallController::WatchedBytes() const {
  const ProcessClient* client = phase_ == InstallPhase::Checking
                                    ? static_cast<const ProcessClient*>(check_.get())
                                    : download_.get();
  return client != nullptr ? client->BytesReceived() : 0;
}

void InstallController::ArmWatchdog() {
  watched_bytes_ = WatchedBytes();
  last_progress_ms_ = timers_->NowMs();
  if (watchdog_armed_) return;
  const uint32_t timeout = config_.stall_timeout_ms;
  const uint32_t tick =
      timeout < kWatchdogTickMs * 4 ? std::max<uint32_t>(timeout / 4, 10) : kWatchdogTickMs;
  watchdog_armed_ = timers_->Start(kStallTimerId, tick);
}

void InstallController::DisarmWatchdog() {
  if (watchdog_armed_) timers_->Stop(kStallTimerId);
  watchdog_armed_ = false;
}

void InstallController::OnTimer(uint32_t timer_id) {
  if (timer_id == kStartTimerId) {
    timers_->Stop(kStartTimerId);
    OnButtonClick();
    return;
  }
  if (timer_id == kReconnectTimerId) {
    timers_->Stop(kReconnectTimerId);
    if (phase_ == InstallPhase::Reconnecting) Reconnect();
    return;
  }
  if (timer_id == kStallTimerId) OnStallTick();
}

void InstallController::OnStallTick() {
  if (phase_ != InstallPhase::Checking && phase_ != InstallPhase::Downloading) {
    DisarmWatchdog();
    return;
  }
  if (phase_ == InstallPhase::Downloading && download_->DownloadComplete()) return;
  const uint64_t bytes = WatchedBytes();
  const uint32_t now = timers_->NowMs();
  // Unpacking the base archive, or hashing the earlier install: no byte is awaited meanwhile.
  const bool client_busy = phase_ == InstallPhase::Downloading &&
                           (download_->Unpacking() || manifest_stage_ == ManifestStage::Reusing);
  if (bytes != watched_bytes_ || client_busy) {
    watched_bytes_ = bytes;
    last_progress_ms_ = now;
    return;
  }
  if (now - last_progress_ms_ < config_.stall_timeout_ms) return;
  char text[100] = {};
  std::snprintf(text, sizeof text, "OnTimer" QB_COLON "no byte for %lu ms in %s",
                static_cast<unsigned long>(now - last_progress_ms_), PhaseName(phase_));
  WriteLog(text);
  if (phase_ == InstallPhase::Downloading) {
    // A silent download connection is treated as lost: closing it reports UM_DL_DISCONNECT at
    // once, which reconnects or fails.
    download_->CloseConnection();
    if (phase_ == InstallPhase::Downloading) OnDownloadLost();
    return;
  }
  OnInstallFail(kExitNoServer, ConnectionFailureText().c_str());
}

void InstallController::OnOpen() { steps_->StartTerminal(config_.context); }

void InstallController::CloseConnections() {
  if (download_ != nullptr) download_->CloseConnection();
  if (check_ != nullptr) check_->CloseConnection();
}

void InstallController::OnClose() {
  closing_ = true;
  DisarmWatchdog();
  timers_->Stop(kReconnectTimerId);
  // Closed during the check or the download: the install ends as with a lost connection, the old
  // install untouched.
  if (CloseActionFor(phase_) == CloseAction::FailThenClose) {
    char text[100] = {};
    std::snprintf(text, sizeof text, "OnClose" QB_COLON "closed in %s", PhaseName(phase_));
    WriteLog(text);
    OnInstallFail(kExitCancelled, ConnectionFailureText().c_str());
  }
  CloseConnections();
  timers_->Pause(config_.close_wait_ms);
}

void InstallController::OnDestroy() {
  CloseConnections();
  CloseInstallLog();
}
