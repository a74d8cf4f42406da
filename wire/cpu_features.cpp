// cpuid and xgetbv. A feature counts only when the processor has it and the system saves its
// registers across context switches (XCR0), or the first context switch would corrupt them.
#include "wire/cpu_features.h"

#include <cpuid.h>

#include <cstdint>

namespace {

constexpr uint32_t kSse2Edx = 1u << 26;        // leaf 1
constexpr uint32_t kOsXsaveEcx = 1u << 27;     // leaf 1
constexpr uint32_t kAvxEcx = 1u << 28;         // leaf 1
constexpr uint32_t kAvx2Ebx = 1u << 5;         // leaf 7
constexpr uint32_t kAvx512fEbx = 1u << 16;     // leaf 7
constexpr uint32_t kAvx512bwEbx = 1u << 30;    // leaf 7
constexpr uint64_t kXcr0SseAvx = 0x6;          // XMM and YMM state
constexpr uint64_t kXcr0Avx512 = 0xE0;         // opmask, ZMM0-15 upper halves, ZMM16-31

// Only valid once cpuid has reported OSXSAVE.
uint64_t ReadXcr0() {
  uint32_t lo = 0, hi = 0;
  __asm__ volatile("xgetbv" : "=a"(lo), "=d"(hi) : "c"(0));
  return (uint64_t{hi} << 32) | lo;
}

CpuFeatures Detect() {
  CpuFeatures f;
  unsigned a = 0, b = 0, c = 0, d = 0;
  if (!__get_cpuid(1, &a, &b, &c, &d)) return f;
  f.sse2 = (d & kSse2Edx) != 0;
  const bool os_avx = (c & kOsXsaveEcx) && (c & kAvxEcx) &&
                      (ReadXcr0() & kXcr0SseAvx) == kXcr0SseAvx;
  if (!os_avx) return f;
  const bool os_avx512 = (ReadXcr0() & kXcr0Avx512) == kXcr0Avx512;
  if (!__get_cpuid_count(7, 0, &a, &b, &c, &d)) return f;
  f.avx2 = (b & kAvx2Ebx) != 0;
  f.avx512bw = os_avx512 && (b & kAvx512fEbx) && (b & kAvx512bwEbx);
  return f;
}

}  // namespace

const CpuFeatures& DetectedCpuFeatures() {
  static const CpuFeatures features = Detect();
  return features;
}
