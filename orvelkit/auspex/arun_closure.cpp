// The closure type of _arun's coroutines: a static type of the module, made ready once by the
// exec step. Includes only the frame and this module's own headers.
#include "auspex/arun_closure.h"
#include "frame/owned_fields.h"

namespace orvelkit::auspex {

namespace {

using ClosureFields = OwnedFields<ArunClosure, &ArunClosure::self, &ArunClosure::data>;

PyTypeObject closure_type = {PyVarObject_HEAD_INIT(nullptr, 0)};

}  // namespace

void ready_types(ModuleState& base) {
    State& st = state_of(base);
    if (st.closure_type) return;
    closure_type.tp_name = "orvelkit.auspex._arun_closure";
    closure_type.tp_basicsize = sizeof(ArunClosure);
    closure_type.tp_dealloc = ClosureFields::dealloc;
    closure_type.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC;
    closure_type.tp_traverse = ClosureFields::traverse;
    closure_type.tp_clear = ClosureFields::clear;
    ready_type_gc_off(st, &closure_type);
    st.closure_type = &closure_type;
}

}  // namespace orvelkit::auspex
