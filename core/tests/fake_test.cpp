#include "fake.h"

#include <gtest/gtest.h>

#include <string>

namespace zorva {
namespace {

const KeyedHash& testHash() {
  static const KeyedHash hash(std::string_view("0123456789abcdef0123456789ABCDEF", 32));
  return hash;
}

WordList words(std::initializer_list<std::string_view> entries) {
  WordList list;
  for (std::string_view entry : entries) list.add(entry);
  return list;
}

WordList numbered(const char* prefix, int count) {
  WordList list;
  for (int i = 0; i < count; ++i) list.add(std::string(prefix) + std::to_string(i));
  return list;
}

// List sizes differ so that a pick from the wrong list or with a wrong bound shows.
FakeLists fullLists(std::string_view address = "{number} {street} {kind}") {
  return {numbered("first", 37), numbered("last", 41),  numbered("city", 43),   numbered("street", 47),
          numbered("kind", 5),   Text(address),         numbered("suffix", 7), numbered("company", 53)};
}

std::variant<FakeStrategy, Text> make(FakeKind kind, FakeLists lists, std::optional<std::uint64_t> maxLength = {}) {
  return FakeStrategy::make(kind, std::move(lists), maxLength);
}

std::string masked(const std::variant<FakeStrategy, Text>& made, std::string_view data) {
  if (const auto* message = std::get_if<Text>(&made)) return "make failed: " + std::string(*message);
  return std::string(std::get<FakeStrategy>(made).mask(testHash(), data));
}

std::string message(const std::variant<FakeStrategy, Text>& made) {
  return std::holds_alternative<Text>(made) ? std::string(std::get<Text>(made)) : "made";
}

// The entry a pick must give, from the keyed hash directly.
std::string pickOf(const WordList& list, std::string_view data, std::string_view label) {
  return std::string(list[testHash().below(data, list.size(), label)]);
}

const FakeKind kKinds[] = {FakeKind::firstName, FakeKind::lastName, FakeKind::name,
                           FakeKind::city,      FakeKind::company,  FakeKind::streetAddress};
const char* const kData[] = {"", "0", "42", "alice@example.test", "Zoë", "-17", "a somewhat longer value"};

TEST(Fake, EmptyListsAreNamedInTableOrderAndUnusedListsMayBeEmpty) {
  const struct {
    FakeKind kind;
    WordList FakeLists::*a, FakeLists::*b;  // emptied
    const char* message;
  } cases[] = {
      {FakeKind::firstName, &FakeLists::firstNames, nullptr, "firstNames is empty"},
      {FakeKind::lastName, &FakeLists::lastNames, nullptr, "lastNames is empty"},
      {FakeKind::name, &FakeLists::lastNames, &FakeLists::firstNames, "firstNames is empty"},
      {FakeKind::name, &FakeLists::lastNames, nullptr, "lastNames is empty"},
      {FakeKind::city, &FakeLists::cities, nullptr, "cities is empty"},
      {FakeKind::company, &FakeLists::companySuffixes, &FakeLists::companyWords, "companyWords is empty"},
      {FakeKind::company, &FakeLists::companySuffixes, nullptr, "companySuffixes is empty"},
      {FakeKind::streetAddress, &FakeLists::streetKinds, &FakeLists::streets, "streets is empty"},
      {FakeKind::streetAddress, &FakeLists::streetKinds, nullptr, "streetKinds is empty"},
      {FakeKind::city, &FakeLists::firstNames, &FakeLists::streetKinds, "made"},
      {FakeKind::firstName, &FakeLists::lastNames, &FakeLists::companyWords, "made"},
  };
  for (const auto& c : cases) {
    FakeLists lists = fullLists();
    lists.*c.a = {};
    if (c.b) lists.*c.b = {};
    EXPECT_EQ(message(make(c.kind, lists)), c.message);
  }
  FakeLists lists = fullLists("{x}");
  lists.lastNames = {};
  EXPECT_EQ(message(make(FakeKind::lastName, lists)), "lastNames is empty");  // before the template
}

TEST(Fake, InvalidTemplatesFailForEveryKindQuotingTheWholeTemplate) {
  const struct {
    std::string_view address;
    const char* quoted;
  } cases[] = {
      {"{name}", R"("{name}")"},      {"{}", R"("{}")"},
      {"{number", R"("{number")"},    {"number}", R"("number}")"},
      {"{number}}", R"("{number}}")"}, {"}{number}", R"("}{number}")"},
      {"{{number}}", R"("{{number}}")"}, {"{Number} { kind}", R"("{Number} { kind}")"},
      {"{street}x}", R"("{street}x}")"}, {"{number} {street} {kind", R"("{number} {street} {kind")"},
      {"\"{number}\" {x}", R"("\"{number}\" {x}")"}, {"back\\slash {x}", R"("back\\slash {x}")"},
      {"\t{x}\n\r", R"("\t{x}\n\r")"}, {std::string_view("\0{x}\x1b\x7f", 6), R"("\u{0}{x}\u{1b}\u{7f}")"},
      {"Straße {x}", R"("Straße {x}")"},
  };
  for (const auto& c : cases) {
    for (FakeKind kind : kKinds) {
      EXPECT_EQ(message(make(kind, fullLists(c.address))), std::string("unsupported address format ") + c.quoted);
    }
  }
}

TEST(Fake, AddressTemplatesFillNumberStreetAndKind) {
  // In the shapes #, $ and % stand for the number, the street and the kind.
  const struct {
    std::string_view address, shape;
  } cases[] = {
      {"", ""},
      {"{number} {street} {kind}", "# $ %"},
      {"No. {number}", "No. #"},
      {"{street}{kind}{street}", "$%$"},
      {"Ø-{kind}, Number Street Kind", "Ø-%, Number Street Kind"},
  };
  const FakeLists lists = fullLists();
  for (const auto& c : cases) {
    const auto made = make(FakeKind::streetAddress, fullLists(c.address));
    for (const char* data : kData) {
      const std::string fill[] = {std::to_string(testHash().below(data, 9999, "number") + 1),
                                  pickOf(lists.streets, data, "street"), pickOf(lists.streetKinds, data, "suffix")};
      std::string expected;
      for (char ch : c.shape) expected += ch == '#' ? fill[0] : ch == '$' ? fill[1] : ch == '%' ? fill[2] : std::string(1, ch);
      EXPECT_EQ(masked(made, data), expected) << c.address << " / " << data;
    }
  }
}

TEST(Fake, PicksAreTheEntriesAtTheKeyedIndexesAndDeterministic) {
  const FakeLists l = fullLists();
  for (const char* data : kData) {
    const std::string first = pickOf(l.firstNames, data, "first"), last = pickOf(l.lastNames, data, "last");
    const std::string expected[] = {first, last, first + " " + last, pickOf(l.cities, data, "city"),
                                    pickOf(l.companyWords, data, "company") + " " + pickOf(l.companySuffixes, data, "suffix")};
    for (int k = 0; k < 5; ++k) {
      const auto made = make(kKinds[k], l);
      EXPECT_EQ(masked(made, data), expected[k]) << k << " / " << data;
      EXPECT_EQ(masked(make(kKinds[k], l), data), masked(made, data));
    }
  }
}

TEST(Fake, OneEntryListsAlwaysGiveThatEntry) {
  const FakeLists lists{words({"Ana"}), words({"Øster"}), words({""}), words({"Main"}),
                        words({"Road"}), Text("{street} {kind}"), words({"Ltd"}), words({"Acme"})};
  const char* const expected[] = {"Ana", "Øster", "Ana Øster", "", "Acme Ltd", "Main Road"};
  for (int k = 0; k < 6; ++k) {
    const auto made = make(kKinds[k], lists);
    for (const char* data : kData) EXPECT_EQ(masked(made, data), expected[k]);
  }
}

TEST(Fake, MaxLengthCountsScalarValues) {
  const FakeLists lists{words({"Ærøåb"}), words({"😀界x"}), words({"c"}), words({"Ærøåb"}),
                        words({"Ünï"}),   Text("{kind}-{street}-{kind}"), words({"Ünï"}), words({"Ünï"})};
  const struct {
    FakeKind kind;
    std::uint64_t maxLength;
    const char* expected;
  } cases[] = {
      {FakeKind::firstName, 3, "Ærø"},          {FakeKind::firstName, 0, ""},
      {FakeKind::firstName, 5, "Ærøåb"},        {FakeKind::firstName, UINT64_MAX, "Ærøåb"},
      {FakeKind::lastName, 2, "😀界"},           {FakeKind::lastName, 1, "😀"},
      {FakeKind::name, 5, "Ærøåb"},             {FakeKind::name, 6, "Ærøåb "},
      {FakeKind::name, 7, "Ærøåb 😀"},          {FakeKind::company, 4, "Ünï "},
      {FakeKind::streetAddress, 9, "Ünï-Ærøåb"}, {FakeKind::streetAddress, 10, "Ünï-Ærøåb-"},
      {FakeKind::streetAddress, 0, ""},
  };
  for (const auto& c : cases) EXPECT_EQ(masked(make(c.kind, lists, c.maxLength), "v"), c.expected) << c.maxLength;
}

TEST(Fake, MovedFromWordListReadsEmpty) {
  WordList list = words({"a", ""});
  WordList taken = std::move(list);
  EXPECT_EQ(taken.size(), 2u);
  EXPECT_TRUE(list.empty());  // NOLINT(bugprone-use-after-move)
  list.add("b");
  EXPECT_EQ(list[0], "b");
}

}  // namespace
}  // namespace zorva
