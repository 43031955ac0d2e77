// Traceback entries: a cached empty code object per (name, line), a throwaway interpreter frame
// over the module's globals, and PyTraceBack_Here.
#include "traceback.h"

#include <algorithm>
#include <cstring>
#include <new>

namespace orvelkit::frame {
namespace {

constexpr std::size_t table_step = 64;

// The first entry run's position for `line`, or where it would go.
auto lower_bound_line(std::vector<TracebackCodeEntry>& table, int line) {
    return std::lower_bound(table.begin(), table.end(), line,
                            [](const TracebackCodeEntry& e, int l) { return e.line < l; });
}

// The table's entry for (name, line), made when missing. Null with an error set when the code
// object cannot be made.
TracebackCodeEntry* entry_for(const ModuleState& st, const char* name, int line) {
    auto& table = st.traceback_codes;
    auto it = lower_bound_line(table, line);
    for (auto run = it; run != table.end() && run->line == line; ++run) {
        if (std::strcmp(run->name, name) == 0) return &*run;
    }
    PyObject* code =
        reinterpret_cast<PyObject*>(PyCode_NewEmpty(st.descriptor->file_name, name, line));
    if (!code) return nullptr;
    if (table.size() == table.capacity()) table.reserve(table.capacity() + table_step);
    it = lower_bound_line(table, line);  // reserve may have moved the storage
    return &*table.insert(it, TracebackCodeEntry{line, name, code, nullptr});
}

// A frame for the entry: the one made last time when no traceback holds it any more (refused
// calls in a loop then cost no frame each), else a new one that the table keeps instead. New
// reference, or null with an error set.
PyObject* frame_for(const ModuleState& st, TracebackCodeEntry& entry) {
    if (entry.frame && Py_REFCNT(entry.frame) == 1) return Py_NewRef(entry.frame);
    PyObject* frame = reinterpret_cast<PyObject*>(PyFrame_New(
        PyThreadState_Get(), reinterpret_cast<PyCodeObject*>(entry.code), st.dict, nullptr));
    if (!frame) return nullptr;
    Py_XSETREF(entry.frame, Py_NewRef(frame));
    return frame;
}

// The switch stays False; it is written once, on the first entry, when the runtime module lacks
// it. Failures here are ignored: the entry matters more than the switch.
void ensure_position_switch(const ModuleState& st) {
    if (!st.runtime || st.position_switch_checked) return;
    st.position_switch_checked = true;
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
        try {
            TracebackCodeEntry* entry = entry_for(st, name, line);
            if (entry) frame = frame_for(st, *entry);
        } catch (const std::bad_alloc&) {
            PyErr_NoMemory();
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
