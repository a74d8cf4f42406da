// IDEA key schedule (encryption and decryption subkeys) and the buffer encipherment: ECB over the
// whole blocks, the reversed-key XOR over the tail.
#include "wire/cipher_context.h"

#include <algorithm>
#include <cstring>

namespace {

constexpr int kRounds = 8;

// Multiplicative inverse modulo 65537 by Fermat (x^65535); 0 (65536) and 1 are their own.
uint16_t MulInverse(uint16_t x) {
  uint64_t base = x == 0 ? 65536 : x;
  uint64_t result = 1;
  for (uint32_t e = 65535; e != 0; e >>= 1) {
    if (e & 1) result = result * base % 65537;
    base = base * base % 65537;
  }
  return static_cast<uint16_t>(result & 0xFFFF);
}

uint16_t AddInverse(uint16_t x) { return static_cast<uint16_t>(0x10000 - x); }

}  // namespace

CipherContext::CipherContext(IdeaLanes lanes)
    : lanes_(IdeaLanesSupported(lanes) ? lanes : IdeaLanesBest()) {}

void CipherContext::SetKey(const void* key, size_t length) {
  std::memcpy(key_, key, std::min(length, kKeySize));

  // Each further group of eight subkeys is the previous 128-bit key (first word most
  // significant) rotated left by 25 bits.
  uint16_t* ek = encrypt_keys_;
  for (int i = 0; i < 8; ++i) ek[i] = static_cast<uint16_t>(key_[2 * i] | (key_[2 * i + 1] << 8));
  for (size_t j = 8; j < kSubkeyCount; ++j) {
    const uint16_t* prev = ek + (j / 8 - 1) * 8;
    size_t i = j % 8;
    ek[j] = static_cast<uint16_t>((prev[(i + 1) % 8] << 9) | (prev[(i + 2) % 8] >> 7));
  }

  // Decryption keys run the rounds backwards: inverted multiplication and addition keys, the
  // two addition keys swapped in the inner rounds, the MA keys of the round before.
  uint16_t* dk = decrypt_keys_;
  for (int r = 0; r <= kRounds; ++r) {
    const uint16_t* e = ek + 6 * (kRounds - r);
    uint16_t* d = dk + 6 * r;
    bool outer = r == 0 || r == kRounds;
    d[0] = MulInverse(e[0]);
    d[1] = AddInverse(outer ? e[1] : e[2]);
    d[2] = AddInverse(outer ? e[2] : e[1]);
    d[3] = MulInverse(e[3]);
    if (r < kRounds) {
      d[4] = e[-2];
      d[5] = e[-1];
    }
  }
}

void CipherContext::Encrypt(const uint8_t* source, uint8_t* destination, size_t length) const {
  Crypt(encrypt_keys_, source, destination, length);
}

void CipherContext::Decrypt(const uint8_t* source, uint8_t* destination, size_t length) const {
  Crypt(decrypt_keys_, source, destination, length);
}

void CipherContext::Crypt(const uint16_t* subkeys, const uint8_t* source, uint8_t* destination,
                          size_t length) const {
  size_t blocks = length / kBlockSize;
  IdeaCryptBlocks(lanes_, subkeys, source, destination, blocks);
  size_t tail = length % kBlockSize;
  size_t base = blocks * kBlockSize;
  for (size_t j = 0; j < tail; ++j) {
    destination[base + j] = source[base + j] ^ key_[tail - 1 - j];
  }
}
