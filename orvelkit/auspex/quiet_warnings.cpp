// The warnings filter entries the module puts in front of the interpreter's while one of its own
// statements runs. Includes only the frame and this module's own headers.
#include "auspex/quiet_warnings.h"

#include "frame/names.h"

#include <utility>

namespace orvelkit::auspex {

IgnoredWarnings::IgnoredWarnings(const State& st, Ref&& entry) : entry_(std::move(entry)) {
    Ref warnings = import_module(st, st.s("warnings"_n));
    Ref filters = attr(warnings, st.s("filters"_n));
    if (!PyList_Check(filters.get())) return;
    check_status(PyList_Insert(filters.get(), 0, entry_.get()));
    filters_ = std::move(filters);
}

IgnoredWarnings::~IgnoredWarnings() {
    if (!filters_) return;
    PyObject* filters = filters_.get();
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(filters); ++i) {
        if (PyList_GET_ITEM(filters, i) != entry_.get()) continue;
        ErrorSetAside aside;
        if (PyList_SetSlice(filters, i, i + 1, nullptr) < 0) PyErr_Clear();
        return;
    }
}

void make_set_index_filter(State& st) {
    if (st.set_index_filter) return;
    Ref re = import_module(st, st.s("re"_n));
    Ref pattern = call_method(re, st.s("compile"_n), {st.s("set_index_deprecation"_n)});
    keep(st.set_index_filter,
         make_tuple({st.s("ignore"_n), pattern, PyExc_Warning, Py_None, st.int_0}));
}

}  // namespace orvelkit::auspex
