// The dispatch of one value to its strategy's core masker (Strategy::maskOne,
// declared with Strategy in masker.h) and the mapping of core answers to
// Outputs.
#pragma once

#include "masker.h"
#include "number.h"
#include "outcome.h"
#include "values.h"

namespace zorva::py {

// A value, a decline or a refusal as an Output.
Output fromOutcome(Outcome<BigInt>&& outcome);
Output fromOutcome(Outcome<Text>&& outcome);
// A number strategy's answer as an Output.
Output fromNumber(NumberResult&& result);

}  // namespace zorva::py
