// The Python side of the columnar door: maskBatch and the masked result's
// type, which exports Arrow data through the PyCapsule protocol.
#pragma once

#include "shared/capi.h"

namespace zorva::arrow {

// maskBatch(maskers, data, decimalTexts=()): door.cpp.
extern PyMethodDef kMaskBatchDef;

// Creates the two result types (one batch: MaskedBatch, a stream of them:
// MaskedStream); false with an exception set.
bool createResultTypes(PyObject* module);

}  // namespace zorva::arrow
