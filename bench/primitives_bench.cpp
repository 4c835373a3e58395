// Costs of the keyed primitives against their floors: one HMAC-SHA-256 of a
// short message from two absorbed SHA-256 states, and one AES-256 block
// through the same AES path as Ff1. Build with -DZORVA_COUNTING=ON to see the
// HMACs and AES blocks each call needs (counting adds an atomic increment per
// primitive, so take timings from a normal build).
#include <benchmark/benchmark.h>
#include <openssl/sha.h>

#include <cstring>
#if defined(__x86_64__)
#include <wmmintrin.h>
#endif
#include <string>
#include <vector>

#include "cpu/targets.h"
#include "ff1/ff1.h"
#include "keyed_hash/keyed_hash.h"

#pragma GCC diagnostic ignored "-Wdeprecated-declarations"  // SHA256_*, as the keyed hash uses them

namespace {

using namespace zorva;

const std::uint8_t kSubkey[32] = {9, 8, 7, 6, 5, 4, 3, 2, 1, 0, 1, 2, 3, 4, 5, 6,
                                  7, 8, 9, 8, 7, 6, 5, 4, 3, 2, 1, 0, 1, 2, 3, 4};

const KeyedHash& keyedHash() {
  static const KeyedHash instance(kSubkey);
  return instance;
}

const Digest& ff1Key() {
  static const Digest key = keyedHash().digest("", "ff1 key");
  return key;
}

// Per-call primitive counts over the benchmark's own iterations.
struct Counts {
#ifdef ZORVA_COUNTING
  std::uint64_t hmac0 = hmacCount(), aes0 = aesBlockCount();
  void report(benchmark::State& state) const {
    double calls = static_cast<double>(state.iterations());
    state.counters["hmac/call"] = static_cast<double>(hmacCount() - hmac0) / calls;
    state.counters["aes/call"] = static_cast<double>(aesBlockCount() - aes0) / calls;
  }
#else
  void report(benchmark::State&) const {}
#endif
};

void BM_HmacFloor(benchmark::State& state) {
  std::uint8_t block[64] = {};
  std::memcpy(block, kSubkey, 32);
  SHA256_CTX inner, outer;
  for (auto& b : block) b ^= 0x36;
  SHA256_Init(&inner);
  SHA256_Update(&inner, block, 64);
  for (auto& b : block) b ^= 0x36 ^ 0x5c;
  SHA256_Init(&outer);
  SHA256_Update(&outer, block, 64);
  std::uint8_t message[24] =
      "hash\0"
      "4111111111111111";
  std::uint8_t tag[32];
  for (auto _ : state) {
    SHA256_CTX ctx = inner;
    SHA256_Update(&ctx, message, sizeof message);
    std::uint8_t innerTag[32];
    SHA256_Final(innerTag, &ctx);
    ctx = outer;
    SHA256_Update(&ctx, innerTag, 32);
    SHA256_Final(tag, &ctx);
    message[0] ^= tag[0];
    benchmark::DoNotOptimize(tag);
  }
}
BENCHMARK(BM_HmacFloor);

void BM_AesBlock(benchmark::State& state) {
  Ff1 cipher(ff1Key(), 10);
  std::uint8_t block[16] = {1, 2, 3};
  // Chained, as in CBC-MAC: each block waits for the previous one.
  for (auto _ : state) cipher.block(block, block);
  benchmark::DoNotOptimize(block);
  state.SetLabel(cipher.usesAesInstructions() ? "aes instructions" : "openssl software");
}
BENCHMARK(BM_AesBlock);

#if defined(__x86_64__)
// The interleaved AES floor: eight independent chains of AES-256 blocks with
// the AES instructions (ns per block), the most the cipher gives independent
// values. The round keys are arbitrary: only the timing matters here.
ZORVA_TARGET_AES void BM_AesLanes(benchmark::State& state) {
  if (!zorva::cpu::hasAes()) {
    state.SkipWithError("no AES instructions");
    return;
  }
  __m128i k[15], s[8];
  for (int i = 0; i < 15; ++i) k[i] = _mm_set1_epi32(0x9e3779b9 * (i + 1));
  for (int l = 0; l < 8; ++l) s[l] = _mm_set1_epi32(l);
  for (auto _ : state) {
    for (int l = 0; l < 8; ++l) s[l] = _mm_xor_si128(s[l], k[0]);
    for (int i = 1; i < 14; ++i)
      for (int l = 0; l < 8; ++l) s[l] = _mm_aesenc_si128(s[l], k[i]);
    for (int l = 0; l < 8; ++l) s[l] = _mm_aesenclast_si128(s[l], k[14]);
  }
  benchmark::DoNotOptimize(s);
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * 8));
}
BENCHMARK(BM_AesLanes);
#endif

void BM_Digest(benchmark::State& state) {
  const KeyedHash& kh = keyedHash();
  std::string data = "4111111111111111";
  Counts counts;
  for (auto _ : state) {
    Digest d = kh.digest(data, "hash");
    data[0] = static_cast<char>(d[0]);
    benchmark::DoNotOptimize(d);
  }
  counts.report(state);
}
BENCHMARK(BM_Digest);

// HMACs of independent short messages as one batch (ns per message), on the
// road the machine has and on OpenSSL's.
void BM_HmacMany(benchmark::State& state) {
  const KeyedHash kh(kSubkey, state.range(1) ? KeyedHash::Engine::automatic : KeyedHash::Engine::openssl);
  const auto count = static_cast<std::size_t>(state.range(0));
  std::vector<std::uint8_t> messages(count * 24), tags(count * 32);
  std::vector<HmacJob> jobs;
  for (std::size_t j = 0; j < count; ++j) {
    messages[j * 24] = static_cast<std::uint8_t>(j);
    jobs.push_back({messages.data() + j * 24, 24, nullptr, 0, tags.data() + j * 32});
  }
  for (auto _ : state) {
    kh.hmacMany(jobs);
    benchmark::DoNotOptimize(tags.data());
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * count));
  state.SetLabel(kh.usesLanes() ? "lanes" : "openssl");
}
BENCHMARK(BM_HmacMany)->Args({1, 0})->Args({1, 1})->Args({64, 0})->Args({64, 1});

// Sizes: 10, 900, 10^6, 10^18, 2^64 and 2^200; values step through the
// domain so the cycle-walk passes average out.
BigInt permuteSize(int which) {
  switch (which) {
    case 0: return BigInt::fromU64(10);
    case 1: return BigInt::fromU64(900);
    case 2: return BigInt::fromU64(1000000);
    case 3: return BigInt::fromU64(1000000000000000000ULL);
    case 4: return BigInt::fromU64(1) << 64;
    default: return BigInt::fromU64(1) << 200;
  }
}

void BM_Permute(benchmark::State& state) {
  const KeyedHash& kh = keyedHash();
  const BigInt size = permuteSize(static_cast<int>(state.range(0)));
  std::vector<BigInt> values;
  for (std::uint64_t i = 0; i < 64; ++i) values.push_back(BigInt::fromU64(i * 2654435761ULL) % size);
  std::size_t i = 0;
  Counts counts;
  for (auto _ : state) {
    BigInt r = kh.permute(size, values[i++ % values.size()], "integer");
    benchmark::DoNotOptimize(r);
  }
  counts.report(state);
  state.SetLabel(size.bitLength() > 64 ? std::string("2^") + std::to_string(size.bitLength() - 1)
                                       : std::string(size.toDecimal()));
}
BENCHMARK(BM_Permute)->DenseRange(0, 5);

// The key strategy's batch road: 32 or 256 values of one band permuted at once.
// The counter is ns per HMAC round (cycle-walk passes included), beside
// BM_HmacMany's ns per HMAC of independent messages.
void BM_PermuteMany(benchmark::State& state) {
  const KeyedHash& kh = keyedHash();
  const u128 size = state.range(0) ? u128{900000} : u128{90000};
  const auto kValues = static_cast<std::size_t>(state.range(1));
  std::vector<u128> out(kValues);
  std::vector<PermuteJob> jobs;
  for (std::size_t i = 0; i < kValues; ++i) jobs.push_back({size, (i * 2654435761ULL) % size, "integer", &out[i]});
  // Rounds per batch, counted once on the one-at-a-time road's walk.
  std::size_t rounds = 0;
  const unsigned bits = 128 - static_cast<unsigned>(__builtin_clzll(static_cast<std::uint64_t>(size - 1)) + 64);
  const std::uint64_t domain = std::uint64_t{1} << (bits + (bits & 1));
  for (auto _ : state) {
    kh.permuteMany(jobs);
    benchmark::DoNotOptimize(out.data());
  }
  (void)domain;
  rounds = 10 * kValues * domain / static_cast<std::uint64_t>(size);  // the walk's expected rounds
  state.counters["ns/round"] = benchmark::Counter(static_cast<double>(state.iterations() * rounds),
                                                  benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * kValues));
}
BENCHMARK(BM_PermuteMany)->ArgsProduct({{0, 1}, {32, 256}});

void BM_Ff1Digits(benchmark::State& state) {
  Ff1 cipher(ff1Key(), 10);
  const auto n = static_cast<std::size_t>(state.range(0));
  std::vector<std::uint32_t> x(n), out(n);
  for (std::size_t i = 0; i < n; ++i) x[i] = static_cast<std::uint32_t>((i * 7 + 3) % 10);
  Counts counts;
  for (auto _ : state) {
    cipher.encrypt(x, "integer", out);
    x.swap(out);
    benchmark::DoNotOptimize(x.data());
  }
  counts.report(state);
}
BENCHMARK(BM_Ff1Digits)->Arg(6)->Arg(10)->Arg(16)->Arg(40);

void BM_Ff1Alphanumeric12(benchmark::State& state) {
  Ff1 cipher(ff1Key(), 62);
  std::vector<std::uint32_t> x(12), out(12);
  for (std::size_t i = 0; i < x.size(); ++i) x[i] = static_cast<std::uint32_t>((i * 17 + 5) % 62);
  // "text|alphanumeric|" then the skeleton: one 0x00 per character of a text
  // without separators.
  std::string tweak = std::string("text|alphanumeric|") + std::string(12, '\0');
  Counts counts;
  for (auto _ : state) {
    cipher.encrypt(x, tweak, out);
    x.swap(out);
    benchmark::DoNotOptimize(x.data());
  }
  counts.report(state);
}
BENCHMARK(BM_Ff1Alphanumeric12);

// The same encryptions as a batch of independent jobs (ns per job): what the
// fpe strategy pays per value once values are masked in batches.
void BM_Ff1Many(benchmark::State& state) {
  const Ff1 cipher(ff1Key(), 62, state.range(2) ? Ff1::AesEngine::aesInstructions : Ff1::AesEngine::automatic);
  state.SetLabel(cipher.usesVectorRounds()      ? "vector rounds"
                 : cipher.usesAesInstructions() ? "128-bit aes"
                                                : "openssl");
  const auto count = static_cast<std::size_t>(state.range(0));
  const std::size_t n = static_cast<std::size_t>(state.range(1));
  std::vector<std::uint32_t> x(count * n), out(count * n);
  for (std::size_t i = 0; i < x.size(); ++i) x[i] = static_cast<std::uint32_t>((i * 17 + 5) % 62);
  std::string tweak = std::string("text|alphanumeric|") + std::string(n, '\0');
  std::vector<Ff1Job> jobs;
  for (std::size_t j = 0; j < count; ++j) jobs.push_back({{x.data() + j * n, n}, tweak, {out.data() + j * n, n}});
  for (auto _ : state) {
    cipher.encryptMany(jobs);
    benchmark::DoNotOptimize(out.data());
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * count));
}
// 22 and 34 numerals: radix^v past 2^64 and past 2^96, the two-word rounds.
BENCHMARK(BM_Ff1Many)->ArgsProduct({{1, 8, 64}, {10, 16, 22, 34}, {0, 1}});

}  // namespace
