// Debugging form of a user-supplied text inside a message.
#pragma once

#include <string_view>

#include "support/alloc.h"

namespace zorva {

// The text in double quotes; `"` and `\` escaped with a backslash; tab, CR and
// LF as \t, \r, \n; every other control character (U+0000-U+001F,
// U+007F-U+009F) as \u{hex} in lowercase hex without leading zeros. The input
// is valid UTF-8.
Text debugQuote(std::string_view text);

}  // namespace zorva
