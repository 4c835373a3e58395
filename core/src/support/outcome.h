// What a core masker answers for one value: a value, a decline (the caller
// masks the value itself) or a refusal with a message.
#pragma once

#include <utility>
#include <variant>

#include "support/alloc.h"

namespace zorva {

struct Decline {
  bool operator==(const Decline&) const = default;
};

struct Refusal {
  Text message;
  bool operator==(const Refusal&) const = default;
};

template <class T>
using Outcome = std::variant<T, Decline, Refusal>;

// The refusal shared by the key and fpe strategies for values above 256
// characters or digits.
Refusal tooLongRefusal(std::string_view strategy);

}  // namespace zorva
