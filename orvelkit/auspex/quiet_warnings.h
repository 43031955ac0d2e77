// Warnings that the module's own statements cause in a library, kept from the caller for the
// length of one statement. Throws PyErrorSet where a function says so.
#pragma once

#include "auspex/state.h"

namespace orvelkit::auspex {

// An "ignore" entry in front of the interpreter's warnings filters while one statement runs, for a
// warning about the way this module calls a library, never about the caller's data. The entry
// leaves the very list it went into, found by identity: filters added meanwhile stay, and a list
// that catch_warnings swapped in meanwhile (copying the entry) is left to catch_warnings, which
// itself puts back the whole list it saved and so would drop whatever was added inside. Another
// thread's warning of the same kind in that moment is ignored too.
class IgnoredWarnings : Pinned {
public:
    // `entry` is a filter tuple. Throws PyErrorSet when the warnings module cannot be read; with
    // a filters object that is no list, the interpreter itself refuses every warning, and nothing
    // is added.
    IgnoredWarnings(const State& st, Ref&& entry);
    // Runs no Python code and cannot fail: taking one item out of a list allocates nothing, and
    // the entry itself is still held here.
    ~IgnoredWarnings();

private:
    Ref entry_;
    Ref filters_;  // the list the entry went into; empty when it went nowhere
};

// The filter entry for set_index's deprecated `inplace`, made once at initialisation. The text
// names the table's own class, so the pattern leaves it open.
void make_set_index_filter(State& st);

}  // namespace orvelkit::auspex
