// The download client: the base archive stage, the module request and the chunks that become
// files below StagingDir. Chunks are handled on the download connection's receive thread;
// DownloadModule runs on the window thread, and so does OnClientDisconnect when the window
// closes the connection or the connect fails.
#include "clients/process_dl.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <utility>

#include "base/file_system.h"
#include "base/package_manifest.h"
#include "base/make_path_dirs.h"
#include "clients/staging_path.h"
#include "core/install_context.h"
#include "core/install_log.h"
#include "core/window_messages.h"
#include "install/staged_hashes.h"
#include "install/system.h"
#include "install/unzip.h"
#include "wire/message.h"
#include "wire/records.h"

namespace {

constexpr size_t kModuleRequestBufferSize = 131072;

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

void CloseStream(FILE** file) {
  if (*file != nullptr) std::fclose(*file);
  *file = nullptr;
}

// Closes a file that is meant to be complete: false when its buffered bytes did not all reach
// the disk.
bool CloseWritten(FILE** file) {
  if (*file == nullptr) return true;
  const bool closed = std::fclose(*file) == 0;
  *file = nullptr;
  return closed;
}

// Chunks carry at most 1001 bytes each: with the C library's own few-KB buffer, a file of 256 MiB
// would take some 65,000 write calls, each a trip into the system.
constexpr size_t kFileWriteBufferSize = 256 * 1024;

// Opens `path` for writing through `buffer` (made on first use, kept for the next file).
FILE* OpenForWriting(const char* path, std::vector<char>* buffer) {
  FILE* file = OpenFile(path, "wb");
  if (file == nullptr) return nullptr;
  buffer->resize(kFileWriteBufferSize);
  if (std::setvbuf(file, buffer->data(), _IOFBF, buffer->size()) != 0) {
    std::fclose(file);
    return nullptr;
  }
  return file;
}

bool WriteAll(const uint8_t* data, int32_t length, FILE* file) {
  const size_t size = static_cast<size_t>(length);
  return std::fwrite(data, 1, size, file) == size;
}

}  // namespace

ProcessDL::~ProcessDL() {
  ReleaseConnections();
  CloseStream(&module_file_);
  CloseStream(&base_file_);
}

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

void ProcessDL::CheckPackages(StagedHashes* hashes) {
  std::lock_guard<std::mutex> guard(state_lock_);
  hashes_ = hashes;
}

std::string ProcessDL::KeptBaseArchive() const {
  std::lock_guard<std::mutex> guard(state_lock_);
  return kept_base_archive_;
}

void ProcessDL::UnpackKeptBaseArchive() {
  std::string archive;
  {
    std::lock_guard<std::mutex> guard(state_lock_);
    archive.swap(kept_base_archive_);
  }
  if (archive.empty()) return;
  UnpackAndDelete(archive);
  AddToUserPath();
}

void ProcessDL::SetBaseZipDecisionForTest(std::function<bool()> decision) {
  base_zip_decision_ = std::move(decision);
}

void ProcessDL::OnAuthentLink(int32_t error_code) {
  bool decide = false;
  bool checked = false;
  {
    std::lock_guard<std::mutex> guard(state_lock_);
    chunk_seen_ = false;
    // Decided once: BaseZipNeeded also adds the dependency folder to the user's Path.
    decide = !base_decided_;
    base_decided_ = true;
    checked = hashes_ != nullptr;
  }
  // Without the lock: adding to the Path broadcasts the change and waits for every window, ours
  // included, whose thread may be waiting for the lock meanwhile. Only this receive thread runs
  // OnAuthentLink, so the decision is still taken once.
  if (decide) {
    // A program that checks packages adds the dependency folder to the Path only once the
    // archive has passed.
    const bool needed = base_zip_decision_ ? base_zip_decision_()
                        : checked          ? BaseZipWanted()
                                           : BaseZipNeeded();
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
  PostToMainWindow(UM_BASE_DONE, 0, error_code);
  WriteLog("ProcessCheck" QB_COLON "OnAuthentLink Faile");
}

void ProcessDL::OnLogin(int32_t error_code, const uint8_t* records, uint32_t records_length) {
  if (error_code != 0) {
    PostToMainWindow(UM_LOGIN_FAIL, 0, 0);
    WriteLog("ProcessDL" QB_COLON "OnLogin Faile");
    return;
  }
  KeepLoginReply(records, records_length, LoginReply);
  logged_in_ = true;
}

void ProcessDL::OnClientDisconnect(const char*, int32_t) {
  {
    std::lock_guard<std::mutex> guard(state_lock_);
    CloseStream(&module_file_);
    CloseStream(&base_file_);
    current_path_[0] = '\0';
  }
  // Synchronous: returns once the window has handled the failure.
  SendToMainWindow(UM_DL_DISCONNECT, 0, 0);
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
      // A failed send has closed the connection, which the window hears as UM_DL_DISCONNECT.
      WriteLog("ProcessDL" QB_COLON "DownloadModule Send Faile");
      break;
    }
    first += count;
  } while (first < wanted.size());
}

void ProcessDL::MakePendingLocked() {
  if (requested_) return;
  // Complete before the first request goes out: its chunks may come back at once.
  for (const ModuleRecord& module : ModuleList::Get()) {
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

size_t ProcessDL::MarkReused(const std::vector<std::string>& modules,
                             const std::vector<std::pair<std::string, uint64_t>>& files,
                             size_t listed, uint64_t bytes) {
  size_t reused = 0;
  {
    std::lock_guard<std::mutex> guard(state_lock_);
    for (const std::string& name : modules) reused += pending_.Complete(name) ? 1 : 0;
    const std::string& staging = InstallContext::Get().StagingDir;
    for (const auto& [path, size] : files) completed_sizes_[staging + "\\" + path] = size;
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
  }
  if (again) {
    char line[100];
    std::snprintf(line, sizeof line, "ProcessDL" QB_COLON "DownloadModule Again %zu",
                  wanted.size());
    WriteLog(line);
  }
  SendModuleRequests(wanted);
  WriteLog("ProcessDL" QB_COLON "DownloadModule");
}

void ProcessDL::OnMessage(const uint8_t* message, uint32_t length) {
  MessageHeader header;
  if (!DecodeMessageHeader(message, length, &header)) return;
  const uint8_t* records = message + kMessageHeaderSize;
  if (header.Code == kMsgFileDownloadRsp) {
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

bool ProcessDL::CompletedFilesIntact(std::string* first_bad, std::string* reason) const {
  const std::string& staging = InstallContext::Get().StagingDir;
  std::lock_guard<std::mutex> guard(state_lock_);
  for (const auto& [path, written] : completed_sizes_) {
    uint64_t size = 0;
    const bool present = RegularFileSize(path.c_str(), &size);
    if (present && size == written) continue;
    *first_bad = path.compare(0, staging.size() + 1, staging + "\\") == 0
                     ? path.substr(staging.size() + 1)
                     : path;
    *reason = present ? "size " + std::to_string(size) + " where " + std::to_string(written) +
                            " bytes were written"
                      : "missing from the staging folder";
    return false;
  }
  return true;
}

void ProcessDL::OnFileChunks(const MessageHeader& header, const uint8_t* records) {
  const std::string& staging = InstallContext::Get().StagingDir;
  // Every path first: a message naming one unsafe path writes nothing at all. A message holds
  // chunks of a few files, one after another: a path is formed (and checked) once per file, not
  // once per 1001-byte chunk.
  std::vector<FileChunkRecord> chunks(header.RecordCount);
  std::vector<std::string> files;
  std::vector<uint32_t> file_of(header.RecordCount);
  for (uint32_t i = 0; i < header.RecordCount; ++i) {
    chunks[i] = DecodeFileChunkRecord(records + i * header.RecordSize);
    const FileChunkRecord& chunk = chunks[i];
    if (i > 0 && std::strcmp(chunk.Folder, chunks[i - 1].Folder) == 0 &&
        std::strcmp(chunk.FileName, chunks[i - 1].FileName) == 0) {
      file_of[i] = file_of[i - 1];
      continue;
    }
    files.emplace_back();
    if (!FormStagingPath(staging, chunk.Folder, chunk.FileName, &files.back())) {
      Refuse(staging + "\\" + chunk.Folder + chunk.FileName);
      return;
    }
    file_of[i] = static_cast<uint32_t>(files.size() - 1);
  }

  std::string failed_path;
  std::string refusal;  // a chunk the manifest does not allow
  {
    std::lock_guard<std::mutex> guard(state_lock_);
    if (refused_) return;
    if (header.RecordCount > 0) NoteChunk();
    // With the manifest known, each file's listed size, looked up once per file of the message.
    std::vector<uint64_t> listed_size(limited_ ? files.size() : 0);
    for (size_t f = 0; f < listed_size.size() && refusal.empty(); ++f) {
      const auto listed = listed_sizes_.find(files[f]);
      if (listed == listed_sizes_.end()) {
        refusal = files[f] + ": not in the manifest";
      } else {
        listed_size[f] = listed->second;
      }
    }
    for (uint32_t i = 0; i < header.RecordCount && refusal.empty(); ++i) {
      const FileChunkRecord& chunk = chunks[i];
      const std::string& file_path = files[file_of[i]];
      const char* path = file_path.c_str();
      if (std::strcmp(path, current_path_) != 0) {
        const std::string previous = current_path_;
        current_path_[0] = '\0';
        if (!CloseWritten(&module_file_)) {
          failed_path = previous;
          break;
        }
        // The folders of the file already open exist: they are made only for a new path,
        // which saves a walk of the whole path per 1001-byte chunk.
        MakePathDirs(path);
        if (hashes_ != nullptr) hashes_->Forget(file_path);
        completed_sizes_.erase(file_path);
        current_written_ = 0;
        module_file_ = OpenForWriting(path, &module_buffer_);
        // A file that cannot be created would never complete: the download fails instead.
        if (module_file_ == nullptr) {
          failed_path = file_path;
          break;
        }
        std::snprintf(current_path_, sizeof current_path_, "%s", path);
      }
      // Never a byte past the size the manifest lists: a server could fill the disk.
      if (limited_ &&
          current_written_ + static_cast<uint64_t>(chunk.DataLength) > listed_size[file_of[i]]) {
        refusal = file_path + ": larger than the manifest lists";
        break;
      }
      if (!WriteAll(chunk.Data, chunk.DataLength, module_file_)) {
        failed_path = file_path;
        break;
      }
      current_written_ += static_cast<uint64_t>(chunk.DataLength);
      if (!chunk.Last) continue;
      // The file is complete: closed now, so that bytes the disk does not take fail the
      // download before the file counts as done.
      current_path_[0] = '\0';
      if (!CloseWritten(&module_file_)) {
        failed_path = file_path;
        break;
      }
      if (hashes_ != nullptr) hashes_->Add(file_path);
      completed_sizes_[file_path] = current_written_;
      // A last chunk of a module not asked for (or already complete) counts nothing.
      if (!pending_.Complete(chunk.ModuleName)) continue;
      if (MainWindowHandle != nullptr) PostToMainWindow(UM_FILE_DONE, 0, 0);
      WriteLog(path);
      if (manifest_first_ && std::strcmp(chunk.ModuleName, kManifestFileName) == 0) {
        PostToMainWindow(UM_MANIFEST_DONE, 0, 0);
      }
    }
    if (failed_path.empty() && requested_ && pending_.Count() == 0 && download_active_) {
      const std::string open_path = current_path_;
      current_path_[0] = '\0';
      if (!CloseWritten(&module_file_)) {
        failed_path = open_path;
      } else {
        download_active_ = false;
        PostToMainWindow(UM_DOWNLOAD_DONE, 0, 0);
        WriteLog("ProcessCheck" QB_COLON "KesPublish_L_FileDownload_Rsp");
      }
    }
  }
  if (!refusal.empty()) {
    Fail("ProcessDL" QB_COLON "Refused " + refusal, UM_PACKAGE_REFUSED);
  } else if (!failed_path.empty()) {
    FailWrite(failed_path);
  }
}

void ProcessDL::OnBaseChunks(const MessageHeader& header, const uint8_t* records) {
  const std::string& staging = InstallContext::Get().StagingDir;
  std::vector<std::string> paths(header.RecordCount);
  for (uint32_t i = 0; i < header.RecordCount; ++i) {
    const BaseChunkRecord chunk = DecodeBaseChunkRecord(records + i * header.RecordSize);
    if (!FormStagingPath(staging, "", chunk.FileName, &paths[i])) {
      Refuse(staging + "\\" + chunk.FileName);
      return;
    }
  }
  for (uint32_t i = 0; i < header.RecordCount; ++i) {
    const BaseChunkRecord chunk = DecodeBaseChunkRecord(records + i * header.RecordSize);
    Outcome outcome;
    {
      std::lock_guard<std::mutex> guard(state_lock_);
      if (refused_) return;
      NoteChunk();
      WriteBaseChunk(paths[i], chunk.Data, chunk.DataLength, chunk.Last, &outcome);
    }
    if (!outcome.failed_path.empty()) {
      FailWrite(outcome.failed_path);
      return;
    }
    if (outcome.archive_done && outcome.keep_archive) {
      ReportBaseKept();
      return;
    }
    // Unpacking runs without the lock: it may take a while, or even ask the user.
    if (outcome.archive_done) FinishBaseArchive(outcome.archive_path);
  }
}

void ProcessDL::WriteBaseChunk(const std::string& path, const uint8_t* data, int32_t length,
                               bool last, Outcome* outcome) {
  if (base_file_ == nullptr) {
    MakePathDirs(path.c_str());
    if (hashes_ != nullptr) hashes_->Forget(path);
    base_file_ = OpenForWriting(path.c_str(), &base_buffer_);
    if (base_file_ == nullptr) {
      outcome->failed_path = path;
      return;
    }
    base_path_ = path;
  }
  if (!WriteAll(data, length, base_file_)) {
    outcome->failed_path = base_path_;
    return;
  }
  if (!last) return;
  // A truncated archive would unpack to less than it holds, or not at all.
  if (!CloseWritten(&base_file_)) {
    outcome->failed_path = base_path_;
    return;
  }
  outcome->archive_done = true;
  outcome->archive_path = base_path_;
  if (hashes_ != nullptr) {
    hashes_->Add(base_path_);
    kept_base_archive_ = base_path_;
    base_done_ = true;
    outcome->keep_archive = true;
  }
}

void ProcessDL::ReportBaseKept() {
  PostToMainWindow(UM_BASE_DONE, 0, 0);
  WriteLog("ProcessCheck" QB_COLON "KesPublish_L_SystemDependFile_Rsp");
}

void ProcessDL::UnpackAndDelete(const std::string& archive_path) {
  {
    TUnzip unzip;
    // An archive that does not open is deleted all the same; the stage ends either way.
    if (unzip.OpenArchive(archive_path.c_str())) {
      unzip.ExtractAll(InstallContext::Get().DependDir.c_str());
    }
  }
  DeletePath(archive_path.c_str());
}

void ProcessDL::FinishBaseArchive(const std::string& archive_path) {
  unpacking_ = true;
  UnpackAndDelete(archive_path);
  {
    std::lock_guard<std::mutex> guard(state_lock_);
    base_done_ = true;
  }
  unpacking_ = false;
  PostToMainWindow(UM_BASE_DONE, 0, 0);
  WriteLog("ProcessCheck" QB_COLON "KesPublish_L_SystemDependFile_Rsp");
}

void ProcessDL::NoteChunk() {
  if (chunk_seen_) return;
  chunk_seen_ = true;
  PostToMainWindow(UM_DL_RECEIVING, 0, 0);
}

void ProcessDL::Refuse(const std::string& path) {
  // A package that names such a path fails its check on every machine.
  Fail("ProcessDL" QB_COLON "Refused " + path, UM_PACKAGE_REFUSED);
}

void ProcessDL::FailWrite(const std::string& path) {
  Fail("ProcessDL" QB_COLON "Write Faile " + path, UM_WRITE_FAIL);
}

void ProcessDL::Fail(const std::string& line, unsigned message) {
  {
    std::lock_guard<std::mutex> guard(state_lock_);
    if (refused_) return;
    refused_ = true;
  }
  WriteLog(line.c_str());
  // Sent, and before the close: the window has failed the install for this reason by the time
  // UM_DL_DISCONNECT comes (a sent message would overtake a posted one).
  SendToMainWindow(message, 0, 0);
  // Reported back through OnClientDisconnect, which closes the files and tells the window.
  CloseConnection();
}
