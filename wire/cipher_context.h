// One IDEA key context of the frame codec. Words are little-endian in memory (key, blocks), so a
// standard IDEA gives the same result on byte-swapped words. Buffers are enciphered block by block
// (ECB); the 0..7 bytes after the last whole block are XORed with the key bytes in reverse order.
#pragma once

#include <cstddef>
#include <cstdint>

#include "wire/idea_blocks.h"

class CipherContext {
 public:
  static constexpr size_t kKeySize = 16;
  static constexpr size_t kSubkeyCount = 52;
  static constexpr size_t kBlockSize = 8;

  // All zero: key bytes and both subkey tables (an unkeyed session context), enciphering on the
  // widest lane path this processor runs.
  CipherContext() = default;
  // The same on the path `lanes` (benchmarks and tests compare the paths); a path this processor
  // lacks gives the widest it runs instead.
  explicit CipherContext(IdeaLanes lanes);

  // Copies min(length, 16) bytes of `key` over the key bytes (the rest keep their contents) and
  // derives both subkey tables from the 16 key bytes.
  void SetKey(const void* key, size_t length);

  // `destination` gets `length` bytes; it must not overlap `source`.
  void Encrypt(const uint8_t* source, uint8_t* destination, size_t length) const;
  void Decrypt(const uint8_t* source, uint8_t* destination, size_t length) const;

  const uint8_t* key() const { return key_; }
  // The lane path Encrypt and Decrypt take; SetKey and copies keep it.
  IdeaLanes lanes() const { return lanes_; }

 private:
  void Crypt(const uint16_t* subkeys, const uint8_t* source, uint8_t* destination,
             size_t length) const;

  uint8_t key_[kKeySize] = {};
  uint16_t encrypt_keys_[kSubkeyCount] = {};
  uint16_t decrypt_keys_[kSubkeyCount] = {};
  IdeaLanes lanes_ = IdeaLanesBest();
};
