// What becomes of the files the download client writes. The client only downloads: it tells the
// consumer it was given about each file it starts and finishes, and about the base archive; the
// install steps behind the consumer hash, keep or unpack them. Called on the download
// connection's receive thread.
#pragma once

#include <cstdint>
#include <string>

class DownloadConsumer {
 public:
  virtual ~DownloadConsumer() = default;
  // Whether this machine takes the base dependency archive; asked once per install.
  virtual bool WantsBaseArchive() = 0;
  // `path` (a full staging path) is being written anew: whatever was known of it is void.
  virtual void FileStarted(const std::string& path) = 0;
  // `path` is complete, with `size` bytes, and closed.
  virtual void FileFinished(const std::string& path, uint64_t size) = 0;
  // The base archive at `path` is complete and closed; returns once it is dealt with (unpacked,
  // or kept for later). No byte is awaited meanwhile.
  virtual void BaseArchiveFinished(const std::string& path) = 0;
};
