// Column masking: the per-call de-duplication (through the Masker's result
// cache, where it has one), the outputs of a column and the maskColumn driver.
#pragma once

#include <cstddef>

#include "shared/values.h"

namespace zorva::py {

class Masker;

// The outputs of one column: one per input, in input order. Equal values
// share one stored answer (positions index into answers), so a repeated
// value costs no copy; each position still becomes its own Python object.
struct MaskedValues {
  Vec<Output> answers;
  Vec<std::size_t> at;  // position -> index into answers

  std::size_t size() const noexcept { return at.size(); }
  const Output& operator[](std::size_t position) const noexcept { return answers[at[position]]; }
};

// The Python objects of one MaskedValues, each answer's made on its first
// use and handed to every later position with the same answer: equal inputs
// get one immutable object, so a column of few distinct values costs a few
// objects per call instead of one per row. Requires the interpreter lock for
// its whole life.
class AnswerObjects {
 public:
  AnswerObjects(const MaskedValues& values, PyObject* decimalType) : values_(&values), decimalType_(decimalType) {
    // All distinct: every answer is used once, and sharing would only cost.
    if (values.answers.size() < values.size()) made_.resize(values.answers.size());
  }
  // A new reference to the object of position p; nullptr with an exception set.
  PyObject* take(std::size_t p) {
    const std::size_t k = values_->at[p];
    if (made_.empty()) return toPython(values_->answers[k], decimalType_);
    if (!made_[k]) {
      made_[k] = Ref::steal(toPython(values_->answers[k], decimalType_));
      if (!made_[k]) return nullptr;
    }
    return Ref(made_[k]).release();
  }

 private:
  const MaskedValues* values_;
  PyObject* decimalType_;
  Vec<Ref> made_;
};

// One output per input, in input order. Runs without the interpreter lock, on
// any thread, several at once for one Masker; never fails on a value. Each
// distinct keyed value is masked once; 256 or more distinct uncached values
// are spread over the masking pool when one is installed. callValues is how
// many values the whole call masks, when the inputs are one block of it: the
// cache then grows once for all of them rather than once per block.
MaskedValues maskInputs(const Masker& masker, const Vec<Input>& inputs, std::size_t callValues = 0);
// maskInputs for the next block of a longer run of values: the block's
// positions and answers are appended to into's, and only the block's values
// are de-duplicated with each other, so a block's tables stay the size of
// the block.
void maskInputsInto(const Masker& masker, const Vec<Input>& inputs, std::size_t callValues, MaskedValues& into);
// maskInputsInto without the grouping, for a caller that grouped its values
// itself or found them distinct: each input is answered on its own, from
// the result cache or masked (an input equal to another is masked again, to
// the same answer), and input i's answer is appended as
// answers[answers.size() + i]. The cache is consulted and filled as ever.
void maskEachInto(const Masker& masker, const Vec<Input>& inputs, std::size_t callValues, Vec<Output>& answers);

// Masker.maskColumn(values) -> (masked, problems); requires the interpreter
// lock, which it releases only around maskInputs.
PyObject* maskColumn(const Masker& masker, PyObject* values);

}  // namespace zorva::py
