// Small scratch types shared by the primitives.
#pragma once

#include <gmp.h>

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "support/alloc.h"

namespace zorva {

// A buffer of N elements on the stack when that is enough, on the engine heap
// otherwise.
template <std::size_t N, class T = std::uint8_t>
class Scratch {
 public:
  explicit Scratch(std::size_t size) {
    if (size <= N) {
      data_ = local_;
    } else {
      heap_.resize(size);
      data_ = heap_.data();
    }
  }
  // A copy would keep pointing at the original's stack buffer.
  Scratch(const Scratch&) = delete;
  Scratch& operator=(const Scratch&) = delete;
  T* data() noexcept { return data_; }

 private:
  alignas(16) T local_[N];
  Vec<T> heap_;
  T* data_;
};

// A GMP integer that clears itself.
struct Mpz {
  mpz_t v;
  Mpz() { mpz_init(v); }
  ~Mpz() { mpz_clear(v); }
  Mpz(const Mpz&) = delete;
  Mpz& operator=(const Mpz&) = delete;
  operator mpz_ptr() noexcept { return v; }
  operator mpz_srcptr() const noexcept { return v; }
};

// Writes x (non-negative, below 2^(8 len)) big-endian into exactly len bytes.
inline void mpzBytesBE(mpz_srcptr x, std::uint8_t* out, std::size_t len) {
  std::memset(out, 0, len);
  if (mpz_sgn(x) == 0) return;
  std::size_t bytes = (mpz_sizeinbase(x, 2) + 7) / 8;
  std::size_t written = 0;
  mpz_export(out + (len - bytes), &written, 1, 1, 1, 0, x);
}

}  // namespace zorva
