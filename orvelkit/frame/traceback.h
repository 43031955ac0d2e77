// Traceback entries for module functions, and Cursor, the line tracker a running body writes to.
#pragma once

#include "module_state.h"

namespace orvelkit::frame {

// The traceback table (ModuleState::traceback_codes): per library, sorted by line, one entry per
// (function name, line) that has failed, holding its empty code object for the process and the
// interpreter frame made last for it. Entries are only ever added. Making a code object or a
// frame can run the collector, whose finalisers may fail and add entries themselves, which moves
// the vector: no entry pointer is kept across anything that allocates, and an entry is looked up
// again before it is inserted or updated. The kept frame is reused only while nothing but the
// table refers to it (refcount 1), so a traceback still alive never sees its line change.
//
// Adds one entry (name, the module's file, line) in front of the traceback of the pending
// exception. The exception is set aside while the code object and interpreter frame are made; if
// that fails, the new error replaces it. Precondition: an error is pending. Never throws.
void add_traceback(const ModuleState& st, const char* name, int line) noexcept;

// The running function's name for traceback entries and the line of the statement it performs.
// A body marks each statement with at(line); the call boundary reads the last mark.
class Cursor {
public:
    Cursor(const ModuleState& state, const char* trace_name, int line) noexcept
        : st(state), name_(trace_name), line_(line) {}

    void at(int line) noexcept { line_ = line; }
    // The entry for the pending error at the current line.
    void add_entry() const noexcept { add_traceback(st, name_, line_); }

    const ModuleState& st;

private:
    const char* name_;
    int line_;
};

// The name the runtime module carries for the switch that would add the frame's own code
// position to entry names. It stays False.
inline constexpr const char* runtime_position_switch = "show_native_positions";

}  // namespace orvelkit::frame
