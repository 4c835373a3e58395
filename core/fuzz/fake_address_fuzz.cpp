// FakeStrategy::make with random address templates: it accepts exactly the
// templates an independent parser accepts, and a fake address is the template
// with its pieces filled in (one street, one kind, a number from 1 to 9999).
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "fake.h"
#include "fuzz_support.h"

namespace {

using namespace zorva;
using namespace zorva::fuzz;

enum class Slot { Text, Number, Street, Kind };
struct Piece {
  Slot slot;
  std::string text;
};

std::optional<std::vector<Piece>> parseTemplate(std::string_view t) {
  std::vector<Piece> pieces;
  while (true) {
    const auto open = t.find('{');
    const std::string_view before = t.substr(0, open);
    if (before.find('}') != std::string_view::npos) return std::nullopt;
    if (!before.empty()) pieces.push_back({Slot::Text, std::string(before)});
    if (open == std::string_view::npos) return pieces;
    const auto close = t.find('}', open + 1);
    if (close == std::string_view::npos) return std::nullopt;
    const std::string_view name = t.substr(open + 1, close - open - 1);
    if (name == "number") pieces.push_back({Slot::Number, {}});
    else if (name == "street") pieces.push_back({Slot::Street, {}});
    else if (name == "kind") pieces.push_back({Slot::Kind, {}});
    else return std::nullopt;
    t = t.substr(close + 1);
  }
}

FakeLists lists(std::string_view address, std::string_view street, std::string_view kind) {
  FakeLists out;
  for (WordList* list : {&out.firstNames, &out.lastNames, &out.cities, &out.companySuffixes, &out.companyWords})
    list->add("w");
  out.streets.add(street);
  out.streetKinds.add(kind);
  out.address = Text(address);
  return out;
}

// Matches a fake address against the pieces from piece i on; the number is
// one decimal from 1 to 9999, the same wherever it appears, so its length is
// found by trying each.
bool matches(std::string_view out, const std::vector<Piece>& pieces, std::size_t i,
             std::string_view street, std::string_view kind, std::string& number) {
  for (; i < pieces.size(); ++i) {
    const Piece& piece = pieces[i];
    std::string_view want = piece.text;
    if (piece.slot == Slot::Street) want = street;
    if (piece.slot == Slot::Kind) want = kind;
    if (piece.slot == Slot::Number) {
      if (number.empty()) {
        for (std::size_t n = 1; n <= 4 && n <= out.size(); ++n) {
          const std::string_view digits = out.substr(0, n);
          if (digits.find_first_not_of("0123456789") != std::string_view::npos) break;
          if (digits[0] == '0') break;
          number = std::string(digits);
          if (matches(out.substr(n), pieces, i + 1, street, kind, number)) return true;
        }
        number.clear();
        return false;
      }
      want = number;
    }
    if (out.substr(0, want.size()) != want) return false;
    out.remove_prefix(want.size());
  }
  return out.empty();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Reader reader(data, size);
  const std::uint8_t maxByte = reader.byte();
  const std::string_view street = reader.piece();
  const std::string_view address = reader.rest();
  if (!isUtf8(address) || !isUtf8(street)) return 0;
  const std::string_view kind = "Road";

  const auto expected = parseTemplate(address);
  auto made = FakeStrategy::make(FakeKind::streetAddress, lists(address, street, kind), std::nullopt);
  FUZZ_CHECK(expected.has_value() == std::holds_alternative<FakeStrategy>(made));
  if (!expected) {
    const Text& message = std::get<Text>(made);
    FUZZ_CHECK(view(message).starts_with("unsupported address format \""));
    return 0;
  }
  // The same template under every kind parses the same way.
  auto city = FakeStrategy::make(FakeKind::city, lists(address, street, kind), std::nullopt);
  FUZZ_CHECK(std::holds_alternative<FakeStrategy>(city));

  const FakeStrategy& strategy = std::get<FakeStrategy>(made);
  const KeyedHash& key = columnKey();
  const Text out = strategy.mask(key, address);
  FUZZ_CHECK(isUtf8(view(out)));
  std::string number;
  FUZZ_CHECK(matches(view(out), *expected, 0, street, kind, number));
  FUZZ_CHECK(strategy.mask(key, address) == out);

  // maxLength keeps a prefix of whole characters.
  const std::uint64_t maxLength = maxByte % 40;
  auto cut = FakeStrategy::make(FakeKind::streetAddress, lists(address, street, kind), maxLength);
  const Text shorter = std::get<FakeStrategy>(cut).mask(key, address);
  FUZZ_CHECK(isUtf8(view(shorter)));
  FUZZ_CHECK(codePoints(view(shorter)) == std::min<std::size_t>(maxLength, codePoints(view(out))));
  FUZZ_CHECK(view(out).starts_with(view(shorter)));
  return 0;
}
