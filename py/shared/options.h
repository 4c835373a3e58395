// Reading a Masker's options dict: one reader per kind of option value, each
// with the exception and message its kind of mistake raises.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "support/alloc.h"
#include "shared/capi.h"
#include "strategies/fake.h"

namespace zorva::py {

// The options of one strategy. A reader answers false with a Python exception
// set; the strategy calls them in its fixed order, which decides the error a
// dict with several bad options raises. Absent keys take the given default.
// Keys are looked up with the dict's own lookup, never a subclass's
// __getitem__ or __missing__.
class Options {
 public:
  // dict is borrowed and must outlive the reader; strategy names the
  // strategy in messages.
  Options(PyObject* dict, std::string_view strategy) noexcept : dict_(dict), strategy_(strategy) {}

  bool text(const char* key, std::string_view absent, Text& out) const;
  bool optionalText(const char* key, std::optional<Text>& out) const;  // None reads as absent
  // A bool or numpy's boolean scalar; absent reads as false.
  bool flag(const char* key, bool& out) const;
  // An int or an object with __index__, in [0, 2^64).
  bool count(const char* key, std::uint64_t absent, std::uint64_t& out) const;
  bool optionalCount(const char* key, std::optional<std::uint64_t>& out) const;
  // The same in [0, 2^32): OverflowError outside.
  bool optionalSmallCount(const char* key, std::optional<std::uint32_t>& out) const;
  // A required sequence of str (not a str): ValueError "{strategy} needs {key}"
  // when absent.
  bool words(const char* key, WordList& out) const;

 private:
  bool lookup(const char* key, Ref& out) const;
  PyObject* dict_;
  std::string_view strategy_;
};

// Raises ValueError with the message.
void raiseValueError(std::string_view message);

}  // namespace zorva::py
