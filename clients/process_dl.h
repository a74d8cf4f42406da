// ProcessDL: the download client. It fetches and unpacks the base dependency archive when the
// machine needs it, requests every module file of the module list and writes the chunks that
// arrive below StagingDir, reporting each finished file and the end of the download.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "clients/pending_modules.h"
#include "net/process_client.h"

struct MessageHeader;
class StagedHashes;

class ProcessDL : public ProcessClient {
 public:
  ProcessDL() = default;
  ~ProcessDL() override;

  void OnMessage(const uint8_t* message, uint32_t length) override;
  // Closes both files, sends UM_DL_DISCONNECT synchronously, logs the loss. The file that was
  // being written stays incomplete: its module stays pending, and a later connection writes it
  // again from its first chunk.
  void OnClientDisconnect(const char* text, int32_t code) override;
  void OnLogin(int32_t error_code, const uint8_t* records, uint32_t records_length) override;
  void OnSessionNotice(int32_t) override {}
  // The base archive is requested when the machine needs it and it has not been unpacked yet
  // (the decision is taken on the first connection only); otherwise UM_BASE_DONE is posted.
  void OnAuthentLink(int32_t error_code) override;

  // The base archive request (0x3091, 95 bytes).
  void DownloadBaseZip();
  // The first call requests every module of the module list whose Kind is not "D"; a call on a
  // later connection, after a loss, requests only the modules whose files are not complete. In
  // requests of at most kMaxModulesPerRequest records. Called on the window thread.
  void DownloadModule();

  // For a program that checks the manifest before anything else is downloaded: makes the module
  // list pending as DownloadModule does, but requests only the manifest's module. UM_MANIFEST_DONE
  // follows once it is complete. False, with nothing sent, when the list holds no manifest or it
  // is complete already. Called on the window thread.
  bool DownloadManifest();
  // Modules an update takes from the earlier install instead: no longer pending, and `files`
  // (below StagingDir, with their sizes) counted as completed, in one pass. Posts nothing: the
  // caller, on the window thread, counts the returned number of modules as finished files at
  // once. Logs "ProcessDL：Reuse N of M modules, B bytes". Called before DownloadModule asks for
  // the rest.
  size_t MarkReused(const std::vector<std::string>& modules,
                    const std::vector<std::pair<std::string, uint64_t>>& files, size_t listed,
                    uint64_t bytes);
  // What the checked manifest lists: from now on a module file chunk for a path not in `sizes`
  // (full staging paths), or one that would make its file larger than the size listed there,
  // fails the download with UM_PACKAGE_REFUSED before a byte of it is written. Called on the
  // window thread once the manifest passed its check, before the module files are asked for.
  void LimitToManifest(std::map<std::string, uint64_t> sizes);
  int32_t PendingCount() const;
  // The names of the modules the last DownloadModule asked for, in request order.
  std::vector<std::string> LastRequestNames() const;
  // True once every requested module file is complete and UM_DOWNLOAD_DONE is posted: a drop
  // of the connection after that loses nothing.
  bool DownloadComplete() const;
  // Every module file completed so far is still in the staging folder with the size it was
  // written with. Otherwise `*first_bad` names the first that is not (relative to StagingDir)
  // and `*reason` says how. Something else (an antivirus program, another process) may have
  // removed or cut a file since. Called on the window thread once the download is complete.
  bool CompletedFilesIntact(std::string* first_bad, std::string* reason) const;
  // True while the finished base archive is being unpacked: no byte is awaited meanwhile, and the
  // unpacking may wait for the user's answer to an overwrite prompt.
  bool Unpacking() const { return unpacking_.load(); }

  // For a program that checks packages before it installs them: every file is hashed into
  // `hashes` as it completes, and the base archive stays packed in the staging folder (and the
  // dependency folder off the user's Path) until UnpackKeptBaseArchive. Set before connecting.
  void CheckPackages(StagedHashes* hashes);
  // The base archive kept in the staging folder, or empty when none was downloaded.
  std::string KeptBaseArchive() const;
  // Unpacks the kept base archive into DependDir, deletes it and adds DependDir to the user's
  // Path. Does nothing when no archive was kept. Called on the window thread once the package
  // passed its check.
  void UnpackKeptBaseArchive();

  // Replaces BaseZipNeeded (which also edits the user's stored Path) as the decision whether the
  // base archive is fetched; an empty function restores it.
  void SetBaseZipDecisionForTest(std::function<bool()> decision);

 private:
  // What the handling of one chunk message asks for once the state lock is released.
  struct Outcome {
    std::string failed_path;      // the archive could not be written: fail the download
    std::string archive_path;     // the base archive is complete: unpack it
    bool archive_done = false;
    bool keep_archive = false;    // packages are checked: it stays packed until then
  };

  void OnFileChunks(const MessageHeader& header, const uint8_t* records);
  void OnBaseChunks(const MessageHeader& header, const uint8_t* records);
  // One base archive chunk under the state lock.
  void WriteBaseChunk(const std::string& path, const uint8_t* data, int32_t length, bool last,
                      Outcome* outcome);
  // The base archive is complete and stays packed: reports the stage's end.
  void ReportBaseKept();
  // Extracts the archive below DependDir (when it opens as one) and deletes it.
  static void UnpackAndDelete(const std::string& archive_path);
  // Unpacks the finished base archive into DependDir, deletes it and reports the stage's end.
  void FinishBaseArchive(const std::string& archive_path);
  // A chunk names a path outside the staging folder: fails the download (see Fail).
  void Refuse(const std::string& path);
  // A file cannot be created, written or closed (a full disk, say): fails the download.
  void FailWrite(const std::string& path);
  // Logs `line`, posts UM_WRITE_FAIL and closes the download connection, which the window then
  // hears as UM_DL_DISCONNECT. Only the first failure is reported.
  void Fail(const std::string& line, unsigned message);
  // The module list made pending, once (the first DownloadModule or DownloadManifest). Under the
  // state lock.
  void MakePendingLocked();
  // Sends the module download requests for `wanted`, split as a frame holds them.
  void SendModuleRequests(const std::vector<ModuleDownloadRecord>& wanted);
  // Posts UM_DL_RECEIVING for the first chunk of a connection. Under the state lock.
  void NoteChunk();

  // The files, the current path and the pending records are shared between the receive thread
  // and the window thread (DownloadModule, and OnClientDisconnect when the window closes the
  // connection). The lock is never held across a send or a close, which can call back into
  // OnClientDisconnect.
  mutable std::mutex state_lock_;
  PendingModules pending_;
  char current_path_[260] = {};
  FILE* module_file_ = nullptr;
  FILE* base_file_ = nullptr;
  // The write buffers of the two files; each outlives the file it serves.
  std::vector<char> module_buffer_;
  std::vector<char> base_buffer_;
  uint64_t current_written_ = 0;  // bytes written to module_file_ since it was opened
  // The size each completed module file was written with, by its path; a file written again
  // leaves until it completes again.
  std::map<std::string, uint64_t> completed_sizes_;
  std::vector<std::string> last_request_names_;
  bool download_active_ = true;
  // Set when the modules are requested: only then can the download be complete.
  bool requested_ = false;
  bool manifest_first_ = false;  // DownloadManifest asked for the manifest alone
  std::string base_path_;
  bool base_decided_ = false;  // whether the base archive is needed is decided once
  bool base_needed_ = false;
  bool base_done_ = false;     // unpacked: a later connection does not fetch it again
  bool chunk_seen_ = false;    // a chunk arrived on the current connection
  // After a failure the install has failed: every later chunk is dropped.
  bool refused_ = false;

  // Set by LimitToManifest: the size of every file the manifest lists, by staging path.
  bool limited_ = false;
  std::map<std::string, uint64_t> listed_sizes_;

  StagedHashes* hashes_ = nullptr;  // set by CheckPackages
  std::string kept_base_archive_;

  std::function<bool()> base_zip_decision_;
  std::atomic<bool> unpacking_{false};
};
