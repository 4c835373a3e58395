// debugQuote: a user's text quoted for a message, control characters escaped.
#include "support/quote.h"

#include <cstdio>

namespace zorva {

namespace {

void appendEscape(Text& out, unsigned code) {
  char buf[16];
  int n = std::snprintf(buf, sizeof buf, "\\u{%x}", code);
  out.append(buf, static_cast<std::size_t>(n));
}

}  // namespace

Text debugQuote(std::string_view text) {
  Text out;
  out.reserve(text.size() + 2);
  out.push_back('"');
  for (std::size_t i = 0; i < text.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    switch (c) {
      case '"': out.append("\\\""); continue;
      case '\\': out.append("\\\\"); continue;
      case '\t': out.append("\\t"); continue;
      case '\r': out.append("\\r"); continue;
      case '\n': out.append("\\n"); continue;
      default: break;
    }
    if (c < 0x20 || c == 0x7f) {
      appendEscape(out, c);
    } else if (c == 0xc2 && i + 1 < text.size() && static_cast<unsigned char>(text[i + 1]) >= 0x80 &&
               static_cast<unsigned char>(text[i + 1]) <= 0x9f) {
      // U+0080..U+009F are two bytes: C2 80..C2 9F.
      appendEscape(out, static_cast<unsigned char>(text[i + 1]));
      ++i;
    } else {
      out.push_back(static_cast<char>(c));
    }
  }
  out.push_back('"');
  return out;
}

}  // namespace zorva
