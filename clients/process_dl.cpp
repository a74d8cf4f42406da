// The download client: the base archive stage, the module request and the chunks that become
// files below the staging folder. Chunks are handled on the download connection's receive
// thread; DownloadModule runs on the controller's thread, and so does OnClientDisconnect when the
// controller closes the connection or the connect fails.
#include "clients/process_dl.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <utility>

#include "base/file_system.h"
#include "base/make_path_dirs.h"
#include "base/package_manifest.h"
#include "clients/staging_path.h"
#include "core/install_log.h"
#include "wire/message.h"

namespace {

constexpr size_t kModuleRequestBufferSize = 131072;

// Chunks carry at most 1001 bytes each: with the C library's own few-KB buffer, a file of 256 MiB
// would take some 65,000 write calls, each a trip into the system.
constexpr size_t kFileWriteBufferSize = 256 * 1024;

// The records of a chunk message, each checked before any is used: they fit the message, each
// holds the fields read, and every valid-data count lies within 0..1001.
template <typename Chunk, Chunk (*Decode)(const uint8_t*)>
bool ChunksUsable(const MessageHeader& header, uint32_t length, size_t read_size,
                  const uint8_t* records) {
  if (!RecordsFit(header, length, read_size)) return false;
  for (uint32_t i = 0; i < header.RecordCount; ++i) {
    const Chunk chunk = Decode(records + i * header.RecordSize);
    if (chunk.DataLength < 0 || chunk.DataLength > static_cast<int32_t>(kChunkDataSize)) return false;
  }
  return true;
}

bool SameFile(const FileChunkRecord& a, const FileChunkRecord& b) {
  return std::strcmp(a.Folder, b.Folder) == 0 && std::strcmp(a.FileName, b.FileName) == 0;
}

}  // namespace

ProcessDL::ProcessDL(ClientSink* sink, std::string staging_dir, const ModuleList* modules,
                     DownloadConsumer* consumer)
    : sink_(sink), staging_dir_(std::move(staging_dir)), modules_(modules), consumer_(consumer) {}

ProcessDL::~ProcessDL() { ReleaseConnections(); }

int32_t ProcessDL::PendingCount() const {
  std::lock_guard<std::mutex> guard(state_lock_);
  return static_cast<int32_t>(pending_.Count());
}

std::vector<std::string> ProcessDL::LastRequestNames() const {
  std::lock_guard<std::mutex> guard(state_lock_);
  return last_request_names_;
}

bool ProcessDL::DownloadComplete() const {
  std::lock_guard<std::mutex> guard(state_lock_);
  return requested_ && !download_active_ && !refused_;
}

void ProcessDL::OnAuthentLink(int32_t error_code) {
  bool decide = false;
  {
    std::lock_guard<std::mutex> guard(state_lock_);
    chunk_seen_ = false;
    decide = !base_decided_;
    base_decided_ = true;
  }
  // Without the lock: the consumer may put the dependency folder on the Path, which broadcasts
  // the change and waits for every window, the controller's included, whose thread may be
  // waiting for the lock meanwhile. Only this receive thread runs OnAuthentLink, so the decision
  // is still taken once.
  if (decide) {
    const bool needed = consumer_->WantsBaseArchive();
    std::lock_guard<std::mutex> guard(state_lock_);
    base_needed_ = needed;
  }
  bool fetch = false;
  {
    std::lock_guard<std::mutex> guard(state_lock_);
    fetch = base_needed_ && !base_done_;
  }
  if (fetch) {
    DownloadBaseZip();
    return;
  }
  sink_->Post(UM_BASE_DONE, error_code);
  WriteLog("ProcessCheck" QB_COLON "OnAuthentLink Faile");
}

void ProcessDL::OnLogin(int32_t error_code, const uint8_t* records, uint32_t records_length) {
  if (error_code != 0) {
    sink_->Post(UM_LOGIN_FAIL, 0);
    WriteLog("ProcessDL" QB_COLON "OnLogin Faile");
    return;
  }
  KeepLoginReply(records, records_length, LoginReply);
  logged_in_ = true;
}

void ProcessDL::OnClientDisconnect(const char*, int32_t) {
  std::string resumed;
  {
    std::lock_guard<std::mutex> guard(state_lock_);
    const bool cut = module_file_.is_open() && !current_path_.empty();
    // Closed first: what it had buffered is on the disk before its size is looked at.
    module_file_.Drop();
    base_file_.Drop();
    ranged_.Drop();
    if (cut) resumed = ResumeCutFileLocked(current_module_, current_path_, current_written_);
    current_path_.clear();
  }
  if (!resumed.empty()) WriteLog(resumed.c_str());
  // Synchronous: returns once the controller has handled the loss.
  sink_->Send(UM_DL_DISCONNECT, 0);
  WriteLog("ProcessDL" QB_COLON "OnClientDisconnect Faile");
}

void ProcessDL::DownloadBaseZip() {
  uint8_t message[kBaseZipRequestSize];
  EncodeBaseZipRequest(message);
  Send(message, sizeof message, '6');
  WriteLog("ProcessDL" QB_COLON "DownloadBaseZip");
}

void ProcessDL::SendModuleRequests(const std::vector<ModuleDownloadRecord>& wanted) {
  // A request holds at most kMaxModulesPerRequest records, so that its frame fits whatever the
  // names; more modules go out as several requests (and none at all still sends one empty
  // request).
  std::vector<uint8_t> message(kModuleRequestBufferSize);
  size_t first = 0;
  do {
    const size_t count = std::min(kMaxModulesPerRequest, wanted.size() - first);
    std::fill(message.begin(), message.end(), 0);
    EncodeRequestHeader(kMsgDownloadModule, static_cast<uint16_t>(count),
                        kModuleDownloadRecordSize, message.data());
    for (size_t i = 0; i < count; ++i) {
      EncodeModuleDownloadRecord(wanted[first + i], message.data() + kMessageHeaderSize +
                                                        i * kModuleDownloadRecordSize);
    }
    if (!Send(message.data(), kModuleDownloadRecordSize * (count + 1), '6')) {
      // A failed send has closed the connection, which the controller hears as UM_DL_DISCONNECT.
      WriteLog("ProcessDL" QB_COLON "DownloadModule Send Faile");
      break;
    }
    first += count;
  } while (first < wanted.size());
}

void ProcessDL::SendRangeRequests(const std::vector<std::vector<ModuleRangeRecord>>& requests) {
  std::vector<uint8_t> message;
  for (const std::vector<ModuleRangeRecord>& ranges : requests) {
    message.assign(kMessageHeaderSize + ranges.size() * kModuleRangeRecordSize, 0);
    EncodeRequestHeader(kMsgDownloadRanges, static_cast<uint16_t>(ranges.size()),
                        kModuleRangeRecordSize, message.data());
    for (size_t i = 0; i < ranges.size(); ++i) {
      EncodeModuleRangeRecord(ranges[i],
                              message.data() + kMessageHeaderSize + i * kModuleRangeRecordSize);
    }
    if (!Send(message.data(), static_cast<uint32_t>(message.size()), '6')) {
      WriteLog("ProcessDL" QB_COLON "DownloadRanges Send Faile");
      return;
    }
  }
}

bool ProcessDL::MarkRanged(const std::string& module, const std::string& path, uint64_t size,
                           const std::vector<FileRange>& ranges,
                           const std::vector<ProvenChunk>& proofs) {
  std::lock_guard<std::mutex> guard(state_lock_);
  MakePendingLocked();
  const ModuleDownloadRecord* record = pending_.Find(module);
  if (record == nullptr || !ranged_.Add(*record, path, size, ranges, proofs)) return false;
  ranged_modules_.insert(module);
  return true;
}

void ProcessDL::ResumeByRanges(std::set<std::string> one_file_modules) {
  std::lock_guard<std::mutex> guard(state_lock_);
  resumable_modules_ = std::move(one_file_modules);
}

std::string ProcessDL::ResumeCutFileLocked(const std::string& module, const std::string& path,
                                           uint64_t written) {
  const auto listed = listed_sizes_.find(path);
  if (written == 0 || resumable_modules_.count(module) == 0 || listed == listed_sizes_.end() ||
      written >= listed->second || ranged_modules_.count(module) != 0) {
    return std::string();
  }
  // Exactly the bytes written, from the first: anything else is asked for whole again.
  uint64_t on_disk = 0;
  if (!RegularFileSize(path.c_str(), &on_disk) || on_disk != written) return std::string();
  const ModuleDownloadRecord* record = pending_.Find(module);
  if (record == nullptr) return std::string();
  std::vector<FileRange> rest;
  for (uint64_t offset = written; offset < listed->second; offset += kMaxRangeLength) {
    rest.push_back({offset, static_cast<uint32_t>(std::min<uint64_t>(kMaxRangeLength,
                                                                    listed->second - offset))});
  }
  if (!ranged_.Add(*record, path, listed->second, rest)) return std::string();
  ranged_modules_.insert(module);
  char line[360];
  std::snprintf(line, sizeof line, "ProcessDL" QB_COLON "Resume %s from byte %llu by range",
                module.c_str(), static_cast<unsigned long long>(written));
  return line;
}

void ProcessDL::MakePendingLocked() {
  if (requested_) return;
  // Complete before the first request goes out: its chunks may come back at once.
  for (const ModuleRecord& module : *modules_) {
    if (module.Kind == 'D') continue;
    const std::string name(module.Name, strnlen(module.Name, 50));
    pending_.Add(name, ModuleDownloadRecordFor(module));
    char line[260];
    std::snprintf(line, sizeof line, "%c--%d_%d----%s", module.Kind, module.Num1, module.Num2,
                  name.c_str());
    WriteLog(line);
  }
  requested_ = true;
}

bool ProcessDL::DownloadManifest() {
  std::vector<ModuleDownloadRecord> wanted;
  {
    std::lock_guard<std::mutex> guard(state_lock_);
    MakePendingLocked();
    const ModuleDownloadRecord* manifest = pending_.Find(kManifestFileName);
    if (manifest == nullptr) return false;
    manifest_first_ = true;
    wanted.push_back(*manifest);
    last_request_names_ = {kManifestFileName};
  }
  SendModuleRequests(wanted);
  WriteLog("ProcessDL" QB_COLON "DownloadManifest");
  return true;
}

void ProcessDL::LimitToManifest(std::map<std::string, uint64_t> sizes) {
  std::lock_guard<std::mutex> guard(state_lock_);
  listed_sizes_ = std::move(sizes);
  limited_ = true;
}

size_t ProcessDL::MarkReused(const std::vector<std::string>& modules, size_t listed,
                             uint64_t bytes) {
  size_t reused = 0;
  {
    std::lock_guard<std::mutex> guard(state_lock_);
    for (const std::string& name : modules) reused += pending_.Complete(name) ? 1 : 0;
  }
  char line[160];
  std::snprintf(line, sizeof line, "ProcessDL" QB_COLON "Reuse %zu of %zu modules, %llu bytes",
                reused, listed, static_cast<unsigned long long>(bytes));
  WriteLog(line);
  return reused;
}

void ProcessDL::DownloadModule() {
  WriteLog("DownloadModule Need Request Module" QB_COLON "DownloadModule");
  std::vector<ModuleDownloadRecord> wanted;
  std::vector<std::vector<ModuleRangeRecord>> ranges;
  bool again = false;
  {
    std::lock_guard<std::mutex> guard(state_lock_);
    // After the manifest alone, the rest is the first real request.
    again = requested_ && !manifest_first_;
    manifest_first_ = false;
    MakePendingLocked();
    // Again after a loss: the modules whose files are complete stay as they are.
    wanted = pending_.Records();
    last_request_names_ = pending_.Names();
    if (!ranged_modules_.empty()) {
      // Those completed by parts are asked for by their ranges alone.
      std::vector<ModuleDownloadRecord> whole;
      for (const ModuleDownloadRecord& r : wanted) {
        if (ranged_modules_.count(std::string(r.Name, strnlen(r.Name, sizeof r.Name))) == 0) {
          whole.push_back(r);
        }
      }
      wanted.swap(whole);
      ranges = ranged_.Requests();
    }
  }
  if (again) {
    char line[100];
    std::snprintf(line, sizeof line, "ProcessDL" QB_COLON "DownloadModule Again %zu",
                  wanted.size());
    WriteLog(line);
  }
  // An empty request is sent when nothing at all is asked for: its empty reply ends the
  // download. With ranges asked for, their replies do.
  if (!wanted.empty() || ranges.empty()) SendModuleRequests(wanted);
  if (!ranges.empty()) {
    size_t count = 0;
    for (const auto& request : ranges) count += request.size();
    char line[100];
    std::snprintf(line, sizeof line, "ProcessDL" QB_COLON "DownloadRanges %zu in %zu request(s)",
                  count, ranges.size());
    WriteLog(line);
    SendRangeRequests(ranges);
  }
  WriteLog("ProcessDL" QB_COLON "DownloadModule");
}

void ProcessDL::OnMessage(const uint8_t* message, uint32_t length) {
  MessageHeader header;
  if (!DecodeMessageHeader(message, length, &header)) return;
  const uint8_t* records = message + kMessageHeaderSize;
  if (header.Code == kMsgFileDownloadRsp && header.ErrorCode != 0) {
    OnDownloadRefused(header.ErrorCode);
  } else if (header.Code == kMsgFileDownloadRsp) {
    if (!ChunksUsable<FileChunkRecord, DecodeFileChunkRecord>(header, length,
                                                            kFileChunkRecordSize, records)) {
      return;
    }
    OnFileChunks(header, records);
  } else if (header.Code == kMsgSystemDependFileRsp && header.RecordCount > 0) {
    if (!ChunksUsable<BaseChunkRecord, DecodeBaseChunkRecord>(header, length,
                                                            kBaseChunkRecordSize, records)) {
      return;
    }
    OnBaseChunks(header, records);
  }
}

bool ProcessDL::FormPaths(const MessageHeader& header, const uint8_t* records,
                          MessageFiles* files) {
  // Every path first: a message naming one unsafe path writes nothing at all. A message holds
  // chunks of a few files, one after another: a path is formed (and checked) once per file, not
  // once per 1001-byte chunk.
  files->chunks.resize(header.RecordCount);
  files->file_of.resize(header.RecordCount);
  for (uint32_t i = 0; i < header.RecordCount; ++i) {
    files->chunks[i] = DecodeFileChunkRecord(records + i * header.RecordSize);
    const FileChunkRecord& chunk = files->chunks[i];
    if (i > 0 && SameFile(chunk, files->chunks[i - 1])) {
      files->file_of[i] = files->file_of[i - 1];
      continue;
    }
    files->paths.emplace_back();
    if (!FormStagingPath(staging_dir_, chunk.Folder, chunk.FileName, &files->paths.back())) {
      Refuse(staging_dir_ + "\\" + chunk.Folder + chunk.FileName);
      return false;
    }
    files->file_of[i] = static_cast<uint32_t>(files->paths.size() - 1);
  }
  return true;
}

void ProcessDL::OnFileChunks(const MessageHeader& header, const uint8_t* records) {
  MessageFiles files;
  if (!FormPaths(header, records, &files)) return;
  WriteOutcome outcome;
  {
    std::lock_guard<std::mutex> guard(state_lock_);
    if (refused_) return;
    if (header.RecordCount > 0) NoteChunk();
    WriteChunksLocked(files, &outcome);
    if (outcome.failed_path.empty() && outcome.refusal.empty()) FinishIfCompleteLocked(&outcome);
  }
  if (!outcome.refusal.empty()) {
    Fail("ProcessDL" QB_COLON "Refused " + outcome.refusal, UM_PACKAGE_REFUSED);
  } else if (!outcome.failed_path.empty()) {
    FailWrite(outcome.failed_path);
  }
  for (const std::string& path : outcome.ask_again) {
    // Without the lock: a send may close the connection, which calls back into this client.
    std::vector<std::vector<ModuleRangeRecord>> requests;
    {
      std::lock_guard<std::mutex> guard(state_lock_);
      if (refused_) return;
      requests = ranged_.RequestsFor(path);
    }
    WriteLog(("ProcessDL" QB_COLON "Range Proof Faile " + path).c_str());
    SendRangeRequests(requests);
  }
}

std::vector<uint64_t> ProcessDL::ListedSizesLocked(const MessageFiles& files,
                                                   WriteOutcome* outcome) const {
  // With the manifest known, each file's listed size, looked up once per file of the message.
  std::vector<uint64_t> listed_size(limited_ ? files.paths.size() : 0);
  for (size_t f = 0; f < listed_size.size(); ++f) {
    const auto listed = listed_sizes_.find(files.paths[f]);
    if (listed == listed_sizes_.end()) {
      outcome->refusal = files.paths[f] + ": not in the manifest";
      break;
    }
    listed_size[f] = listed->second;
  }
  return listed_size;
}

void ProcessDL::WriteChunksLocked(const MessageFiles& files, WriteOutcome* outcome) {
  const std::vector<uint64_t> listed_size = ListedSizesLocked(files, outcome);
  if (!outcome->refusal.empty()) return;
  for (size_t i = 0; i < files.chunks.size(); ++i) {
    const FileChunkRecord& chunk = files.chunks[i];
    const std::string& path = files.paths[files.file_of[i]];
    if (ranged_.Has(path)) {
      WriteRangeLocked(path, chunk, outcome);
      if (!outcome->refusal.empty() || !outcome->failed_path.empty()) return;
      continue;
    }
    if (path != current_path_) {
      const std::string previous = current_path_;
      current_path_.clear();
      if (!module_file_.Close()) {
        outcome->failed_path = previous;
        return;
      }
      // The folders of the file already open exist: they are made only for a new path, which
      // saves a walk of the whole path per 1001-byte chunk.
      MakePathDirs(path.c_str());
      consumer_->FileStarted(path);
      current_written_ = 0;
      // A file that cannot be created would never complete: the download fails instead.
      if (!module_file_.Open(path, kFileWriteBufferSize)) {
        outcome->failed_path = path;
        return;
      }
      current_path_ = path;
      current_module_.assign(chunk.ModuleName, strnlen(chunk.ModuleName, sizeof chunk.ModuleName));
    }
    const uint64_t length = static_cast<uint64_t>(chunk.DataLength);
    // Never a byte past the size the manifest lists: a server could fill the disk.
    if (limited_ && current_written_ + length > listed_size[files.file_of[i]]) {
      outcome->refusal = path + ": larger than the manifest lists";
      return;
    }
    if (!module_file_.Write(chunk.Data, static_cast<size_t>(length))) {
      outcome->failed_path = path;
      return;
    }
    current_written_ += length;
    if (!chunk.Last) continue;
    // The file is complete: closed now, so that bytes the disk does not take fail the download
    // before the file counts as done.
    current_path_.clear();
    if (!module_file_.Close()) {
      outcome->failed_path = path;
      return;
    }
    consumer_->FileFinished(path, current_written_);
    // A last chunk of a module not asked for (or already complete) counts nothing.
    if (!pending_.Complete(chunk.ModuleName)) continue;
    sink_->Post(UM_FILE_DONE, 0);
    WriteLog(path.c_str());
    if (manifest_first_ && std::strcmp(chunk.ModuleName, kManifestFileName) == 0) {
      sink_->Post(UM_MANIFEST_DONE, 0);
    }
  }
}

void ProcessDL::WriteRangeLocked(const std::string& path, const FileChunkRecord& chunk,
                                 WriteOutcome* outcome) {
  const RangedFiles::Outcome written = ranged_.Write(path, chunk);
  outcome->refusal = written.refusal;
  outcome->failed_path = written.failed_path;
  if (written.started) consumer_->FileStarted(path);
  if (written.ask_again) outcome->ask_again.push_back(path);
  if (written.finished.empty()) return;
  consumer_->FileFinished(path, written.size);
  if (!pending_.Complete(written.module)) return;
  sink_->Post(UM_FILE_DONE, 0);
  WriteLog(path.c_str());
}

void ProcessDL::FinishIfCompleteLocked(WriteOutcome* outcome) {
  if (!requested_ || pending_.Count() != 0 || !download_active_) return;
  const std::string open_path = current_path_;
  current_path_.clear();
  if (!module_file_.Close()) {
    outcome->failed_path = open_path;
    return;
  }
  download_active_ = false;
  sink_->Post(UM_DOWNLOAD_DONE, 0);
  WriteLog("ProcessCheck" QB_COLON "KesPublish_L_FileDownload_Rsp");
}

void ProcessDL::OnBaseChunks(const MessageHeader& header, const uint8_t* records) {
  std::vector<std::string> paths(header.RecordCount);
  for (uint32_t i = 0; i < header.RecordCount; ++i) {
    const BaseChunkRecord chunk = DecodeBaseChunkRecord(records + i * header.RecordSize);
    if (!FormStagingPath(staging_dir_, "", chunk.FileName, &paths[i])) {
      Refuse(staging_dir_ + "\\" + chunk.FileName);
      return;
    }
  }
  for (uint32_t i = 0; i < header.RecordCount; ++i) {
    const BaseChunkRecord chunk = DecodeBaseChunkRecord(records + i * header.RecordSize);
    std::string failed_path;
    bool done = false;
    {
      std::lock_guard<std::mutex> guard(state_lock_);
      if (refused_) return;
      NoteChunk();
      done = WriteBaseChunkLocked(paths[i], chunk.Data, chunk.DataLength, chunk.Last,
                                  &failed_path);
    }
    if (!failed_path.empty()) {
      FailWrite(failed_path);
      return;
    }
    if (done) {
      // Without the lock: unpacking may take a while, or even ask the user.
      FinishBaseArchive(paths[i]);
      return;
    }
  }
}

bool ProcessDL::WriteBaseChunkLocked(const std::string& path, const uint8_t* data,
                                     int32_t length, bool last, std::string* failed_path) {
  if (!base_file_.is_open()) {
    MakePathDirs(path.c_str());
    consumer_->FileStarted(path);
    if (!base_file_.Open(path, kFileWriteBufferSize)) {
      *failed_path = path;
      return false;
    }
    base_path_ = path;
  }
  if (!base_file_.Write(data, static_cast<size_t>(length))) {
    *failed_path = base_path_;
    return false;
  }
  if (!last) return false;
  // A truncated archive would unpack to less than it holds, or not at all.
  if (!base_file_.Close()) {
    *failed_path = base_path_;
    return false;
  }
  base_done_ = true;
  return true;
}

void ProcessDL::FinishBaseArchive(const std::string& archive_path) {
  unpacking_ = true;
  consumer_->BaseArchiveFinished(archive_path);
  unpacking_ = false;
  sink_->Post(UM_BASE_DONE, 0);
  WriteLog("ProcessCheck" QB_COLON "KesPublish_L_SystemDependFile_Rsp");
}

void ProcessDL::NoteChunk() {
  if (chunk_seen_) return;
  chunk_seen_ = true;
  sink_->Post(UM_DL_RECEIVING, 0);
}

void ProcessDL::Refuse(const std::string& path) {
  // A package that names such a path fails its check on every machine.
  Fail("ProcessDL" QB_COLON "Refused " + path, UM_PACKAGE_REFUSED);
}

void ProcessDL::OnDownloadRefused(int32_t error_code) {
  // Nothing of another version is asked for instead: the install ends with what it has not
  // mixed, and the user starts again on what is announced now.
  char line[200];
  std::snprintf(line, sizeof line, "ProcessDL" QB_COLON "Download Refused %d%s",
                static_cast<int>(error_code),
                error_code == kErrorModuleNotServed
                    ? ": the version this install started with is no longer served"
                    : "");
  Fail(line, UM_DOWNLOAD_REFUSED, error_code);
}

void ProcessDL::FailWrite(const std::string& path) {
  // Only this thread writes the two files; the one that failed says why.
  const bool disk_full = module_file_.disk_full() || base_file_.disk_full();
  Fail("ProcessDL" QB_COLON "Write Faile " + path + (disk_full ? " (disk full)" : ""),
       UM_WRITE_FAIL, disk_full ? kWriteFailDiskFull : 0);
}

void ProcessDL::Fail(const std::string& line, unsigned message, intptr_t l_param) {
  {
    std::lock_guard<std::mutex> guard(state_lock_);
    if (refused_) return;
    refused_ = true;
  }
  WriteLog(line.c_str());
  // Sent, and before the close: the controller has failed the install for this reason by the
  // time UM_DL_DISCONNECT comes (a sent message overtakes a posted one).
  sink_->Send(message, l_param);
  // Reported back through OnClientDisconnect, which drops the files and tells the controller.
  CloseConnection();
}
