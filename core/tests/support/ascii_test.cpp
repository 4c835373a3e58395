// The word-at-a-time ASCII helpers against their byte-by-byte definitions.
#include "support/ascii.h"

#include <gtest/gtest.h>

#include <string>

namespace zorva {
namespace {

TEST(Ascii, WordsAgreeWithBytesAtEveryOffset) {
  // Every byte value at every position of texts that end inside, at and past
  // a word boundary.
  for (std::size_t length : {1, 7, 8, 9, 16, 23}) {
    for (std::size_t at = 0; at < length; ++at) {
      for (int byte = 0; byte < 256; ++byte) {
        std::string text(length, 'Q');
        text[at] = static_cast<char>(byte);
        ASSERT_EQ(isAscii(text), byte < 0x80) << length << " " << at << " " << byte;
        if (byte >= 0x80) continue;
        std::string expected = text, lowered(length, '\0');
        for (char& c : expected) c = (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c;
        lowerAscii(text, lowered.data());
        ASSERT_EQ(lowered, expected) << length << " " << at << " " << byte;
      }
    }
  }
}

}  // namespace
}  // namespace zorva
