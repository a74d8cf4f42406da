// ProcessDL: the download client. It fetches the base dependency archive when the machine needs
// it, requests every module file of the module list it was given and writes the chunks that
// arrive below the staging folder, handing each finished file to its consumer and reporting each
// finished file and the end of the download to its sink. It only downloads: what becomes of the
// files is the consumer's business.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "base/written_file.h"
#include "clients/pending_modules.h"
#include "clients/ranged_files.h"
#include "core/download_consumer.h"
#include "core/install_context.h"
#include "core/window_messages.h"
#include "net/process_client.h"
#include "wire/records.h"

struct MessageHeader;

class ProcessDL : public ProcessClient {
 public:
  // Downloads the modules of `modules` below `staging_dir`; reports to `sink` and hands the files
  // to `consumer`. The three outlive this client.
  ProcessDL(ClientSink* sink, std::string staging_dir, const ModuleList* modules,
            DownloadConsumer* consumer);
  ~ProcessDL() override;

  void OnMessage(const uint8_t* message, uint32_t length) override;
  // Drops both files, sends UM_DL_DISCONNECT, logs the loss. The file that was being written
  // stays incomplete: its module stays pending, and a later connection writes it again from its
  // first chunk.
  void OnClientDisconnect(const char* text, int32_t code) override;
  void OnLogin(int32_t error_code, const uint8_t* records, uint32_t records_length) override;
  void OnSessionNotice(int32_t) override {}
  // The base archive is requested when the consumer wants it and it is not in yet (the consumer
  // is asked on the first connection only); otherwise UM_BASE_DONE is posted.
  void OnAuthentLink(int32_t error_code) override;

  // The base archive request (0x3091, 95 bytes).
  void DownloadBaseZip();
  // The first call requests every module of the module list whose Kind is not "D"; a call on a
  // later connection, after a loss, requests only the modules whose files are not complete. In
  // requests of at most kMaxModulesPerRequest records. Called on the controller's thread.
  void DownloadModule();

  // For a program that checks the manifest before anything else is downloaded: makes the module
  // list pending as DownloadModule does, but requests only the manifest's module. UM_MANIFEST_DONE
  // follows once it is complete. False, with nothing sent, when the list holds no manifest or it
  // is complete already. Called on the controller's thread.
  bool DownloadManifest();
  // Modules an update takes from the earlier install instead: no longer pending. Posts nothing:
  // the caller counts the returned number of modules as finished files at once. Logs
  // "ProcessDL：Reuse N of M modules, B bytes" (`listed`, `bytes`: what the reuse saw). Called
  // before DownloadModule asks for the rest.
  size_t MarkReused(const std::vector<std::string>& modules, size_t listed, uint64_t bytes);
  // A module an update completes by parts: its one file is in staging at `path` (full staging
  // path) with its full `size`, lacking `ranges`. DownloadModule asks for those ranges instead
  // of the whole module (the service must answer range requests: the checked manifest says
  // so). False, with nothing changed, when the module is not pending or a range does not fit.
  // Called before DownloadModule asks for the rest.
  // `proofs`: chunks whose start was taken unproven (see RangedFiles).
  bool MarkRanged(const std::string& module, const std::string& path, uint64_t size,
                  const std::vector<FileRange>& ranges,
                  const std::vector<ProvenChunk>& proofs = {});
  // The service answers range requests (the checked manifest says so) and these modules are of
  // one file each: a file of one of them cut short by a lost connection is then completed by a
  // range from its first missing byte, not asked for again whole. Called once the manifest
  // passed its check, with LimitToManifest (the listed size is the file's).
  void ResumeByRanges(std::set<std::string> one_file_modules);
  // What the checked manifest lists: from now on a module file chunk for a path not in `sizes`
  // (full staging paths), or one that would make its file larger than the size listed there,
  // fails the download with UM_PACKAGE_REFUSED before a byte of it is written. Called once the
  // manifest passed its check, before the module files are asked for.
  void LimitToManifest(std::map<std::string, uint64_t> sizes);
  int32_t PendingCount() const;
  // The names of the modules the last DownloadModule asked for, in request order.
  std::vector<std::string> LastRequestNames() const;
  // True once every requested module file is complete and UM_DOWNLOAD_DONE is posted: a drop
  // of the connection after that loses nothing.
  bool DownloadComplete() const;
  // True while the consumer deals with the finished base archive: no byte is awaited meanwhile,
  // and unpacking it may wait for the user's answer to an overwrite prompt.
  bool Unpacking() const { return unpacking_.load(); }

 private:
  // The files the chunks of one message go to, each path formed and checked once.
  struct MessageFiles {
    std::vector<FileChunkRecord> chunks;
    std::vector<std::string> paths;    // one per file of the message
    std::vector<uint32_t> file_of;     // chunk -> index in paths
  };
  // What writing the chunks of one message came to.
  struct WriteOutcome {
    std::string failed_path;  // could not be created, written or closed
    std::string refusal;      // a chunk the manifest does not allow
    std::vector<std::string> ask_again;  // files completed by parts with a chunk to fetch whole
  };

  void OnFileChunks(const MessageHeader& header, const uint8_t* records);
  void OnBaseChunks(const MessageHeader& header, const uint8_t* records);
  // The chunks of a message with their staging paths; false (and the download refused) when one
  // names a path that could leave the staging folder.
  bool FormPaths(const MessageHeader& header, const uint8_t* records, MessageFiles* files);
  // The sizes the manifest lists for the message's files; a refusal for a file it does not list.
  // Under the state lock.
  std::vector<uint64_t> ListedSizesLocked(const MessageFiles& files, WriteOutcome* outcome) const;
  // Writes the chunks in order, opening and finishing files as they come. Under the state lock.
  void WriteChunksLocked(const MessageFiles& files, WriteOutcome* outcome);
  // The last pending module is in: the download is over. Under the state lock.
  void FinishIfCompleteLocked(WriteOutcome* outcome);
  // One base archive chunk under the state lock; true when it was the last one.
  bool WriteBaseChunkLocked(const std::string& path, const uint8_t* data, int32_t length,
                            bool last, std::string* failed_path);
  // The base archive is complete: the consumer deals with it, then the stage's end is reported.
  void FinishBaseArchive(const std::string& archive_path);
  // A chunk names a path outside the staging folder: fails the download (see Fail).
  void Refuse(const std::string& path);
  // A module download reply carries an error code instead of chunks: fails the download with
  // it (UM_DOWNLOAD_REFUSED), saying why in the log.
  void OnDownloadRefused(int32_t error_code);
  // A file cannot be created, written or closed (a full disk, say): fails the download.
  void FailWrite(const std::string& path);
  // Logs `line`, sends `message` and closes the download connection, which the controller then
  // hears as UM_DL_DISCONNECT. Only the first failure is reported.
  void Fail(const std::string& line, unsigned message, intptr_t l_param = 0);
  // The module list made pending, once (the first DownloadModule or DownloadManifest). Under the
  // state lock.
  void MakePendingLocked();
  // The file cut short by the loss of the connection: its rest asked for by range (see
  // ResumeByRanges) when it can be. Returns the line to log, or nothing.
  std::string ResumeCutFileLocked(const std::string& module, const std::string& path,
                                  uint64_t written);
  // Sends the module download requests for `wanted`, split as a frame holds them.
  void SendModuleRequests(const std::vector<ModuleDownloadRecord>& wanted);
  // Sends the range requests, each as asked (see RangedFiles::Requests).
  void SendRangeRequests(const std::vector<std::vector<ModuleRangeRecord>>& requests);
  // One chunk record of a file completed by parts. Under the state lock.
  void WriteRangeLocked(const std::string& path, const FileChunkRecord& chunk,
                        WriteOutcome* outcome);
  // Posts UM_DL_RECEIVING for the first chunk of a connection. Under the state lock.
  void NoteChunk();

  ClientSink* const sink_;
  const std::string staging_dir_;
  const ModuleList* const modules_;
  DownloadConsumer* const consumer_;

  // The files, the current path and the pending records are shared between the receive thread
  // and the controller's thread (DownloadModule, and OnClientDisconnect when the controller
  // closes the connection). The lock is never held across a send or a close, which can call back
  // into OnClientDisconnect, nor across a call to the consumer that may take long.
  mutable std::mutex state_lock_;
  PendingModules pending_;
  RangedFiles ranged_;                  // files completed by parts
  std::set<std::string> ranged_modules_;  // their modules, never asked for whole
  std::string current_path_;  // the module file module_file_ holds open
  std::string current_module_;  // and its module
  std::set<std::string> resumable_modules_;  // see ResumeByRanges
  WrittenFile module_file_;
  WrittenFile base_file_;
  uint64_t current_written_ = 0;  // bytes written to module_file_ since it was opened
  std::vector<std::string> last_request_names_;
  bool download_active_ = true;
  // Set when the modules are requested: only then can the download be complete.
  bool requested_ = false;
  bool manifest_first_ = false;  // DownloadManifest asked for the manifest alone
  std::string base_path_;
  bool base_decided_ = false;  // whether the base archive is wanted is decided once
  bool base_needed_ = false;
  bool base_done_ = false;     // in: a later connection does not fetch it again
  bool chunk_seen_ = false;    // a chunk arrived on the current connection
  // After a failure the install has failed: every later chunk is dropped.
  bool refused_ = false;

  // Set by LimitToManifest: the size of every file the manifest lists, by staging path.
  bool limited_ = false;
  std::map<std::string, uint64_t> listed_sizes_;

  std::atomic<bool> unpacking_{false};
};
