// libFuzzer targets over the core's parsers and maskers, one entry each. Every
// fuzz binary is this file built with ZORVA_FUZZ_TARGET naming its entry (see
// CMakeLists.txt); the entry's seed corpus is corpus/<entry>.
#include <algorithm>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <optional>
#include <string>
#include <vector>

#include "support/bytes.h"
#include "strategies/digits.h"
#include "strategies/hash.h"
#include "strategies/fake.h"
#include "ff1/ff1.h"
#include "number/float_repr.h"
#include "strategies/fpe.h"
#include "strategies/key.h"
#include "number/number.h"
#include "number/testing.h"
#include "sha256/lanes.h"
#include "sha256/lanes_testing.h"

namespace {

using namespace zorva;

// Aborting (not throwing) makes libFuzzer keep the input as a crash. An
// expression, so that an entry may end with `return CHECK(...)`.
[[noreturn]] void fail(int line, const char* what) {
  std::fprintf(stderr, "fuzz_targets.cpp:%d: invariant failed: %s\n", line, what);
  std::abort();
}
#define CHECK(cond) ((cond) ? void() : fail(__LINE__, #cond))

const KeyedHash& columnKey() {
  static const KeyedHash key(std::string_view("0123456789abcdef0123456789ABCDEF"));
  return key;
}

// The same key on the plain road: OpenSSL one message at a time, no lanes.
const KeyedHash& plainColumnKey() {
  static const KeyedHash key = [] {
    std::uint8_t subkey[32];
    std::memcpy(subkey, "0123456789abcdef0123456789ABCDEF", sizeof subkey);
    return KeyedHash(subkey, KeyedHash::Engine::openssl);
  }();
  return key;
}

// Consumes the input front to back: option bytes and length-prefixed pieces
// first, the rest is the value.
struct Reader {
  std::string_view in;
  std::string_view take(std::size_t n) {
    const std::string_view out = in.substr(0, n);
    in.remove_prefix(out.size());
    return out;
  }
  std::uint8_t byte() { return in.empty() ? 0 : static_cast<std::uint8_t>(take(1)[0]); }
  std::string_view piece() { return take(byte()); }
  std::string_view rest() { return take(in.size()); }
  // Bytes from `huge` on give counts near 2^64 (their sums overflow), others small ones.
  std::uint64_t count(unsigned small, std::uint8_t huge) {
    const std::uint8_t b = byte();
    return b >= huge ? UINT64_MAX - (b - huge) : b % small;
  }
};

std::string_view view(const Text& text) { return {text.data(), text.size()}; }
const std::uint8_t* bytes(std::string_view s) { return reinterpret_cast<const std::uint8_t*>(s.data()); }
bool isAscii(std::string_view s) {
  return std::all_of(s.begin(), s.end(), [](unsigned char c) { return c < 0x80; });
}
bool isDigit(char c) { return c >= '0' && c <= '9'; }
bool isLowerHex(char c) { return isDigit(c) || (c >= 'a' && c <= 'f'); }
template <class T>
bool declined(const Outcome<T>& o) {
  return std::holds_alternative<Decline>(o);
}
template <class T>
bool refused(const Outcome<T>& o, std::string_view message) {
  return std::holds_alternative<Refusal>(o) && view(std::get<Refusal>(o).message) == message;
}
std::string tooLong(std::string_view strategy) {
  return "the " + std::string(strategy) +
         " strategy masks identifiers of up to 256 characters or digits, and this "
         "value is longer; use hash, redact or null for long values";
}

// Dec::parse against an independent reading of the grammar: an optional sign,
// digits with at most one point, an optional exponent whose text and result fit
// 64 bits (refused soundly otherwise, never wrapped); the text form reads back.
[[maybe_unused]] void dec_parse_fuzz(Reader in) {
  const std::string_view text = in.rest();
  const std::optional<Dec> parsed = Dec::parse(text);
  std::string_view t = text;
  const bool negative = t.starts_with('-');
  if (t.starts_with('-') || t.starts_with('+')) t.remove_prefix(1);
  const std::string_view mantissa = t.substr(0, t.find_first_of("eE"));
  auto allDigits = [](std::string_view s) { return std::all_of(s.begin(), s.end(), isDigit); };
  bool ok = true;
  __int128 exponent = 0;
  if (mantissa.size() < t.size()) {
    std::string_view e = t.substr(mantissa.size() + 1);
    const bool expNegative = e.starts_with('-');
    if (e.starts_with('-') || e.starts_with('+')) e.remove_prefix(1);
    ok = !e.empty() && allDigits(e);
    for (std::size_t i = 0; ok && i < e.size(); ++i) {
      exponent = exponent * 10 + (e[i] - '0');
      ok = exponent <= INT64_MAX + __int128(1);  // stops long exponent texts early
    }
    if (expNegative) exponent = -exponent;
    ok = ok && exponent <= INT64_MAX && exponent >= INT64_MIN;
  }
  const std::size_t dot = mantissa.find('.');
  const std::string_view integer = mantissa.substr(0, dot);
  const std::string_view fraction = dot == std::string_view::npos ? "" : mantissa.substr(dot + 1);
  ok = ok && !(integer.empty() && fraction.empty()) && allDigits(integer) && allDigits(fraction);
  exponent -= fraction.size();
  if (!ok || exponent > INT64_MAX || exponent < INT64_MIN) {
    CHECK(!parsed);
    return;
  }
  std::string digits = std::string(integer) + std::string(fraction);
  digits.erase(0, std::min(digits.find_first_not_of('0'), digits.size() - 1));
  CHECK(parsed.has_value());
  CHECK(view(parsed->coefficient.toDecimal()) == digits);
  CHECK(parsed->exponent == static_cast<std::int64_t>(exponent));
  CHECK(parsed->negative == negative);
  const std::optional<Dec> again = Dec::parse(view(parsed->toText()));
  CHECK(again && Dec::compare(*parsed, *again) == 0 && again->negative == parsed->negative);
  (void)parsed->toF64();
}

// maskDigitsText: only digits change, kept leading and trailing digits stay,
// a run kept whole is declined. The Python models hold the masked digits.
[[maybe_unused]] void digits_text_fuzz(Reader in) {
  const std::uint64_t lead = in.count(8, 0xF0), trail = in.count(8, 0xF0);
  const std::string_view text = in.rest();
  const Outcome<Text> outcome = maskDigitsText(columnKey(), text, lead, trail);
  const std::size_t n = std::count_if(text.begin(), text.end(), isDigit);
  if (!isAscii(text) || (n > 0 && (lead >= n || trail >= n - lead))) return CHECK(declined(outcome));  // n <= a + b
  CHECK(std::holds_alternative<Text>(outcome) && std::get<Text>(outcome).size() == text.size());
  for (std::size_t i = 0, position = 0; i < text.size(); ++i) {
    const char out = std::get<Text>(outcome)[i];
    const bool kept = !isDigit(text[i]) || position < lead || position >= n - trail;
    CHECK(isDigit(out) == isDigit(text[i]) && (!kept || out == text[i]));
    position += isDigit(text[i]);
  }
  // Its pieces between newlines as one batch on the lanes (and the byte road
  // where the CPU has it), each against itself alone on the plain hash and
  // the plain loops: a run's neighbours in the batch never reach it.
  std::vector<std::string_view> pieces;
  for (std::size_t from = 0, at = 0; at != text.npos; from = at + 1)
    pieces.push_back(text.substr(from, (at = text.find('\n', from)) == text.npos ? at : at - from));
  std::vector<Outcome<Text>> batch(pieces.size());
  maskDigitsTexts(columnKey(), pieces, lead, trail, batch.data());
  for (std::size_t i = 0; i < pieces.size(); ++i) {
    Outcome<Text> alone;
    maskDigitsTexts(plainColumnKey(), {&pieces[i], 1}, lead, trail, &alone, ByteRoad::portable);
    CHECK(batch[i] == alone);
  }
}

// maskEmail: "u", min(length, 64) lowercase hex characters, "@" and the domain
// (the address's own when kept and present); the Python models hold the rest.
[[maybe_unused]] void email_fuzz(Reader in) {
  const std::uint64_t length = in.count(80, 0x80);
  const bool keepDomain = in.byte() & 1;
  const std::string_view mailDomain = in.piece(), text = in.rest();
  const Outcome<Text> outcome = maskEmail(columnKey(), text, length, mailDomain, keepDomain);
  if (!isAscii(text)) return CHECK(declined(outcome));
  const std::string_view out = view(std::get<Text>(outcome));
  const std::size_t hex = std::min<std::uint64_t>(length, 64);
  CHECK(out.size() >= 2 + hex && out[0] == 'u' && out[1 + hex] == '@');
  CHECK(std::all_of(out.begin() + 1, out.begin() + 1 + hex, isLowerHex));
  const std::size_t last = text.find_last_not_of("\t\n\v\f\r\x1c\x1d\x1e\x1f ");  // blanks around it are not kept
  const std::size_t at = text.substr(0, last + 1).rfind('@');
  const bool own = keepDomain && at != std::string_view::npos;
  CHECK(out.substr(2 + hex) == (own ? text.substr(at + 1, last - at) : mailDomain));
}

// maskHash: the prefix, then min(length, 64) lowercase hex characters of one
// digest of the data, so the full hash extends every shorter one.
[[maybe_unused]] void hash_fuzz(Reader in) {
  const std::uint64_t length = in.count(80, 0x80);
  const std::string_view prefix = in.piece(), data = in.rest();
  const Text out = maskHash(columnKey(), data, length, prefix), full = maskHash(columnKey(), data, 64, "");
  CHECK(out.size() == prefix.size() + std::min<std::uint64_t>(length, 64) && view(out).starts_with(prefix));
  CHECK(full.size() == 64 && std::all_of(full.begin(), full.end(), isLowerHex));
  CHECK(view(full).starts_with(view(out).substr(prefix.size())));
}

// KeyStrategy::maskInteger: the same digit count and sign (zero has none) for
// every integer of up to 256 digits, a refusal above.
[[maybe_unused]] void key_integer_fuzz(Reader in) {
  const bool negative = in.byte() & 1;
  const std::string_view magnitude = in.rest();
  const BigInt value = BigInt::fromBytesBE(bytes(magnitude), magnitude.size(), negative);
  const std::size_t digits = value.abs().toDecimal().size();
  const Outcome<BigInt> outcome = KeyStrategy::maskInteger(columnKey(), value);
  if (digits > 256) return CHECK(refused(outcome, tooLong("key")));
  const BigInt& out = std::get<BigInt>(outcome);
  CHECK(out.abs().toDecimal().size() == digits);
  CHECK(out.sign() == value.sign() || (value.isZero() && !out.isNegative()));
}

// KeyStrategy::maskText and FpeStrategy::maskText: the length is kept,
// separators stay and other characters stay in their class (key: digits, lower
// and upper case letters of the charset; fpe: the charset's whole alphabet).
// Non-ASCII is declined before a text above 256 characters is refused; fpe
// gives texts too short for FF1 to the key strategy or, when strict, refuses them.
bool sameShape(std::string_view text, const Outcome<Text>& outcome, auto classOf) {
  if (!std::holds_alternative<Text>(outcome) || std::get<Text>(outcome).size() != text.size()) return false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char out = std::get<Text>(outcome)[i];
    if (classOf(out) != classOf(text[i]) || (classOf(text[i]) == 0 && out != text[i])) return false;
  }
  return true;
}

[[maybe_unused]] void key_text_fuzz(Reader in) {
  const auto charset = static_cast<Charset>(in.byte() % 3);
  const std::string_view text = in.rest();
  const Outcome<Text> outcome = KeyStrategy::maskText(charset, columnKey(), text);
  if (!isAscii(text)) return CHECK(declined(outcome));
  if (text.size() > 256) return CHECK(refused(outcome, tooLong("key")));
  const char top = charset == Charset::alphanumeric ? 'z' : charset == Charset::hex ? 'f' : 0;
  CHECK(sameShape(text, outcome, [&](char c) {
    return isDigit(c) ? 1 : c >= 'a' && c <= top ? 2 : c >= 'A' && c <= top - 32 ? 3 : 0;
  }));
  // The permutation lanes against the plain road, alone and in a batch where
  // a shorter text's round messages (another block count) run beside it.
  const Text plain = std::get<Text>(KeyStrategy::maskText(charset, plainColumnKey(), text));
  CHECK(std::get<Text>(outcome) == plain);
  const std::string_view half = text.substr(0, text.size() / 2);
  const std::string_view batch[] = {text, half, text};
  Outcome<Text> out[3];
  KeyStrategy::maskTexts(charset, columnKey(), batch, out);
  CHECK(std::get<Text>(out[0]) == plain && std::get<Text>(out[2]) == plain);
  CHECK(std::get<Text>(out[1]) == std::get<Text>(KeyStrategy::maskText(charset, plainColumnKey(), half)));
}

// FF1's machine-word roads (one word, two words, and the vector groups)
// against its arbitrary-precision one: a radix, a tweak and numerals of any
// length up to 256, alone and in a batch beside copies and a shorter job.
[[maybe_unused]] void ff1_roads_fuzz(Reader in) {
  static constexpr std::uint32_t kRadices[] = {2, 3, 10, 16, 22, 26, 36, 62, 255, 256, 65535, 65536};
  const std::uint8_t pick = in.byte();
  const std::uint32_t radix =
      pick < 0xc0 ? kRadices[pick % std::size(kRadices)] : 2 + (in.byte() << 8 | in.byte()) % 65535;
  const std::string_view tweak = in.piece();
  const std::string_view rest = in.rest();
  std::vector<std::uint32_t> x;
  for (std::size_t i = 0; i + 1 < rest.size() && x.size() < 256; i += 2)
    x.push_back((static_cast<std::uint8_t>(rest[i]) << 8 | static_cast<std::uint8_t>(rest[i + 1])) % radix);
  static const Digest key = columnKey().digest("", "ff1 roads");
  const Ff1 software(key, radix, Ff1::AesEngine::software);
  if (x.size() < software.minLength()) return;
  std::vector<std::uint32_t> expected(x.size());
  software.encryptArbitrary(x, tweak, expected);
  const std::span<const std::uint32_t> shorter(x.data(), std::max<std::size_t>(software.minLength(), x.size() / 2));
  std::vector<std::uint32_t> shorterExpected(shorter.size());
  software.encryptArbitrary(shorter, tweak, shorterExpected);
  for (auto engine : {Ff1::AesEngine::automatic, Ff1::AesEngine::aesInstructions, Ff1::AesEngine::software}) {
    const Ff1 cipher(key, radix, engine);
    std::vector<std::vector<std::uint32_t>> outs(6, std::vector<std::uint32_t>(x.size()));
    outs[5].resize(shorter.size());
    std::vector<Ff1Job> jobs;
    for (std::size_t i = 0; i < 5; ++i) jobs.push_back({x, tweak, outs[i]});
    jobs.push_back({shorter, tweak, outs[5]});
    cipher.encryptMany(jobs);
    for (std::size_t i = 0; i < 5; ++i) CHECK(outs[i] == expected);
    CHECK(outs[5] == shorterExpected);
    cipher.encrypt(x, tweak, outs[0]);
    CHECK(outs[0] == expected);
  }
}

bool sameResult(const NumberResult& a, const NumberResult& b) {
  if (a.kind != b.kind) return false;
  switch (a.kind) {
    case NumberResult::Kind::Int: return a.integer == b.integer;
    case NumberResult::Kind::Float: return std::memcmp(&a.real, &b.real, sizeof a.real) == 0;
    case NumberResult::Kind::Decimal: return a.text == b.text;
    case NumberResult::Kind::Fallback: return true;
  }
  return false;
}

// floatRepr's two roads give the same text and number.
void checkReprRoads(double x) {
  char a[kFloatReprRoom], b[kFloatReprRoom];
  ReprNumber na, nb;
  CHECK(std::string_view(a, floatRepr(x, a, &na)) == std::string_view(b, floatReprByLibraryForTesting(x, b, &nb)));
  if (std::isfinite(x) && x != 0) CHECK(na.coefficient == nb.coefficient && na.exponent == nb.exponent);
}

// The number strategy's short road (machine words, values of up to 19
// digits under short settings) against the general one it hands over to:
// settings from three length-prefixed texts (empty: unset) and a decimals
// byte, then values, each a kind byte and a length-prefixed text (an int's
// digits, a float's repr, a Decimal's str), masked in one batch. A kind
// byte's bit 2 leaves a float's repr for the short road to write; its top
// bits, where nonzero, draw the value's unit next to 1/2 (targets on and by
// grid midpoints) instead of from the digest.
[[maybe_unused]] void number_roads_fuzz(Reader in) {
  std::optional<std::string_view> settings[3];
  for (auto& setting : settings) {
    const std::string_view text = in.piece();
    if (!text.empty()) setting = text;
  }
  const std::uint8_t decimalsByte = in.byte();
  const std::optional<std::uint32_t> decimals =
      decimalsByte < 0x80 ? std::optional<std::uint32_t>(decimalsByte % 40) : std::nullopt;
  auto made = NumberStrategy::make(settings[0], settings[1], settings[2], decimals);
  if (!std::holds_alternative<NumberStrategy>(made)) return;
  const NumberStrategy& fast = std::get<NumberStrategy>(made);
  const NumberStrategy general = NumberStrategyTestPeer::generalOnly(fast);
  // Deques: the inputs view their texts and integers, which must not move.
  std::deque<std::string> texts;
  std::deque<BigInt> ints;
  std::vector<NumberInput> values, unwritten;
  std::vector<std::uint64_t> units;
  bool chosenUnits = false;
  while (!in.in.empty() && values.size() < 64) {
    const std::uint8_t kindByte = in.byte();
    const std::uint8_t kind = (kindByte & 3) % 3;
    const unsigned nearHalf = kindByte >> 3;
    texts.emplace_back(in.piece());
    const std::string& text = texts.back();
    // Any 8 bytes of a text are also a double, of every shape the repr meets.
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(text.data());
    if (text.size() >= 8) checkReprRoads(std::bit_cast<double>(loadBE64(bytes)));
    if (kind == 0) {
      if (text.empty() || text.size() > 60 || !std::all_of(text.begin(), text.end(), isDigit)) continue;
      ints.push_back(BigInt::fromDecimal(text, (text[0] & 1) != 0));
      values.push_back({NumberInput::Kind::Int, &ints.back(), 0, {}});
    } else if (kind == 1) {
      // Floats as Python hands them over: the double written as repr()
      // writes it; texts that do not read as a finite double are left out.
      char* end = nullptr;
      const double x = std::strtod(text.c_str(), &end);
      if (text.empty() || end != text.c_str() + text.size() || !std::isfinite(x)) continue;
      // The general side hashes the library's repr, the other its own where bit 2 leaves it unwritten.
      char repr[kFloatReprRoom];
      texts.back().assign(repr, floatReprByLibraryForTesting(x, repr));
      checkReprRoads(x);
      values.push_back({NumberInput::Kind::Float, nullptr, x, texts.back()});
    } else {
      values.push_back({NumberInput::Kind::Decimal, nullptr, 0, texts.back()});
    }
    unwritten.push_back(values.back());
    if (kind == 1 && (kindByte & 4) != 0) unwritten.back().text = {};
    chosenUnits |= nearHalf != 0;
    units.push_back((std::uint64_t{1} << 52) + nearHalf - 16);
  }
  std::vector<NumberResult> a(values.size()), b(values.size());
  if (chosenUnits) {
    NumberStrategyTestPeer::maskManyWithUnits(fast, columnKey(), unwritten, units.data(), a.data());
    NumberStrategyTestPeer::maskManyWithUnits(general, columnKey(), values, units.data(), b.data());
  } else {
    fast.maskMany(columnKey(), unwritten, a.data());
    general.maskMany(columnKey(), values, b.data());
  }
  for (std::size_t i = 0; i < values.size(); ++i) CHECK(sameResult(a[i], b[i]));
}

[[maybe_unused]] void fpe_text_fuzz(Reader in) {
  const std::uint8_t mode = in.byte();
  const auto charset = static_cast<Charset>(mode % 3);
  const bool strict = (mode / 3) & 1;
  const std::string_view text = in.rest();
  const std::size_t size = charset == Charset::digits ? 10 : charset == Charset::hex ? 22 : 62;
  const auto member = [&](char c) {
    return std::string_view("0123456789abcdefABCDEFghijklmnopqrstuvwxyzGHIJKLMNOPQRSTUVWXYZ", size).find(c) !=
           std::string_view::npos;
  };
  const FpeStrategy fpe(columnKey(), charset, strict);
  const Outcome<Text> outcome = fpe.maskText(columnKey(), text);
  // In a batch (where the vector rounds take values of one shape) every copy
  // gets the one answer, also after a text with a separator, which sends the
  // next one straight to the separators' loop.
  const std::string_view copies[7] = {text, "-", text, text, "-", text, text};
  Outcome<Text> batch[7];
  fpe.maskTexts(columnKey(), copies, batch);
  for (std::size_t i = 0; i < 7; ++i) CHECK(copies[i] == "-" || batch[i] == outcome);
  // The characters mapped by the plain loops, against the byte road (where
  // the CPU has it) that the calls above took.
  Outcome<Text> plainLoops;
  fpe.maskTexts(columnKey(), {&text, 1}, &plainLoops, ByteRoad::portable);
  CHECK(plainLoops == outcome);
  if (!isAscii(text)) return CHECK(declined(outcome));
  if (text.size() > 256) return CHECK(refused(outcome, tooLong("fpe")));
  const std::size_t minimum = charset == Charset::digits ? 6 : charset == Charset::hex ? 5 : 4;
  if (static_cast<std::size_t>(std::count_if(text.begin(), text.end(), member)) >= minimum) {
    CHECK(sameShape(text, outcome, member));
    // The plain road (portable AES, arbitrary precision) on a tweak and numerals laid out here.
    static const char* const kAlphabets[] = {"0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ",
                                             "0123456789", "0123456789abcdefABCDEF"};
    const std::string_view alphabet = kAlphabets[mode % 3];
    static const Digest key = columnKey().digest("", "ff1 key");
    const Ff1 plain(key, static_cast<std::uint32_t>(alphabet.size()), Ff1::AesEngine::software);
    std::string tweak = "text|" + std::string(charsetName(charset)) + "|";
    std::vector<std::uint32_t> numerals;
    for (char c : text) {
      const std::size_t at = alphabet.find(c);
      if (at != std::string_view::npos) numerals.push_back(static_cast<std::uint32_t>(at));
      tweak += at == std::string_view::npos ? c : '\0';
    }
    std::vector<std::uint32_t> masked(numerals.size());
    plain.encryptArbitrary(numerals, tweak, masked);
    std::string want(text);
    for (std::size_t i = 0, k = 0; i < want.size(); ++i)
      if (alphabet.find(want[i]) != std::string_view::npos) want[i] = alphabet[masked[k++]];
    // And beside values of other lengths in one batch, which mixes the lanes.
    const std::string shorter(text.substr(0, text.size() / 2)), longer = std::string(text) + "-" + want;
    const std::string_view mixed[3] = {longer, text, shorter};
    Outcome<Text> mixedOut[3];
    fpe.maskTexts(columnKey(), mixed, mixedOut);
    const auto is = [&](const Outcome<Text>& o) { return std::string_view(std::get<Text>(o)) == want; };
    return CHECK(is(mixedOut[1]) && is(outcome));
  }
  if (strict) {
    const std::string needs = std::to_string(minimum) + " " + std::string(charsetName(charset)) + " characters";
    return CHECK(refused(
        outcome, "the fpe strategy is strict, and FF1 needs at least " + needs + " in a value; this one has fewer"));
  }
  const Outcome<Text> key = KeyStrategy::maskText(charset, columnKey(), text);
  CHECK(std::holds_alternative<Text>(outcome) && std::get<Text>(outcome) == std::get<Text>(key));
}

// FakeStrategy::make accepts exactly the address templates this independent
// reading accepts, and a fake address is the template with its pieces filled:
// one street, one kind, one number from 1 to 9999 wherever it appears.
enum class Slot { text, number, street, kind };
std::optional<std::vector<std::pair<Slot, std::string_view>>> parseTemplate(std::string_view t) {
  std::vector<std::pair<Slot, std::string_view>> pieces;
  for (;;) {
    const std::size_t open = t.find('{');
    const std::string_view before = t.substr(0, open);
    if (before.find('}') != std::string_view::npos) return std::nullopt;
    if (!before.empty()) pieces.emplace_back(Slot::text, before);
    if (open == std::string_view::npos) return pieces;
    const std::size_t close = t.find('}', open + 1);
    if (close == std::string_view::npos) return std::nullopt;
    const std::string_view name = t.substr(open + 1, close - open - 1);
    if (name == "number")
      pieces.emplace_back(Slot::number, "");
    else if (name == "street")
      pieces.emplace_back(Slot::street, "");
    else if (name == "kind")
      pieces.emplace_back(Slot::kind, "");
    else
      return std::nullopt;
    t.remove_prefix(close + 1);
  }
}

// Whether out is the pieces from i on; the number's length is found by trying each.
bool fills(std::string_view out, const std::vector<std::pair<Slot, std::string_view>>& pieces, std::size_t i,
           std::string_view street, std::string_view kind, std::string_view number) {
  for (; i < pieces.size(); ++i) {
    auto [slot, want] = pieces[i];
    if (slot == Slot::street) want = street;
    if (slot == Slot::kind) want = kind;
    if (slot == Slot::number && number.empty()) {
      for (std::size_t n = 1; n <= 4 && n <= out.size() && isDigit(out[n - 1]) && out[0] != '0'; ++n)
        if (fills(out.substr(n), pieces, i + 1, street, kind, out.substr(0, n))) return true;
      return false;
    }
    if (slot == Slot::number) want = number;
    if (!out.starts_with(want)) return false;
    out.remove_prefix(want.size());
  }
  return out.empty();
}

// Text from Python is always well-formed UTF-8: bytes from 0x80 on stand for
// characters of two, three and four bytes.
std::string utf8(std::string_view bytes) {
  std::string out;
  for (unsigned char c : bytes) out += c < 0x80 ? std::string(1, char(c)) : c < 0xC0 ? "é" : c < 0xE0 ? "界" : "😀";
  return out;
}

[[maybe_unused]] void fake_address_fuzz(Reader in) {
  const std::uint64_t maxLength = in.byte() % 40;
  const std::string street = utf8(in.piece()), address = utf8(in.rest());
  const std::string_view kind = "Road";
  const auto make = [&](FakeKind fakeKind, std::optional<std::uint64_t> limit) {
    FakeLists lists;
    for (WordList* list :
         {&lists.firstNames, &lists.lastNames, &lists.cities, &lists.companySuffixes, &lists.companyWords}) {
      list->add("w");
    }
    lists.streets.add(street);
    lists.streetKinds.add(kind);
    lists.address = Text(address);
    return FakeStrategy::make(fakeKind, std::move(lists), limit);
  };
  const auto expected = parseTemplate(address);
  const auto made = make(FakeKind::streetAddress, std::nullopt);
  CHECK(expected.has_value() == std::holds_alternative<FakeStrategy>(made));
  CHECK(expected.has_value() == std::holds_alternative<FakeStrategy>(make(FakeKind::city, std::nullopt)));
  if (!expected) return CHECK(view(std::get<Text>(made)).starts_with("unsupported address format \""));
  const Text out = std::get<FakeStrategy>(made).mask(columnKey(), address);
  CHECK(fills(view(out), *expected, 0, street, kind, ""));
  CHECK(std::get<FakeStrategy>(made).mask(columnKey(), address) == out);
  // maxLength keeps a prefix of whole characters.
  const Text shorter = std::get<FakeStrategy>(make(FakeKind::streetAddress, maxLength)).mask(columnKey(), address);
  const auto continues = [](char c) { return (c & 0xC0) == 0x80; };
  const auto characters = [&](const Text& s) { return s.size() - std::count_if(s.begin(), s.end(), continues); };
  CHECK(view(out).starts_with(view(shorter)) && (shorter.size() == out.size() || !continues(out[shorter.size()])));
  CHECK(characters(shorter) == std::min<std::size_t>(maxLength, characters(out)));
}

// Every SHA-256 road the CPU has against the portable one on the same states
// and blocks, in batches of every size the roads split differently, and the
// same for one-block HMACs from the first two states as the key's pads.
[[maybe_unused]] void sha256_roads_fuzz(Reader in) {
  using sha256::Road, sha256::State;
  const std::size_t count = in.byte() % 40;
  const std::string_view seed = in.rest();
  std::vector<std::uint8_t> bytes(64 * count + 64 + 1);
  for (std::size_t i = 0; i < bytes.size(); ++i)
    bytes[i] = seed.empty() ? static_cast<std::uint8_t>(i)
                            : static_cast<std::uint8_t>(seed[i % seed.size()] + i / seed.size());
  std::vector<State> start(count + 2);
  for (std::size_t i = 0; i < start.size(); ++i)
    for (int w = 0; w < 8; ++w)
      start[i].h[w] = static_cast<std::uint32_t>(bytes[(i * 8 + w) % bytes.size()] * 0x9e3779b9u + i);
  std::vector<const std::uint8_t*> blocks(count);
  std::vector<std::uint8_t> tagBytes(32 * count + 1), want(32 * count + 1);
  std::vector<std::uint8_t*> tags(count), wantTags(count);
  for (std::size_t i = 0; i < count; ++i) {
    blocks[i] = bytes.data() + 1 + 64 * i;  // never 16-byte aligned
    tags[i] = tagBytes.data() + 1 + 32 * i;
    wantTags[i] = want.data() + 1 + 32 * i;
  }
  std::vector<State> reference(start.begin(), start.begin() + count), lanes;
  sha256::compress(Road::portable, reference.data(), blocks.data(), count);
  sha256::hmacOneBlock(Road::portable, start[count], start[count + 1], blocks.data(), wantTags.data(), count);
  const auto same = [](const State& x, const State& y) { return std::equal(x.h, x.h + 8, y.h); };
  for (Road road : {Road::shaNi, Road::avx512, Road::avx2, Road::shaNiQuad}) {
    if (!sha256::available(road)) continue;
    lanes.assign(start.begin(), start.begin() + count);
    sha256::compress(road, lanes.data(), blocks.data(), count);
    CHECK(std::equal(lanes.begin(), lanes.end(), reference.begin(), same));
    std::fill(tagBytes.begin(), tagBytes.end(), 0);
    sha256::hmacOneBlock(road, start[count], start[count + 1], blocks.data(), tags.data(), count);
    CHECK(tagBytes == want);
  }
  lanes.assign(start.begin(), start.begin() + count);
  sha256::compress(lanes.data(), blocks.data(), count);
  CHECK(std::equal(lanes.begin(), lanes.end(), reference.begin(), same));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  ZORVA_FUZZ_TARGET(Reader{std::string_view(reinterpret_cast<const char*>(data), size)});
  return 0;
}
