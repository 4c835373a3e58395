// FakeStrategy: list checks, template parsing and the picks.
#include "strategies/fake.h"

#include <gtest/gtest.h>

#include <string>

namespace zorva {
namespace {

// The Python failure table holds the construction messages; the models hold the picks.
TEST(Fake, MovedFromWordListReadsEmptyAndTakesWords) {
  WordList list;
  list.add("a");
  list.add("");
  WordList taken = std::move(list);
  EXPECT_EQ(taken.size(), 2u);
  EXPECT_TRUE(list.empty());  // NOLINT(bugprone-use-after-move)
  list.add("b");
  EXPECT_EQ(list[0], "b");
  EXPECT_EQ(taken[1], "");
}

}  // namespace
}  // namespace zorva
