// KeyStrategy::maskInteger: the same digit count and sign for every integer of
// up to 256 digits, a refusal above; a negative value never masks to zero.
#include "fuzz_support.h"
#include "key.h"

using namespace zorva;
using namespace zorva::fuzz;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Reader reader(data, size);
  const bool negative = reader.byte() & 1;
  const std::string_view magnitude = reader.rest();
  const BigInt value =
      BigInt::fromBytesBE(reinterpret_cast<const std::uint8_t*>(magnitude.data()), magnitude.size(), negative);
  const Text text = value.abs().toDecimal();
  const Outcome<BigInt> outcome = KeyStrategy::maskInteger(columnKey(), value);

  if (text.size() > 256) {
    FUZZ_CHECK(isRefusal(outcome));
    return 0;
  }
  FUZZ_CHECK(std::holds_alternative<BigInt>(outcome));
  const BigInt& out = std::get<BigInt>(outcome);
  FUZZ_CHECK(out.abs().toDecimal().size() == text.size());
  FUZZ_CHECK(out.sign() == value.sign() || (value.isZero() && out.sign() >= 0));
  if (value.isNegative()) FUZZ_CHECK(!out.isZero());
  // Machine-size results agree with their decimal text.
  if (auto small = out.toI64()) FUZZ_CHECK(view(out.toDecimal()) == std::to_string(*small));
  return 0;
}
