// Where the hot SIMD kernels start in memory.
#pragma once

// Where a kernel starts within a 64-byte line must not depend on the code
// linked before it: the unrolled rounds are long runs of long instructions,
// and at some offsets (seen on an AMD Zen 5, an unrelated change moving the
// sixteen-lane HMAC by 16 bytes) they ran at half their speed. Each kernel
// starts on a line of its own, so its speed is its own code's; never
// inlined, or its caller's placement would decide it again (one build of the
// benches lost half its HMAC speed so).
#define ZORVA_KERNEL_ALIGN __attribute__((aligned(64), noinline))
