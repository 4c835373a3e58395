// The module's exports (its functions and the Masker type), each defined
// beside what it does; rows/module.cpp and arrow/module.cpp assemble the modules.
#pragma once

#include "shared/capi.h"

namespace zorva::py {

// maskChunk(maskers, rows): chunk.cpp.
extern PyMethodDef kMaskChunkDef;
// columnKinds(rows): kinds.cpp.
extern PyMethodDef kColumnKindsDef;
// availableCores(), setThreads(threads), threads(): threads.cpp.
extern PyMethodDef kAvailableCoresDef;
extern PyMethodDef kSetThreadsDef;
extern PyMethodDef kThreadsDef;

// Creates the Masker type (heap type named "Masker", no __dict__, no weak
// references): masker.cpp. New reference, or null with an exception set.
// moduleName is its __module__: each module has its own Masker type.
PyObject* createMaskerType(const char* moduleName = "zorva_rs");

}  // namespace zorva::py
