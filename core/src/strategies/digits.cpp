// The digits strategy: every ASCII digit of a text, or every digit of an
// integer, replaced by keyed digits, one by one and in batches; the digit
// runs it keeps (leading and trailing) stay as they were.
#include "strategies/digits.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#include "strategies/key.h"
#include "support/ascii.h"
#include "support/byte_road.h"
#include "support/scratch.h"

namespace zorva {

namespace {

constexpr std::size_t kStackDigits = 256;
// The digits strategy draws under the empty label.
constexpr std::string_view kNoLabel = "";

bool isDigit(char c) noexcept { return static_cast<unsigned char>(c - '0') < 10; }

// The stream a run of n digits draws: 2n + 32 bytes.
std::size_t streamLength(std::size_t n) noexcept { return 2 * n + 32; }

// Whether a run of n digits can be masked at all: keeping every digit is a decline.
bool masksRun(std::size_t n, std::uint64_t keepLeading, std::uint64_t keepTrailing) noexcept {
  // Exact sum: two counts near 2^64 must not wrap into a small number.
  const u128 kept = static_cast<u128>(keepLeading) + keepTrailing;
  return !(n > 0 && n <= kept);
}

// Each stream byte's digit, or kSkip for the bytes 250..255 that would bias
// the digits.
constexpr std::uint8_t kSkip = 0xFF;
constexpr auto kDigitOf = [] {
  std::array<std::uint8_t, 256> digits{};
  for (int b = 0; b < 256; ++b) digits[b] = b <= 249 ? static_cast<std::uint8_t>(b % 10) : kSkip;
  return digits;
}();

// The stream's digits R in order from its first length bytes, compacted in
// place; returns how many it found. The whole length is read: its count is
// the same for most runs, so the loop's end is predicted, where stopping at
// the digits a run needs would mispredict once a run. Digits past the ones a
// run uses never reach it (placeDigits reads R[i mod r] with r >= n then).
// Sixteen bytes go at once where none of them is skipped (about two blocks
// in three): each byte's digit b - 10 floor(b / 10), with floor(b / 10) =
// (205 b) >> 11 for every byte. A block with a skipped byte goes a byte at a
// time through the table. Either way R is written at or behind the byte
// being read, so compacting in place never overwrites an unread byte.
std::size_t streamDigits(std::uint8_t* s, std::size_t length) noexcept {
  std::size_t r = 0, k = 0;
  auto oneByOne = [&](std::size_t end) {
    for (; k < end; ++k) {
      const std::uint8_t digit = kDigitOf[s[k]];
      s[r] = digit;
      r += digit != kSkip;
    }
  };
#if defined(__SSE2__)
  const __m128i zero = _mm_setzero_si128();
  const __m128i lastDigit = _mm_set1_epi8(static_cast<char>(249));
  const __m128i tenth = _mm_set1_epi16(205), ten = _mm_set1_epi16(10);
  auto lastDigits = [&](__m128i words) {
    const __m128i tens = _mm_srli_epi16(_mm_mullo_epi16(words, tenth), 11);
    return _mm_sub_epi16(words, _mm_mullo_epi16(tens, ten));
  };
  for (; k + 16 <= length;) {
    const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + k));
    // A byte above 249 is the only one left nonzero by the saturating subtraction.
    if (_mm_movemask_epi8(_mm_cmpeq_epi8(_mm_subs_epu8(bytes, lastDigit), zero)) != 0xFFFF) {
      oneByOne(k + 16);
      continue;
    }
    const __m128i digits =
        _mm_packus_epi16(lastDigits(_mm_unpacklo_epi8(bytes, zero)), lastDigits(_mm_unpackhi_epi8(bytes, zero)));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(s + r), digits);
    r += 16;
    k += 16;
  }
#endif
  oneByOne(length);
  return r;
}

#if defined(__x86_64__)
ZORVA_BYTE_ROAD_BEGIN
ZORVA_TARGET_BYTES inline __mmask64 digitBytes(__m512i v) noexcept {
  return _mm512_cmplt_epu8_mask(_mm512_sub_epi8(v, _mm512_set1_epi8('0')), _mm512_set1_epi8(10));
}

// streamDigits on the byte road: each byte's digit from the table by two
// two-register permutes (one per half of the byte range), the bytes up to
// 249 compressed into place. The store at r <= k never reaches past the
// block just read.
ZORVA_TARGET_BYTES std::size_t streamDigitsBytes(std::uint8_t* s, std::size_t length) noexcept {
  const __m512i t0 = _mm512_loadu_si512(kDigitOf.data()), t1 = _mm512_loadu_si512(kDigitOf.data() + 64);
  const __m512i t2 = _mm512_loadu_si512(kDigitOf.data() + 128), t3 = _mm512_loadu_si512(kDigitOf.data() + 192);
  const __m512i lastDigit = _mm512_set1_epi8(static_cast<char>(249));
  std::size_t r = 0;
  for (std::size_t k = 0; k < length; k += 64) {
    const __mmask64 in = firstBytes(std::min<std::size_t>(64, length - k));
    const __m512i b = _mm512_maskz_loadu_epi8(in, s + k);
    const __m512i low = _mm512_permutex2var_epi8(t0, b, t1), high = _mm512_permutex2var_epi8(t2, b, t3);
    const __m512i digits = _mm512_mask_blend_epi8(_mm512_movepi8_mask(b), low, high);
    const __mmask64 kept = _mm512_cmple_epu8_mask(b, lastDigit) & in;
    const auto count = static_cast<std::size_t>(_mm_popcnt_u64(kept));
    _mm512_mask_storeu_epi8(s + r, firstBytes(count), _mm512_maskz_compress_epi8(kept, digits));
    r += count;
  }
  return r;
}

// placeDigits' common case (r >= n, no digit of R used twice) on the byte road.
ZORVA_TARGET_BYTES void placeDigitsBytes(char* digits, std::size_t begin, std::size_t end,
                                         const std::uint8_t* s) noexcept {
  const __m512i zero = _mm512_set1_epi8('0');
  for (std::size_t k = begin - begin % 64; k < end; k += 64) {
    __mmask64 place = firstBytes(std::min<std::size_t>(64, end - k));
    if (k < begin) place &= ~firstBytes(begin - k);
    _mm512_mask_storeu_epi8(digits + k, place, _mm512_add_epi8(_mm512_maskz_loadu_epi8(place, s + k), zero));
  }
}

// A text of at most 64 bytes: its digits in order to run (count of them
// returned), and whether it is ASCII.
ZORVA_TARGET_BYTES std::size_t gatherDigitsBytes(std::string_view text, char* run, bool& ascii) noexcept {
  const __m512i v = loadText(text);
  ascii = _mm512_movepi8_mask(v) == 0;
  const __mmask64 digit = digitBytes(v);  // the zeros past the text are no digits
  const auto count = static_cast<std::size_t>(_mm_popcnt_u64(digit));
  _mm512_mask_storeu_epi8(run, firstBytes(count), _mm512_maskz_compress_epi8(digit, v));
  return count;
}

// out = text (at most 64 bytes) with its digits replaced, in order, by the
// count of them in digits.
ZORVA_TARGET_BYTES void scatterDigitsBytes(std::string_view text, const char* digits, std::size_t count,
                                           char* out) noexcept {
  const __mmask64 in = firstBytes(text.size());
  const __m512i v = loadText(text);
  const __m512i masked = _mm512_maskz_loadu_epi8(firstBytes(count), digits);
  _mm512_mask_storeu_epi8(out, in, _mm512_mask_expand_epi8(v, digitBytes(v), masked));
}
ZORVA_BYTE_ROAD_END
#else
std::size_t streamDigitsBytes(std::uint8_t*, std::size_t) noexcept { return 0; }
void placeDigitsBytes(char*, std::size_t, std::size_t, const std::uint8_t*) noexcept {}
std::size_t gatherDigitsBytes(std::string_view, char*, bool&) noexcept { return 0; }
void scatterDigitsBytes(std::string_view, const char*, std::size_t, char*) noexcept {}
#endif

// The digits a run of n draws are R[i mod r] for i < n: once the stream has
// given max(n, 1) of them, the rest of it cannot change a digit (nor the
// decline when r = 0). So a run first hashes only the blocks that nearly
// always hold that many, with a margin for the skipped bytes, and the whole
// stream only when they fall short.
std::size_t leadLength(std::size_t n) noexcept { return std::min(streamLength(n), (n + n / 8 + 4 + 31) / 32 * 32); }

// Masks n ASCII digits in place from their digits R (r of them, r >= 1).
// Every position draws its digit R[i mod r] whether kept or not, so a masked
// digit never depends on the keep counts.
void placeDigits(char* digits, std::size_t n, const std::uint8_t* s, std::size_t r, std::uint64_t keepLeading,
                 std::uint64_t keepTrailing, bool bytes) noexcept {
  // The masked positions are one range, [keepLeading, n - keepTrailing).
  const std::size_t begin = keepLeading < n ? static_cast<std::size_t>(keepLeading) : n;
  const std::size_t end = keepTrailing < n ? n - static_cast<std::size_t>(keepTrailing) : 0;
  if (r >= n) {
    // Almost always: no digit of R is used twice, and no division is needed.
    if (bytes) {
      if (begin < end) placeDigitsBytes(digits, begin, end, s);
    } else {
      for (std::size_t i = begin; i < end; ++i) digits[i] = static_cast<char>('0' + s[i]);
    }
    return;
  }
  for (std::size_t i = begin; i < end; ++i) digits[i] = static_cast<char>('0' + s[i % r]);
}

// Masks n ASCII digits in place from the stream's first have bytes (the
// caller's buffer holds room for the whole stream); false means decline.
bool finishRun(const KeyedHash& keyedHash, char* digits, std::size_t n, std::uint8_t* s, std::size_t have,
               std::uint64_t keepLeading, std::uint64_t keepTrailing, bool bytes = false) {
  const std::size_t want = std::max<std::size_t>(n, 1);
  auto compact = [&](std::size_t length) { return bytes ? streamDigitsBytes(s, length) : streamDigits(s, length); };
  std::size_t r = compact(have);
  if (r < want && have < streamLength(n)) {
    keyedHash.expand(std::string_view(digits, n), streamLength(n), kNoLabel, s);
    r = compact(streamLength(n));
  }
  if (r == 0) return false;
  placeDigits(digits, n, s, r, keepLeading, keepTrailing, bytes);
  return true;
}

// Masks n ASCII digits in place; false means decline.
bool maskRunInPlace(const KeyedHash& keyedHash, char* digits, std::size_t n, std::uint64_t keepLeading,
                    std::uint64_t keepTrailing) {
  if (!masksRun(n, keepLeading, keepTrailing)) return false;
  Scratch<2 * kStackDigits + 32, std::uint8_t> stream(streamLength(n));
  keyedHash.expand(std::string_view(digits, n), leadLength(n), kNoLabel, stream.data());
  return finishRun(keyedHash, digits, n, stream.data(), leadLength(n), keepLeading, keepTrailing);
}

}  // namespace

Outcome<Text> maskDigitRun(const KeyedHash& keyedHash, std::string_view digits, std::uint64_t keepLeading,
                           std::uint64_t keepTrailing) {
  Text out(digits);
  if (!maskRunInPlace(keyedHash, out.data(), out.size(), keepLeading, keepTrailing)) return Decline{};
  return out;
}

Outcome<Text> maskDigitsText(const KeyedHash& keyedHash, std::string_view text, std::uint64_t keepLeading,
                             std::uint64_t keepTrailing) {
  Outcome<Text> out;
  maskDigitsTexts(keyedHash, {&text, 1}, keepLeading, keepTrailing, &out);
  return out;
}

void maskDigitsTexts(const KeyedHash& keyedHash, std::span<const std::string_view> texts, std::uint64_t keepLeading,
                     std::uint64_t keepTrailing, Outcome<Text>* out, ByteRoad road) {
  constexpr std::size_t kBatch = 16;
  const bool bytes = takesByteRoad(road);
  for (std::size_t from = 0; from < texts.size(); from += kBatch) {
    const std::size_t n = std::min(kBatch, texts.size() - from);
    std::size_t total = 0;
    for (std::size_t i = 0; i < n; ++i) total += texts[from + i].size();
    // Each text's digit run, then the streams of all runs. One byte more:
    // the loops below write and read one slot past a run.
    Scratch<1024, char> runs(total + 1);
    Scratch<4096, std::uint8_t> streams(2 * total + 32 * n);
    ExpandJob jobs[kBatch];
    char* runOf[kBatch];
    std::size_t owner[kBatch];
    std::size_t jobCount = 0;
    char* run = runs.data();
    std::uint8_t* stream = streams.data();
    for (std::size_t i = 0; i < n; ++i) {
      const std::string_view text = texts[from + i];
      std::size_t count = 0;
      bool ascii = true;
      if (bytes && text.size() <= kByteRoadText) {
        count = gatherDigitsBytes(text, run, ascii);
      } else if ((ascii = isAscii(text))) {
        // Without branches: where the separators fall differs from value to
        // value. Every byte is written, and a separator is overwritten next.
        for (char c : text) {
          run[count] = c;
          count += isDigit(c) ? 1 : 0;
        }
      }
      if (!ascii) {
        out[from + i] = Decline{};
        continue;
      }
      if (count == 0) {
        out[from + i] = Text(text);
        continue;
      }
      if (!masksRun(count, keepLeading, keepTrailing)) {
        out[from + i] = Decline{};
        continue;
      }
      jobs[jobCount] = ExpandJob{std::string_view(run, count), leadLength(count), kNoLabel, stream};
      runOf[jobCount] = run;
      owner[jobCount++] = from + i;
      run += count;
      stream += streamLength(count);
    }
    keyedHash.expandMany({jobs, jobCount});
    for (std::size_t j = 0; j < jobCount; ++j) {
      char* digits = runOf[j];
      const std::size_t count = jobs[j].data.size();
      if (!finishRun(keyedHash, digits, count, jobs[j].out, jobs[j].length, keepLeading, keepTrailing, bytes)) {
        out[owner[j]] = Decline{};
        continue;
      }
      const std::string_view text = texts[owner[j]];
      Text& result = out[owner[j]].emplace<Text>(text);  // in its slot, never moved
      if (bytes && text.size() <= kByteRoadText) {
        scatterDigitsBytes(text, digits, count, result.data());
        continue;
      }
      std::size_t k = 0;
      for (char& c : result) {
        const bool digit = isDigit(c);
        c = digit ? digits[k] : c;  // digits[count]: the next run's byte, or the spare one
        k += digit ? 1 : 0;
      }
    }
  }
}

Outcome<BigInt> maskDigitsInteger(const KeyedHash& keyedHash, const BigInt& value, std::uint64_t keepLeading,
                                  std::uint64_t keepTrailing) {
  // log10(2) < 1/3, so bits / 3 + 2 digits always suffice.
  const std::size_t capacity = static_cast<std::size_t>(value.bitLength() / 3 + 2);
  Scratch<kStackDigits, std::uint8_t> values(capacity);
  const std::size_t n = magnitudeDigits(value, values.data(), capacity);

  // Two copies: the masked run, and the unmasked digits that draw a
  // replacement for a leading zero.
  Scratch<2 * kStackDigits, char> text(2 * n);
  char* masked = text.data();
  char* original = masked + n;
  for (std::size_t i = 0; i < n; ++i) masked[i] = original[i] = static_cast<char>('0' + values.data()[i]);
  if (!maskRunInPlace(keyedHash, masked, n, keepLeading, keepTrailing)) return Decline{};
  if (n >= 2 && masked[0] == '0') {
    masked[0] = static_cast<char>('1' + keyedHash.below(std::string_view(original, n), std::uint64_t{9}, "lead"));
  }
  for (std::size_t i = 0; i < n; ++i) values.data()[i] = static_cast<std::uint8_t>(masked[i] - '0');
  return integerFromDigits(values.data(), n, value.isNegative());
}

}  // namespace zorva
