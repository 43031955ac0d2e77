// The record an _arun coroutine keeps its bound arguments in, until it is resumed and refuses.
#pragma once

#include "auspex/state.h"

namespace orvelkit::auspex {

struct ArunClosure {
    PyObject_HEAD
    PyObject* self;  // owned
    PyObject* data;  // owned
};

// Readies the closure type once: the exec step's hook for the module's types. Throws PyErrorSet.
void ready_types(ModuleState& st);

}  // namespace orvelkit::auspex
