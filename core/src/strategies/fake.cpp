// FakeStrategy: word lists, the street-address template and the keyed picks.
#include "strategies/fake.h"

#include <algorithm>
#include <charconv>
#include <cstring>
#include <utility>

#include "support/quote.h"

namespace zorva {

void WordList::add(std::string_view word) {
  if (offsets_.empty()) offsets_.push_back(0);
  arena_.append(word);
  offsets_.push_back(arena_.size());
}

void WordList::reserve(std::size_t words, std::size_t bytes) {
  offsets_.reserve(words + 1);
  arena_.reserve(bytes);
}

namespace {

bool isLeadByte(char c) { return (static_cast<unsigned char>(c) & 0xC0) != 0x80; }

// Byte length of the first maxChars scalar values of the concatenated parts,
// or total when they hold no more than that.
template <class ForEachPart>
std::size_t cutAt(const ForEachPart& forEachPart, std::uint64_t maxChars, std::size_t total) {
  if (maxChars == 0) return 0;
  std::size_t before = 0;  // bytes of the parts already walked
  std::uint64_t chars = 0;
  std::size_t cut = total;
  bool done = false;
  forEachPart([&](std::string_view part) {
    if (done) return;
    for (std::size_t i = 0; i < part.size(); ++i) {
      if (!isLeadByte(part[i])) continue;
      if (chars == maxChars) {
        cut = before + i;
        done = true;
        return;
      }
      ++chars;
    }
    before += part.size();
  });
  return cut;
}

// The concatenated parts, cut to maxLength scalar values, in one allocation
// of the exact size. forEachPart(f) calls f on each part in order and must
// give the same parts each time.
template <class ForEachPart>
Text join(const ForEachPart& forEachPart, std::optional<std::uint64_t> maxLength) {
  std::size_t size = 0;
  forEachPart([&](std::string_view part) { size += part.size(); });
  // A text never has more scalar values than bytes, so only a longer one is counted.
  if (maxLength && *maxLength < size) size = cutAt(forEachPart, *maxLength, size);
  Text out;
  out.reserve(size);
  forEachPart([&](std::string_view part) {
    std::size_t room = size - out.size();
    out.append(part.data(), part.size() < room ? part.size() : room);
  });
  return out;
}

Text joinTwo(std::string_view first, std::string_view second, std::optional<std::uint64_t> maxLength) {
  if (!maxLength) {
    // The usual case, one sized write: the blank is the fill.
    Text out(first.size() + 1 + second.size(), ' ');
    if (!first.empty()) std::memcpy(out.data(), first.data(), first.size());
    if (!second.empty()) std::memcpy(out.data() + first.size() + 1, second.data(), second.size());
    return out;
  }
  return join(
      [&](auto&& f) {
        f(first);
        f(std::string_view(" ", 1));
        f(second);
      },
      maxLength);
}

Text joinOne(std::string_view only, std::optional<std::uint64_t> maxLength) {
  if (!maxLength) return Text(only);
  return join([&](auto&& f) { f(only); }, maxLength);
}

Text unsupportedFormat(std::string_view address) {
  Text message("unsupported address format ");
  message.append(debugQuote(address));
  return message;
}

// The template's pieces, or nothing when it is invalid.
std::optional<Vec<FakeStrategy::Piece>> parseAddress(std::string_view address) {
  using Piece = FakeStrategy::Piece;
  Vec<Piece> pieces;
  auto addText = [&](std::string_view text) {
    if (text.empty()) return true;
    if (text.find('}') != std::string_view::npos) return false;
    pieces.push_back(Piece{Piece::Kind::Literal, Text(text)});
    return true;
  };
  std::size_t at = 0;
  for (;;) {
    std::size_t open = address.find('{', at);
    if (open == std::string_view::npos) {
      if (!addText(address.substr(at))) return std::nullopt;
      return pieces;
    }
    if (!addText(address.substr(at, open - at))) return std::nullopt;
    std::size_t close = address.find('}', open + 1);
    if (close == std::string_view::npos) return std::nullopt;
    std::string_view name = address.substr(open + 1, close - open - 1);
    Piece::Kind kind;
    if (name == "number") {
      kind = Piece::Kind::Number;
    } else if (name == "street") {
      kind = Piece::Kind::Street;
    } else if (name == "kind") {
      kind = Piece::Kind::Kind;
    } else {
      return std::nullopt;
    }
    pieces.push_back(Piece{kind, Text()});
    at = close + 1;
  }
}

}  // namespace

std::variant<FakeStrategy, Text> FakeStrategy::make(FakeKind kind, FakeLists lists,
                                                    std::optional<std::uint64_t> maxLength) {
  struct Required {
    const WordList* list;
    const char* name;
  };
  Required required[2] = {};
  switch (kind) {
    case FakeKind::firstName: required[0] = {&lists.firstNames, "firstNames"}; break;
    case FakeKind::lastName: required[0] = {&lists.lastNames, "lastNames"}; break;
    case FakeKind::name:
      required[0] = {&lists.firstNames, "firstNames"};
      required[1] = {&lists.lastNames, "lastNames"};
      break;
    case FakeKind::city: required[0] = {&lists.cities, "cities"}; break;
    case FakeKind::company:
      required[0] = {&lists.companyWords, "companyWords"};
      required[1] = {&lists.companySuffixes, "companySuffixes"};
      break;
    case FakeKind::streetAddress:
      required[0] = {&lists.streets, "streets"};
      required[1] = {&lists.streetKinds, "streetKinds"};
      break;
    default: {
      // Not reachable from Python; refused so that mask never meets it.
      char code[4];
      Text message("unknown fake kind ");
      message.append(code,
                     static_cast<std::size_t>(std::to_chars(code, code + 4, static_cast<unsigned>(kind)).ptr - code));
      return message;
    }
  }
  for (const Required& r : required) {
    if (r.list != nullptr && r.list->empty()) {
      Text message(r.name);
      message.append(" is empty");
      return message;
    }
  }

  std::optional<Vec<Piece>> pieces = parseAddress(lists.address);
  if (!pieces) return unsupportedFormat(lists.address);

  FakeStrategy strategy;
  strategy.kind_ = kind;
  for (const Piece& piece : *pieces) {
    strategy.usesNumber_ |= piece.kind == Piece::Kind::Number;
    strategy.usesStreet_ |= piece.kind == Piece::Kind::Street;
    strategy.usesKind_ |= piece.kind == Piece::Kind::Kind;
  }
  strategy.lists_ = std::move(lists);
  strategy.pieces_ = std::move(*pieces);
  strategy.maxLength_ = maxLength;
  return strategy;
}

std::size_t FakeStrategy::draws(const WordList** lists, std::string_view* labels) const {
  std::size_t n = 0;
  auto draw = [&](const WordList* list, std::string_view label) {
    lists[n] = list;
    labels[n++] = label;
  };
  switch (kind_) {
    case FakeKind::firstName: draw(&lists_.firstNames, "first"); break;
    case FakeKind::lastName: draw(&lists_.lastNames, "last"); break;
    case FakeKind::name:
      draw(&lists_.firstNames, "first");
      draw(&lists_.lastNames, "last");
      break;
    case FakeKind::city: draw(&lists_.cities, "city"); break;
    case FakeKind::company:
      draw(&lists_.companyWords, "company");
      draw(&lists_.companySuffixes, "suffix");
      break;
    case FakeKind::streetAddress:
      if (usesNumber_) draw(nullptr, "number");
      if (usesStreet_) draw(&lists_.streets, "street");
      // The street kind shares the label of the company suffix.
      if (usesKind_) draw(&lists_.streetKinds, "suffix");
      break;
  }
  return n;
}

Text FakeStrategy::assemble(const std::uint64_t* results) const {
  switch (kind_) {
    case FakeKind::firstName: return joinOne(lists_.firstNames[results[0]], maxLength_);
    case FakeKind::lastName: return joinOne(lists_.lastNames[results[0]], maxLength_);
    case FakeKind::name: return joinTwo(lists_.firstNames[results[0]], lists_.lastNames[results[1]], maxLength_);
    case FakeKind::city: return joinOne(lists_.cities[results[0]], maxLength_);
    case FakeKind::company:
      return joinTwo(lists_.companyWords[results[0]], lists_.companySuffixes[results[1]], maxLength_);
    case FakeKind::streetAddress: break;
  }
  std::size_t at = 0;
  char digits[4];  // 1 to 9999
  std::string_view number, street, kind;
  if (usesNumber_) {
    const std::uint64_t n = results[at++] + 1;
    number = std::string_view(digits, static_cast<std::size_t>(std::to_chars(digits, digits + 4, n).ptr - digits));
  }
  if (usesStreet_) street = lists_.streets[results[at++]];
  if (usesKind_) kind = lists_.streetKinds[results[at++]];
  return join(
      [&](auto&& f) {
        for (const Piece& piece : pieces_) {
          switch (piece.kind) {
            case Piece::Kind::Literal: f(std::string_view(piece.text)); break;
            case Piece::Kind::Number: f(number); break;
            case Piece::Kind::Street: f(street); break;
            case Piece::Kind::Kind: f(kind); break;
          }
        }
      },
      maxLength_);
}

Text FakeStrategy::mask(const KeyedHash& keyedHash, std::string_view data) const {
  Text out;
  maskMany(keyedHash, {&data, 1}, &out);
  return out;
}

void FakeStrategy::maskMany(const KeyedHash& keyedHash, std::span<const std::string_view> data, Text* out) const {
  // The lists are not empty (checked when the strategy is made), so every
  // bound is nonzero.
  const WordList* lists[3];
  std::string_view labels[3];
  const std::size_t perValue = draws(lists, labels);
  // Values per batch of draws: 64 keep the HMAC lanes full (each draw is two
  // HMACs, each draw of a batch under one label); a few values take small
  // arrays, as the jobs' views are cleared when the arrays are made.
  auto run = [&]<std::size_t kBatch>() {
    for (std::size_t from = 0; from < data.size(); from += kBatch) {
      const std::size_t count = std::min(kBatch, data.size() - from);
      BelowJob jobs[kBatch];
      std::uint64_t results[kBatch][3];
      for (std::size_t k = 0; k < perValue; ++k) {
        const std::uint64_t bound = lists[k] == nullptr ? 9999 : static_cast<std::uint64_t>(lists[k]->size());
        for (std::size_t i = 0; i < count; ++i) jobs[i] = BelowJob{data[from + i], bound, labels[k], &results[i][k]};
        keyedHash.belowMany({jobs, count});
      }
      for (std::size_t i = 0; i < count; ++i) out[from + i] = assemble(results[i]);
    }
  };
  if (data.size() <= 4) {
    run.template operator()<4>();
  } else {
    run.template operator()<64>();
  }
}

}  // namespace zorva
