#include "fake.h"

#include <gtest/gtest.h>

#include <string>

namespace zorva {
namespace {

WordList numbered(const char* prefix, int count) {
  WordList list;
  for (int i = 0; i < count; ++i) list.add(std::string(prefix) + std::to_string(i));
  return list;
}

FakeLists fullLists(std::string_view address = "{number} {street} {kind}") {
  return {numbered("first", 37), numbered("last", 41),  numbered("city", 43),   numbered("street", 47),
          numbered("kind", 5),   Text(address),         numbered("suffix", 7), numbered("company", 53)};
}

std::string made(FakeKind kind, FakeLists lists) {
  auto result = FakeStrategy::make(kind, std::move(lists), std::nullopt);
  return std::holds_alternative<Text>(result) ? std::string(std::get<Text>(result)) : "made";
}

const FakeKind kKinds[] = {FakeKind::firstName, FakeKind::lastName, FakeKind::name,
                           FakeKind::city,      FakeKind::company,  FakeKind::streetAddress};

// Only the lists a kind reads must be non-empty, checked in table order, and
// before the template.
TEST(Fake, EmptyListsAreNamedInTableOrder) {
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
    EXPECT_EQ(made(c.kind, std::move(lists)), c.message);
  }
  FakeLists lists = fullLists("{x}");
  lists.lastNames = {};
  EXPECT_EQ(made(FakeKind::lastName, std::move(lists)), "lastNames is empty");
}

// The template is checked for every kind; the message quotes all of it.
TEST(Fake, InvalidTemplatesFailForEveryKind) {
  const std::pair<std::string_view, const char*> cases[] = {
      {"{name}", R"("{name}")"},       {"{number", R"("{number")"},     {"number}", R"("number}")"},
      {"{{number}}", R"("{{number}}")"}, {"{Number} { kind}", R"("{Number} { kind}")"},
      {"\"{number}\" {x}", R"("\"{number}\" {x}")"}, {"Straße {x}", R"("Straße {x}")"},
  };
  for (const auto& [address, quoted] : cases) {
    const std::string message = std::string("unsupported address format ") + quoted;
    for (FakeKind kind : kKinds) EXPECT_EQ(made(kind, fullLists(address)), message);
  }
}

TEST(Fake, MovedFromWordListReadsEmptyAndTakesWords) {
  WordList list = numbered("w", 2);
  WordList taken = std::move(list);
  EXPECT_EQ(taken.size(), 2u);
  EXPECT_TRUE(list.empty());  // NOLINT(bugprone-use-after-move)
  list.add("b");
  EXPECT_EQ(list[0], "b");
}

}  // namespace
}  // namespace zorva
