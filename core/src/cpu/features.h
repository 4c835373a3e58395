// CPU feature detection for the whole core: which instruction sets this
// processor and its operating system let the core use, read once.
#pragma once

namespace zorva {

// Each flag is true only where the CPU has the instructions and, for those
// on 256- or 512-bit registers, the OS saves those registers; on other
// architectures all are false.
struct CpuFeatures {
  bool aes = false;   // AES-NI: the 128-bit AES round instructions
  bool vaes = false;  // the AES rounds on 256- and 512-bit registers
  bool avx2 = false;
  bool avx512f = false;
  bool avx512dq = false;
  bool avx512bw = false;
  bool avx512vl = false;
  bool avx512ifma = false;   // 52-bit multiply-add
  bool avx512vbmi = false;   // byte permutes
  bool avx512vbmi2 = false;  // byte compress and expand
  bool bmi2 = false;
  bool popcnt = false;
  bool ssse3 = false;
  bool sse41 = false;
  bool shaNi = false;  // the SHA-256 round instructions
};

// Reads CPUID (and the OS's register saving); cpuFeatures() keeps its answer.
CpuFeatures detectCpuFeatures() noexcept;

// This machine's features, detected on the first call.
inline const CpuFeatures& cpuFeatures() noexcept {
  static const CpuFeatures features = detectCpuFeatures();
  return features;
}

}  // namespace zorva
