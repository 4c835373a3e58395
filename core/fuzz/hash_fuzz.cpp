// maskHash: the prefix and then min(length, 64) lowercase hex characters of a
// digest that depends on the data alone.
#include <algorithm>

#include "cheap.h"
#include "fuzz_support.h"

using namespace zorva;
using namespace zorva::fuzz;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Reader reader(data, size);
  const std::uint8_t options = reader.byte();
  const std::uint64_t length = options & 0x80 ? UINT64_MAX - (options & 0x7F) : options % 80;
  const std::string_view prefix = reader.piece();
  const std::string_view payload = reader.rest();
  const KeyedHash& key = columnKey();

  const Text out = maskHash(key, payload, length, prefix);
  const std::size_t hexLength = std::min<std::uint64_t>(length, 64);
  FUZZ_CHECK(out.size() == prefix.size() + hexLength);
  FUZZ_CHECK(view(out).starts_with(prefix));
  FUZZ_CHECK(std::all_of(out.begin() + prefix.size(), out.end(), isLowerHex));

  // The full hash without a prefix extends every shorter one.
  const Text full = maskHash(key, payload, 64, "");
  FUZZ_CHECK(full.size() == 64);
  FUZZ_CHECK(view(full).starts_with(view(out).substr(prefix.size())));
  return 0;
}
