// What the processor and the operating system let this program use, read once with cpuid (and
// xgetbv for the register state the system saves), for choosing among code paths at run time.
#pragma once

struct CpuFeatures {
  bool sse2 = false;
  bool avx2 = false;      // AVX2, with the YMM state enabled by the system
  bool avx512bw = false;  // AVX-512 F and BW, with the opmask and ZMM state enabled
};

// Detected on the first call; later calls return the same answer.
const CpuFeatures& DetectedCpuFeatures();
