#include "fake.h"

#include <gtest/gtest.h>

#include <initializer_list>
#include <set>
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

FakeLists fullLists(std::string_view address = "{number} {street} {kind}") {
  FakeLists lists;
  lists.firstNames = numbered("first", 37);
  lists.lastNames = numbered("last", 41);
  lists.cities = numbered("city", 43);
  lists.streets = numbered("street", 47);
  lists.streetKinds = numbered("kind", 5);
  lists.address = Text(address);
  lists.companySuffixes = numbered("suffix", 7);
  lists.companyWords = numbered("company", 53);
  return lists;
}

FakeStrategy build(FakeKind kind, FakeLists lists, std::optional<std::uint64_t> maxLength = std::nullopt) {
  auto made = FakeStrategy::make(kind, std::move(lists), maxLength);
  if (auto* message = std::get_if<Text>(&made)) ADD_FAILURE() << *message;
  return std::get<FakeStrategy>(std::move(made));
}

// The entry a pick must give, from the keyed hash directly.
std::string expectedPick(const WordList& list, std::string_view data, std::string_view label) {
  return std::string(list[testHash().below(data, list.size(), label)]);
}

std::string masked(const FakeStrategy& strategy, std::string_view data) {
  Text out = strategy.mask(testHash(), data);
  return std::string(out);
}

const char* const kData[] = {"", "0", "42", "alice@example.test", "Zoë", "-17", "a somewhat longer value"};

TEST(WordList, StoresEntriesInOrderAndReadsEmptyWhenMovedFrom) {
  WordList list = words({"a", "", "ÿz"});
  ASSERT_EQ(list.size(), 3u);
  EXPECT_EQ(list[0], "a");
  EXPECT_EQ(list[1], "");
  EXPECT_EQ(list[2], "ÿz");
  WordList taken = std::move(list);
  EXPECT_EQ(taken.size(), 3u);
  EXPECT_TRUE(list.empty());  // NOLINT(bugprone-use-after-move): the state is defined
  list.add("again");
  ASSERT_EQ(list.size(), 1u);
  EXPECT_EQ(list[0], "again");
}

TEST(FakeMake, EmptyListsAreNamedInTableOrder) {
  struct Case {
    FakeKind kind;
    void (*empty)(FakeLists&);
    const char* message;  // null: accepted
  };
  const Case cases[] = {
      {FakeKind::firstName, [](FakeLists& l) { l.firstNames = {}; }, "firstNames is empty"},
      {FakeKind::lastName, [](FakeLists& l) { l.lastNames = {}; }, "lastNames is empty"},
      {FakeKind::name, [](FakeLists& l) { l.firstNames = {}; l.lastNames = {}; }, "firstNames is empty"},
      {FakeKind::name, [](FakeLists& l) { l.lastNames = {}; }, "lastNames is empty"},
      {FakeKind::city, [](FakeLists& l) { l.cities = {}; }, "cities is empty"},
      {FakeKind::company, [](FakeLists& l) { l.companyWords = {}; l.companySuffixes = {}; }, "companyWords is empty"},
      {FakeKind::company, [](FakeLists& l) { l.companySuffixes = {}; }, "companySuffixes is empty"},
      {FakeKind::streetAddress, [](FakeLists& l) { l.streets = {}; l.streetKinds = {}; }, "streets is empty"},
      {FakeKind::streetAddress, [](FakeLists& l) { l.streetKinds = {}; }, "streetKinds is empty"},
      // Lists a kind does not draw from may be empty.
      {FakeKind::city,
       [](FakeLists& l) { l.firstNames = l.lastNames = l.streets = l.streetKinds = l.companySuffixes = l.companyWords = {}; },
       nullptr},
      {FakeKind::firstName, [](FakeLists& l) { l.lastNames = {}; }, nullptr},
      // An empty list is reported before a bad template.
      {FakeKind::lastName, [](FakeLists& l) { l.lastNames = {}; l.address = "{x}"; }, "lastNames is empty"},
  };
  for (const Case& c : cases) {
    FakeLists lists = fullLists();
    c.empty(lists);
    auto made = FakeStrategy::make(c.kind, std::move(lists), std::nullopt);
    if (c.message == nullptr) {
      EXPECT_TRUE(std::holds_alternative<FakeStrategy>(made)) << static_cast<int>(c.kind);
    } else {
      ASSERT_TRUE(std::holds_alternative<Text>(made)) << c.message;
      EXPECT_EQ(std::get<Text>(made), c.message);
    }
  }
}

TEST(FakeMake, InvalidTemplatesFailForEveryKindQuotingTheWholeTemplate) {
  struct Case {
    std::string_view address;
    const char* quoted;
  };
  const Case cases[] = {
      {"{name}", R"("{name}")"},
      {"{}", R"("{}")"},
      {"{number", R"("{number")"},
      {"number}", R"("number}")"},
      {"{number}}", R"("{number}}")"},
      {"}{number}", R"("}{number}")"},
      {"{{number}}", R"("{{number}}")"},
      {"{Number}", R"("{Number}")"},
      {"{ number}", R"("{ number}")"},
      {"{number} {street} {kind", R"("{number} {street} {kind")"},
      {"{street}x}", R"("{street}x}")"},
      {"{", R"("{")"},
      {"}", R"("}")"},
      {"\"{number}\" {x}", R"("\"{number}\" {x}")"},
      {"back\\slash {x}", R"("back\\slash {x}")"},
      {"\t{x}\n", R"("\t{x}\n")"},
      {std::string_view("\0{x}\x1b\x7f", 6), R"("\u{0}{x}\u{1b}\u{7f}")"},
      {"Straße {x}", R"("Straße {x}")"},
  };
  const FakeKind kinds[] = {FakeKind::firstName, FakeKind::lastName, FakeKind::name,
                            FakeKind::city,      FakeKind::company,  FakeKind::streetAddress};
  for (const Case& c : cases) {
    for (FakeKind kind : kinds) {
      auto made = FakeStrategy::make(kind, fullLists(c.address), std::nullopt);
      ASSERT_TRUE(std::holds_alternative<Text>(made)) << c.quoted;
      EXPECT_EQ(std::string(std::get<Text>(made)), std::string("unsupported address format ") + c.quoted);
    }
  }
}

TEST(FakeAddress, ValidTemplatesFillTheirPieces) {
  struct Case {
    std::string_view address;
    // The expected text, with #, $ and % standing for number, street and kind.
    std::string_view shape;
  };
  const Case cases[] = {
      {"", ""},
      {"{number} {street} {kind}", "# $ %"},
      {"No. {number}", "No. #"},
      {"{street}{kind}{street}", "$%$"},
      {"{kind}, {number}", "%, #"},
      {"plain Number Street Kind", "plain Number Street Kind"},
      {"Ø-{number}-ø", "Ø-#-ø"},
  };
  FakeLists lists = fullLists();
  for (const Case& c : cases) {
    FakeStrategy strategy = build(FakeKind::streetAddress, fullLists(c.address));
    for (const char* data : kData) {
      std::string number = std::to_string(testHash().below(data, 9999, "number") + 1);
      std::string street = expectedPick(lists.streets, data, "street");
      std::string kind = expectedPick(lists.streetKinds, data, "suffix");
      std::string expected;
      for (char ch : c.shape) {
        expected += ch == '#' ? number : ch == '$' ? street : ch == '%' ? kind : std::string(1, ch);
      }
      EXPECT_EQ(masked(strategy, data), expected) << c.address << " / " << data;
    }
  }
}

TEST(FakeAddress, HouseNumbersRunFromOneTo9999) {
  FakeLists lists = fullLists();
  lists.streets = words({"Main"});
  lists.streetKinds = words({"Road"});
  FakeStrategy strategy = build(FakeKind::streetAddress, std::move(lists));
  for (int i = 0; i < 500; ++i) {
    std::string out = masked(strategy, std::to_string(i));
    std::size_t blank = out.find(' ');
    ASSERT_NE(blank, std::string::npos);
    EXPECT_EQ(out.substr(blank), " Main Road");
    int number = std::stoi(out.substr(0, blank));
    EXPECT_GE(number, 1);
    EXPECT_LE(number, 9999);
    EXPECT_EQ(std::to_string(number), out.substr(0, blank));  // no leading zeros
  }
}

TEST(FakeMask, PicksAreTheEntryAtTheKeyedIndex) {
  FakeLists lists = fullLists();
  const FakeStrategy first = build(FakeKind::firstName, fullLists());
  const FakeStrategy last = build(FakeKind::lastName, fullLists());
  const FakeStrategy name = build(FakeKind::name, fullLists());
  const FakeStrategy city = build(FakeKind::city, fullLists());
  const FakeStrategy company = build(FakeKind::company, fullLists());
  for (const char* data : kData) {
    std::string f = expectedPick(lists.firstNames, data, "first");
    std::string l = expectedPick(lists.lastNames, data, "last");
    EXPECT_EQ(masked(first, data), f);
    EXPECT_EQ(masked(last, data), l);
    // The same first name under both kinds; the last name drawn on its own label.
    EXPECT_EQ(masked(name, data), f + " " + l);
    EXPECT_EQ(masked(city, data), expectedPick(lists.cities, data, "city"));
    EXPECT_EQ(masked(company, data), expectedPick(lists.companyWords, data, "company") + " " +
                                         expectedPick(lists.companySuffixes, data, "suffix"));
  }
}

TEST(FakeMask, OneEntryListsAlwaysGiveThatEntry) {
  FakeLists lists;
  lists.firstNames = words({"Ana"});
  lists.lastNames = words({"Øster"});
  lists.cities = words({""});
  lists.streets = words({"Main"});
  lists.streetKinds = words({"Road"});
  lists.address = "{street} {kind}";
  lists.companySuffixes = words({"Ltd"});
  lists.companyWords = words({"Acme"});
  struct Case {
    FakeKind kind;
    const char* expected;
  };
  const Case cases[] = {{FakeKind::firstName, "Ana"}, {FakeKind::lastName, "Øster"},
                        {FakeKind::name, "Ana Øster"}, {FakeKind::city, ""},
                        {FakeKind::company, "Acme Ltd"}, {FakeKind::streetAddress, "Main Road"}};
  for (const Case& c : cases) {
    FakeStrategy strategy = build(c.kind, lists);
    for (const char* data : kData) EXPECT_EQ(masked(strategy, data), c.expected);
  }
}

TEST(FakeMask, MaxLengthCountsScalarValues) {
  struct Case {
    FakeKind kind;
    std::uint64_t maxLength;
    const char* expected;
  };
  const Case cases[] = {
      {FakeKind::firstName, 3, "Ærø"},
      {FakeKind::firstName, 0, ""},
      {FakeKind::firstName, 5, "Ærøåb"},
      {FakeKind::firstName, 6, "Ærøåb"},
      {FakeKind::firstName, UINT64_MAX, "Ærøåb"},
      {FakeKind::lastName, 2, "😀界"},
      {FakeKind::lastName, 1, "😀"},
      // Cuts across the joining blank and across template pieces.
      {FakeKind::name, 5, "Ærøåb"},
      {FakeKind::name, 6, "Ærøåb "},
      {FakeKind::name, 7, "Ærøåb 😀"},
      {FakeKind::company, 4, "Ünï "},
      {FakeKind::streetAddress, 9, "Ünï-Ærøåb"},
      {FakeKind::streetAddress, 10, "Ünï-Ærøåb-"},
      {FakeKind::streetAddress, 0, ""},
  };
  FakeLists lists;
  lists.firstNames = words({"Ærøåb"});
  lists.lastNames = words({"😀界x"});
  lists.cities = words({"c"});
  lists.streets = words({"Ærøåb"});
  lists.streetKinds = words({"Ünï"});
  lists.address = "{kind}-{street}-{kind}";
  lists.companySuffixes = words({"Ünï"});
  lists.companyWords = words({"Ünï"});
  for (const Case& c : cases) {
    FakeStrategy strategy = build(c.kind, lists, c.maxLength);
    EXPECT_EQ(masked(strategy, "value"), c.expected) << static_cast<int>(c.kind) << " max " << c.maxLength;
  }
}

TEST(FakeMask, DeterministicAndDependsOnTheValue) {
  const FakeKind kinds[] = {FakeKind::firstName, FakeKind::lastName, FakeKind::name,
                            FakeKind::city,      FakeKind::company,  FakeKind::streetAddress};
  for (FakeKind kind : kinds) {
    const FakeStrategy one = build(kind, fullLists());
    const FakeStrategy two = build(kind, fullLists());
    std::set<std::string> seen;
    for (int i = 0; i < 200; ++i) {
      std::string data = "v" + std::to_string(i);
      std::string out = masked(one, data);
      EXPECT_EQ(masked(one, data), out);
      EXPECT_EQ(masked(two, data), out);
      seen.insert(out);
    }
    EXPECT_GT(seen.size(), 4u) << static_cast<int>(kind);
  }
}

TEST(FakeMask, ADifferentSubkeyGivesOtherPicks) {
  const KeyedHash other(std::string_view("fedcba9876543210FEDCBA9876543210", 32));
  const FakeStrategy strategy = build(FakeKind::company, fullLists());
  int differ = 0;
  for (int i = 0; i < 50; ++i) {
    std::string data = std::to_string(i);
    differ += masked(strategy, data) != std::string(strategy.mask(other, data));
  }
  EXPECT_GT(differ, 25);
}

}  // namespace
}  // namespace zorva
