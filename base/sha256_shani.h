// SHA-256 on the x86 SHA extensions (SHA-NI), chosen at run time: several times the speed of
// the system's providers where the processor has them (every x86 processor of the last few
// years), in the 32-bit program too. Where it has not, or they are off, Sha256 hashes with the
// system.
#pragma once

#include <cstddef>
#include <cstdint>

#include "base/sha256.h"

// True when the processor has the SHA extensions (with SSSE3 and SSE4.1) and they are switched
// on (UseShaExtensions).
bool ShaExtensionsInUse();
// On by default: every new hash uses the extensions where the processor has them; off, the
// system's, as the tests and the benchmark compare.
void UseShaExtensions(bool use);

// An incremental hash on the extensions; valid only where ShaExtensionsInUse() was true.
class ShaNiHash {
 public:
  ShaNiHash();
  void Update(const uint8_t* data, size_t size);
  Sha256Digest Finish();

 private:
  uint32_t state_[8];
  uint8_t buffer_[64];
  size_t buffered_ = 0;
  uint64_t total_ = 0;
};
