// The package manifest: the signed list of what one version of a package installs. The packer
// writes it as the module file "package.manifest" in the install root; an installer that carries
// a public key checks every staged file against it before anything is put in place.
//
// Layout, little-endian, every length checked before it is read:
//   0   4  magic "QBPM"
//   4   2  format (3; formats 1 and 2 are still read)
//   6   1  package number length n (1..10), then n bytes
//   .   4  version part 3, signed
//   .   4  version part 4, signed
//   .   8  expiry, UTC seconds since 1970; 0: never (formats 2 and 3)
//   format 3 only:
//   .   1  what the download server offers: bit 0, range requests (parts of a module file); the
//          other bits are 0
//   .  12  the chunk sizes the files were cut with: min, average, max (valid ChunkSizes)
//   .   4  file count (at most kManifestMaxFiles)
//   per file, in the packer's order:
//       2  install path length L (1..kManifestPathMax), then L bytes, "\" separators
//       1  module name length k (1..kManifestModuleMax), then k bytes: the module record's Name
//          (formats 2 and 3)
//       8  size in bytes
//      32  SHA-256
//      format 3 only: 4 chunk count c, then c times: 4 length (1..max), 32 SHA-256 of the
//          chunk; the lengths add up to the size (an empty file has none), at most
//          kManifestMaxChunks chunks in the whole manifest
//   .   1  base archive name length m (0: the package has none, and nothing follows it but the
//          signature), then m bytes, 8 bytes size, 32 bytes SHA-256
//   .  64  ECDSA P-256 signature r || s of the SHA-256 of every byte before it
// Nothing follows the signature.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "base/content_chunks.h"
#include "base/module_record.h"
#include "base/sha256.h"

constexpr char kManifestFileName[] = "package.manifest";
constexpr char kManifestMagic[4] = {'Q', 'B', 'P', 'M'};
constexpr uint16_t kManifestFormat1 = 1;
constexpr uint16_t kManifestFormat2 = 2;
constexpr uint16_t kManifestFormat3 = 3;
// The format written unless another is asked for.
constexpr uint16_t kManifestFormat = kManifestFormat3;
// The Name field of a module record holds at most 50 characters.
constexpr size_t kManifestModuleMax = 50;
constexpr size_t kManifestNumberMax = 10;
// A folder part (100 bytes) and a file name part (58) as the download records carry them.
constexpr size_t kManifestPathMax = 158;
constexpr size_t kManifestBaseNameMax = 20;
constexpr size_t kManifestMaxFiles = 65535;
constexpr size_t kManifestSignatureSize = 64;
// Chunks in one manifest: 36 MiB of chunk lists, 32 GiB of files at the default average.
constexpr size_t kManifestMaxChunks = 1 << 20;
constexpr uint8_t kManifestOffersRanges = 1;

struct ManifestChunk {
  uint32_t length = 0;
  Sha256Digest sha256 = {};
};

struct ManifestFile {
  ManifestFile() = default;
  ManifestFile(std::string file_path, uint64_t file_size, const Sha256Digest& digest,
               std::string module_name)
      : path(std::move(file_path)), size(file_size), sha256(digest),
        module(std::move(module_name)) {}

  std::string path;  // below the install root, "\" separators
  uint64_t size = 0;
  Sha256Digest sha256 = {};
  std::string module;  // the module it belongs to (formats 2 and 3); empty in format 1
  std::vector<ManifestChunk> chunks;  // format 3: the file cut at content-defined boundaries
};

struct PackageManifest {
  // A manifest filled in field by field is of format 2 unless told otherwise; format 3 needs
  // every file's chunks, which BuildManifest (the packer's) adds. 1 writes the oldest layout
  // (no modules, no expiry).
  uint16_t format = kManifestFormat2;
  std::string package_number;
  VersionPair version;
  uint64_t expires = 0;  // UTC seconds; 0: never
  uint8_t offers = 0;    // format 3: kManifestOffersRanges when the service answers them
  ChunkSizes chunk_sizes;  // format 3: what the chunk lists were cut with
  std::vector<ManifestFile> files;
  ManifestFile base_archive;  // path is the archive's name; empty when there is none
};

// The signed part: every byte before the signature. False, with `body` left empty, when a field
// does not fit its range (a number, path or name too long or empty, too many files) or holds
// what the decoder refuses (a control character, a path that would leave the install folder or
// that some Windows volume cannot hold, a path that occurs twice in any letter case, from format 2
// on a file without its module; in format 1 an expiry, which that layout cannot carry; in format
// 3 chunk sizes that are not valid, an offer not known, chunks that do not add up to their file,
// one longer than the max, too many of them; chunks or offers in the formats before it).
bool EncodeManifestBody(const PackageManifest& manifest, std::vector<uint8_t>* body);

// Reads a whole manifest file. False when it is cut short, carries bytes after the signature, or
// any length is out of range, a path is empty or holds a NUL or control character, a path would
// leave the install folder (an empty, ".." or device component, "/" or ":") or names what some
// Windows volume cannot hold (a component ending in a dot or a blank, one of < > " | ? *), or
// two paths differ in letter case at most, or (format 3) the chunk sizes, an offer or a chunk
// list is refused as EncodeManifestBody refuses it. On success `*signed_size` is the length of
// the signed part and `signature` points at the 64 bytes after it, inside `data`.
bool DecodeManifest(const uint8_t* data, size_t size, PackageManifest* manifest,
                    size_t* signed_size, const uint8_t** signature);
