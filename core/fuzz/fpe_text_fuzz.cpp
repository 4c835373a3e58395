// FpeStrategy::maskText: separators stay, charset characters stay in the
// alphabet, the length is kept; short values go to the key strategy or, when
// strict, are refused.
#include <cstring>

#include "fpe.h"
#include "fuzz_support.h"
#include "key.h"

namespace {

using namespace zorva;
using namespace zorva::fuzz;

constexpr std::string_view kAlphabets[] = {
    "0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ",
    "0123456789",
    "0123456789abcdefABCDEF",
};
constexpr std::size_t kMinLength[] = {4, 6, 5};

const FpeStrategy& strategy(Charset charset, bool strict) {
  static const FpeStrategy all[2][3] = {
      {FpeStrategy(columnKey(), Charset::alphanumeric, false), FpeStrategy(columnKey(), Charset::digits, false),
       FpeStrategy(columnKey(), Charset::hex, false)},
      {FpeStrategy(columnKey(), Charset::alphanumeric, true), FpeStrategy(columnKey(), Charset::digits, true),
       FpeStrategy(columnKey(), Charset::hex, true)}};
  return all[strict][static_cast<int>(charset)];
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Reader reader(data, size);
  const std::uint8_t mode = reader.byte();
  const auto charset = static_cast<Charset>(mode % 3);
  const bool strict = (mode / 3) & 1;
  const std::string_view text = reader.rest();
  const std::string_view alphabet = kAlphabets[static_cast<int>(charset)];
  const FpeStrategy& fpe = strategy(charset, strict);
  const Outcome<Text> outcome = fpe.maskText(columnKey(), text);

  if (!isAscii(text)) {
    FUZZ_CHECK(isDecline(outcome));
    return 0;
  }
  if (text.size() > 256) {
    FUZZ_CHECK(isRefusal(outcome));
    FUZZ_CHECK(view(std::get<Refusal>(outcome).message).starts_with("the fpe strategy masks identifiers of up to 256"));
    return 0;
  }
  std::size_t count = 0;
  for (char c : text)
    if (alphabet.find(c) != std::string_view::npos) ++count;
  if (count < kMinLength[static_cast<int>(charset)]) {
    if (strict) {
      FUZZ_CHECK(isRefusal(outcome));
      FUZZ_CHECK(view(std::get<Refusal>(outcome).message).starts_with("the fpe strategy is strict"));
    } else {
      const Outcome<Text> key = KeyStrategy::maskText(charset, columnKey(), text);
      FUZZ_CHECK(std::holds_alternative<Text>(outcome) && std::holds_alternative<Text>(key));
      FUZZ_CHECK(std::get<Text>(outcome) == std::get<Text>(key));
    }
    return 0;
  }
  FUZZ_CHECK(std::holds_alternative<Text>(outcome));
  const Text& out = std::get<Text>(outcome);
  FUZZ_CHECK(out.size() == text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    const bool member = alphabet.find(text[i]) != std::string_view::npos;
    FUZZ_CHECK((alphabet.find(out[i]) != std::string_view::npos) == member);
    if (!member) FUZZ_CHECK(out[i] == text[i]);
  }
  FUZZ_CHECK(std::get<Text>(fpe.maskText(columnKey(), text)) == out);

  // The integer path on the same bytes read as a magnitude: digit count and
  // sign kept, never a leading zero.
  const BigInt value = BigInt::fromBytesBE(reinterpret_cast<const std::uint8_t*>(text.data()),
                                           std::min<std::size_t>(text.size(), 64), mode & 0x80);
  const Outcome<BigInt> integer = fpe.maskInteger(columnKey(), value);
  const std::size_t digits = value.abs().toDecimal().size();
  if (digits < 6 && strict) {
    FUZZ_CHECK(isRefusal(integer));
  } else {
    FUZZ_CHECK(std::holds_alternative<BigInt>(integer));
    const BigInt& masked = std::get<BigInt>(integer);
    FUZZ_CHECK(masked.abs().toDecimal().size() == digits);
    FUZZ_CHECK(masked.isNegative() == value.isNegative());
  }
  return 0;
}
