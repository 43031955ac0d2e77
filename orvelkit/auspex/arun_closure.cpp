// The closure type of _arun's coroutines: a static type of the module, made ready once by the
// exec step. Includes only the frame and this module's own headers.
#include "auspex/arun_closure.h"

namespace orvelkit::auspex {

namespace {

ArunClosure* as_closure(PyObject* o) { return reinterpret_cast<ArunClosure*>(o); }

// Follows the bound arguments for the cycle collector.
int closure_traverse(PyObject* o, visitproc visit, void* arg) {
    Py_VISIT(as_closure(o)->self);
    Py_VISIT(as_closure(o)->data);
    return 0;
}

int closure_clear(PyObject* o) {
    Py_CLEAR(as_closure(o)->self);
    Py_CLEAR(as_closure(o)->data);
    return 0;
}

// One allocation path: PyObject_GC_New on this static type.
void closure_dealloc(PyObject* o) {
    PyObject_GC_UnTrack(o);
    closure_clear(o);
    Py_TYPE(o)->tp_free(o);
}

PyTypeObject closure_type = {PyVarObject_HEAD_INIT(nullptr, 0)};

}  // namespace

void ready_types(ModuleState& base) {
    State& st = state_of(base);
    if (st.closure_type) return;
    closure_type.tp_name = "orvelkit.auspex._arun_closure";
    closure_type.tp_basicsize = sizeof(ArunClosure);
    closure_type.tp_dealloc = closure_dealloc;
    closure_type.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC;
    closure_type.tp_traverse = closure_traverse;
    closure_type.tp_clear = closure_clear;
    ready_type_gc_off(st, &closure_type);
    st.closure_type = &closure_type;
}

}  // namespace orvelkit::auspex
