// What this CPU offers the SHA-256 roads (the SHA instructions, AVX-512 and
// AVX2), as the road choice reads it once per process.
#pragma once

namespace zorva::sha256 {

struct CpuRoads {
  bool shaNi = false;
  bool avx512 = false;
  bool avx2 = false;
};

// Asks the processor; the road choice caches the answer.
CpuRoads detectCpuRoads() noexcept;

}  // namespace zorva::sha256
