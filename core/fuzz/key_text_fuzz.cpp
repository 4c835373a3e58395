// KeyStrategy::maskText: ASCII in, ASCII out, every character in its class,
// separators in place; a decline for non-ASCII text and a refusal above 256.
#include "fuzz_support.h"
#include "key.h"

namespace {

using namespace zorva;
using namespace zorva::fuzz;

// The class of a character under a charset: 0 passes through.
int classOf(Charset charset, char c) {
  if (c >= '0' && c <= '9') return 1;
  if (charset == Charset::alphanumeric) {
    if (c >= 'a' && c <= 'z') return 2;
    if (c >= 'A' && c <= 'Z') return 3;
  }
  if (charset == Charset::hex) {
    if (c >= 'a' && c <= 'f') return 2;
    if (c >= 'A' && c <= 'F') return 3;
  }
  return 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Reader reader(data, size);
  const auto charset = static_cast<Charset>(reader.byte() % 3);
  const std::string_view text = reader.rest();
  const KeyedHash& key = columnKey();
  const Outcome<Text> outcome = KeyStrategy::maskText(charset, key, text);

  if (!isAscii(text)) {
    FUZZ_CHECK(isDecline(outcome));  // the ASCII test comes before the length test
    return 0;
  }
  if (text.size() > 256) {
    FUZZ_CHECK(isRefusal(outcome));
    FUZZ_CHECK(view(std::get<Refusal>(outcome).message).starts_with("the key strategy masks identifiers of up to 256"));
    return 0;
  }
  FUZZ_CHECK(std::holds_alternative<Text>(outcome));
  const Text& out = std::get<Text>(outcome);
  FUZZ_CHECK(out.size() == text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    const int cls = classOf(charset, text[i]);
    FUZZ_CHECK(classOf(charset, out[i]) == cls);
    if (cls == 0) FUZZ_CHECK(out[i] == text[i]);
  }
  FUZZ_CHECK(std::get<Text>(KeyStrategy::maskText(charset, key, text)) == out);
  return 0;
}
