// FakeStrategy: plausible fake values drawn from the caller's word lists.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <variant>

#include "support/alloc.h"
#include "keyed_hash/keyed_hash.h"

namespace zorva {

enum class FakeKind : std::uint8_t {
  firstName = 0,
  lastName = 1,
  name = 2,
  city = 3,
  company = 4,
  streetAddress = 5,
};

// A list of texts stored in one contiguous arena: entry i is
// arena[offsets[i] .. offsets[i + 1]).
class WordList {
 public:
  void add(std::string_view word);
  void reserve(std::size_t words, std::size_t bytes);
  // A moved-from list has no offsets at all; it reads as empty.
  std::size_t size() const noexcept { return offsets_.empty() ? 0 : offsets_.size() - 1; }
  bool empty() const noexcept { return size() == 0; }
  std::string_view operator[](std::size_t i) const noexcept {
    return std::string_view(arena_.data() + offsets_[i], offsets_[i + 1] - offsets_[i]);
  }

 private:
  Text arena_;
  Vec<std::size_t> offsets_{0};
};

// The options of every fake strategy, in the order they are read.
struct FakeLists {
  WordList firstNames;
  WordList lastNames;
  WordList cities;
  WordList streets;
  WordList streetKinds;
  Text address;  // the street-address template
  WordList companySuffixes;
  WordList companyWords;
};

class FakeStrategy {
 public:
  // Checks the kind's lists and parses the address template; on failure
  // returns the message ("{} is empty", "unsupported address format {}").
  static std::variant<FakeStrategy, Text> make(FakeKind kind, FakeLists lists, std::optional<std::uint64_t> maxLength);

  FakeKind kind() const noexcept { return kind_; }
  // The fake for a value's text (an integer masks through its decimal text).
  Text mask(const KeyedHash& keyedHash, std::string_view data) const;
  // out[i] = mask(data[i]) for every i, the keyed draws of many values run
  // as one batch.
  void maskMany(const KeyedHash& keyedHash, std::span<const std::string_view> data, Text* out) const;

  // One element of a parsed address template.
  struct Piece {
    enum class Kind : std::uint8_t { Literal, Number, Street, Kind } kind;
    Text text;  // for Kind::Literal
  };

 private:
  FakeStrategy() = default;
  // The draws of one value: which list (null for the house number) under
  // which label; returns their count (at most 3).
  std::size_t draws(const WordList** lists, std::string_view* labels) const;
  // The fake from the results of those draws, in the same order.
  Text assemble(const std::uint64_t* results) const;

  FakeKind kind_ = FakeKind::firstName;
  // Which draws the template needs: a draw nothing shows is skipped (draws are
  // pure, so skipping one changes no other).
  bool usesNumber_ = false;
  bool usesStreet_ = false;
  bool usesKind_ = false;
  FakeLists lists_;
  Vec<Piece> pieces_;
  std::optional<std::uint64_t> maxLength_;
};

}  // namespace zorva
