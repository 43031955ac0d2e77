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

// The table's entry for (name, line), or null. The pointer is good only until the next call that
// may run Python code: making any object can run the collector, whose callbacks and finalizers
// may report a failure of their own and insert into the table, which moves the entries.
TracebackCodeEntry* find_entry(const ModuleState& st, const char* name, int line) {
    auto& table = st.traceback_codes;
    for (auto run = lower_bound_line(table, line); run != table.end() && run->line == line; ++run) {
        if (std::strcmp(run->name, name) == 0) return &*run;
    }
    return nullptr;
}

// The code object for (name, line), made and kept when missing. New reference; throws PyErrorSet.
Ref code_for(const ModuleState& st, const char* name, int line) {
    if (TracebackCodeEntry* entry = find_entry(st, name, line)) return Ref::borrow(entry->code);
    Ref code = check(
        reinterpret_cast<PyObject*>(PyCode_NewEmpty(st.descriptor->names.file_name, name, line)));
    // Making it may have let another failure add this very entry meanwhile.
    if (TracebackCodeEntry* entry = find_entry(st, name, line)) return Ref::borrow(entry->code);
    auto& table = st.traceback_codes;
    if (table.size() == table.capacity()) table.reserve(table.capacity() + table_step);
    const auto at = lower_bound_line(table, line);
    table.insert(at, TracebackCodeEntry{line, name, code.get(), nullptr});
    Py_INCREF(code.get());  // the table's own, once the insert can no longer throw
    return code;
}

// A frame for (name, line): the one made last time when no traceback holds it any more (refused
// calls in a loop then cost no frame each), else a new one that the table keeps instead. No
// entry pointer is held across the frame's making. New reference; throws PyErrorSet.
Ref frame_for(const ModuleState& st, const char* name, int line) {
    Ref code = code_for(st, name, line);
    if (TracebackCodeEntry* entry = find_entry(st, name, line)) {
        if (entry->frame && Py_REFCNT(entry->frame) == 1) return Ref::borrow(entry->frame);
    }
    Ref frame = check(reinterpret_cast<PyObject*>(PyFrame_New(
        PyThreadState_Get(), reinterpret_cast<PyCodeObject*>(code.get()), st.dict, nullptr)));
    if (TracebackCodeEntry* entry = find_entry(st, name, line)) {
        Py_XSETREF(entry->frame, Py_NewRef(frame.get()));
    }
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
        if (!succeeds([&] { frame = frame_for(st, name, line).release(); })) {
            aside.let_new_win();
            return;
        }
    }
    PyTraceBack_Here(reinterpret_cast<PyFrameObject*>(frame));
    Py_DECREF(frame);
}

}  // namespace orvelkit::frame
