// maskEmail: "u", min(length, 64) lowercase hex characters, "@" and the
// domain; blanks around the address and letter case do not change the local part.
#include <algorithm>
#include <string>

#include "cheap.h"
#include "fuzz_support.h"

using namespace zorva;
using namespace zorva::fuzz;

namespace {

bool isStripped(unsigned char c) { return (c >= 0x09 && c <= 0x0D) || (c >= 0x1C && c <= 0x20); }

std::string_view trim(std::string_view s) {
  while (!s.empty() && isStripped(s.front())) s.remove_prefix(1);
  while (!s.empty() && isStripped(s.back())) s.remove_suffix(1);
  return s;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Reader reader(data, size);
  const std::uint8_t options = reader.byte();
  const std::uint64_t length = options & 0x80 ? UINT64_MAX - (options & 0x7F) : options % 80;
  const bool keepDomain = reader.byte() & 1;
  const std::string_view mailDomain = reader.piece();
  const std::string_view text = reader.rest();
  const KeyedHash& key = columnKey();
  const Outcome<Text> outcome = maskEmail(key, text, length, mailDomain, keepDomain);

  if (!isAscii(text)) {
    FUZZ_CHECK(isDecline(outcome));
    return 0;
  }
  FUZZ_CHECK(std::holds_alternative<Text>(outcome));
  const std::string_view out = view(std::get<Text>(outcome));
  const std::size_t hexLength = std::min<std::uint64_t>(length, 64);
  FUZZ_CHECK(out.size() >= 2 + hexLength);
  FUZZ_CHECK(out[0] == 'u');
  FUZZ_CHECK(std::all_of(out.begin() + 1, out.begin() + 1 + hexLength, isLowerHex));
  FUZZ_CHECK(out[1 + hexLength] == '@');

  const std::string_view trimmed = trim(text);
  std::string_view domain = mailDomain;
  if (keepDomain && trimmed.find('@') != std::string_view::npos) domain = trimmed.substr(trimmed.rfind('@') + 1);
  FUZZ_CHECK(out.substr(2 + hexLength) == domain);

  std::string shouted(text);
  for (char& c : shouted)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  shouted = " \t" + shouted + "\n";
  const Outcome<Text> other = maskEmail(key, shouted, length, mailDomain, false);
  FUZZ_CHECK(std::holds_alternative<Text>(other));
  FUZZ_CHECK(view(std::get<Text>(other)).substr(0, 1 + hexLength) == out.substr(0, 1 + hexLength));
  return 0;
}
