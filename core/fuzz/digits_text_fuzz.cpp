// maskDigitsText: only digits change, kept leading and trailing digits stay,
// a run kept whole is declined; maskDigitsInteger keeps count and sign.
#include "cheap.h"
#include "fuzz_support.h"

using namespace zorva;
using namespace zorva::fuzz;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Reader reader(data, size);
  const std::uint8_t a = reader.byte();
  const std::uint8_t b = reader.byte();
  // Mostly small keep counts, sometimes counts that overflow when summed.
  const std::uint64_t keepLeading = a < 0xF0 ? a % 8 : UINT64_MAX - (a & 0x0F);
  const std::uint64_t keepTrailing = b < 0xF0 ? b % 8 : UINT64_MAX - (b & 0x0F);
  const std::string_view text = reader.rest();
  const KeyedHash& key = columnKey();
  const Outcome<Text> outcome = maskDigitsText(key, text, keepLeading, keepTrailing);

  if (!isAscii(text)) {
    FUZZ_CHECK(isDecline(outcome));
    return 0;
  }
  std::string digits;
  for (char c : text)
    if (c >= '0' && c <= '9') digits += c;
  const std::size_t n = digits.size();
  if (n == 0) {
    FUZZ_CHECK(std::holds_alternative<Text>(outcome) && view(std::get<Text>(outcome)) == text);
    return 0;
  }
  // n <= a + b without overflowing the sum.
  const bool keptWhole = keepLeading >= n || keepTrailing >= n || n - keepLeading <= keepTrailing;
  if (keptWhole) {
    FUZZ_CHECK(isDecline(outcome));
    return 0;
  }
  FUZZ_CHECK(std::holds_alternative<Text>(outcome));
  const Text& out = std::get<Text>(outcome);
  FUZZ_CHECK(out.size() == text.size());
  std::size_t position = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const bool digit = text[i] >= '0' && text[i] <= '9';
    FUZZ_CHECK((out[i] >= '0' && out[i] <= '9') == digit);
    if (!digit) {
      FUZZ_CHECK(out[i] == text[i]);
      continue;
    }
    if (position < keepLeading || position >= n - keepTrailing) FUZZ_CHECK(out[i] == text[i]);
    ++position;
  }
  // A masked digit does not depend on the keep counts.
  const Outcome<Text> plain = maskDigitsText(key, text, 0, 0);
  FUZZ_CHECK(std::holds_alternative<Text>(plain));
  position = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] < '0' || text[i] > '9') continue;
    if (position >= keepLeading && position < n - keepTrailing) FUZZ_CHECK(out[i] == std::get<Text>(plain)[i]);
    ++position;
  }

  // The digits read as an integer keep their count (without leading zeros) and sign.
  const BigInt value = BigInt::fromDecimal(digits, text[0] == '-');
  const Outcome<BigInt> integer = maskDigitsInteger(key, value, 0, 0);
  FUZZ_CHECK(std::holds_alternative<BigInt>(integer));
  const BigInt& masked = std::get<BigInt>(integer);
  FUZZ_CHECK(masked.abs().toDecimal().size() == value.abs().toDecimal().size());
  // A one-digit result may be 0, which has no sign.
  FUZZ_CHECK(masked.isNegative() == (value.isNegative() && !masked.isZero()));
  return 0;
}
