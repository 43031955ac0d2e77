// Traceback entries: a cached empty code object per (name, line), a throwaway interpreter frame
// over the module's globals, and PyTraceBack_Here.
#include "traceback.h"

#include <algorithm>
#include <cstring>

namespace orvelkit::frame {
namespace {

constexpr std::size_t table_step = 64;

// The first entry run's position for `line`, or where it would go.
auto lower_bound_line(std::vector<TracebackCodeEntry>& table, int line) {
    return std::lower_bound(table.begin(), table.end(), line,
                            [](const TracebackCodeEntry& e, int l) { return e.line < l; });
}

// Borrowed from the table. Null with an error set when the code object cannot be made.
PyObject* code_for(const ModuleState& st, const char* name, int line) {
    auto& table = st.traceback_codes;
    auto it = lower_bound_line(table, line);
    for (auto run = it; run != table.end() && run->line == line; ++run) {
        if (std::strcmp(run->name, name) == 0) return run->code;
    }
    PyObject* code =
        reinterpret_cast<PyObject*>(PyCode_NewEmpty(st.descriptor->file_name, name, line));
    if (!code) return nullptr;
    if (table.size() == table.capacity()) table.reserve(table.capacity() + table_step);
    it = lower_bound_line(table, line);  // reserve may have moved the storage
    table.insert(it, TracebackCodeEntry{line, name, code});
    return code;
}

// The switch stays False; it is written once, on the first entry, when the runtime module lacks
// it. Failures here are ignored: the entry matters more than the switch.
void ensure_position_switch(const ModuleState& st) {
    if (!st.runtime) return;
    int has = PyObject_HasAttrString(st.runtime, runtime_position_switch);
    if (!has) {
        if (PyObject_SetAttrString(st.runtime, runtime_position_switch, Py_False) < 0) {
            PyErr_Clear();
        }
    }
}

}  // namespace

void add_traceback(const ModuleState& st, const char* name, int line) noexcept {
    PyObject* frame = nullptr;
    {
        ErrorSetAside aside;
        ensure_position_switch(st);
        PyObject* code = code_for(st, name, line);
        if (code) {
            frame = reinterpret_cast<PyObject*>(PyFrame_New(
                PyThreadState_Get(), reinterpret_cast<PyCodeObject*>(code), st.dict, nullptr));
        }
        if (!frame) {
            aside.let_new_win();
            return;
        }
    }
    PyTraceBack_Here(reinterpret_cast<PyFrameObject*>(frame));
    Py_DECREF(frame);
}

}  // namespace orvelkit::frame
