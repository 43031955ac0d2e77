// The module state record, the module descriptor a module hands the frame, and the create and exec
// drivers of multi-phase initialisation.
#pragma once

#include "error.h"

#include <array>
#include <cstdint>
#include <iterator>
#include <span>
#include <string>
#include <type_traits>
#include <vector>

namespace orvelkit::frame {

// One row of a module's string table. Identifiers become interned str; other text literals become
// ordinary str; bytes rows become bytes. Every string is hashed when it is made.
struct StringRow {
    const char* data;
    Py_ssize_t length;
    bool is_bytes;
    bool is_identifier;
    const char* encoding;  // null: UTF-8
};

constexpr Py_ssize_t c_length(const char* s) {
    Py_ssize_t n = 0;
    while (s[n]) ++n;
    return n;
}
constexpr StringRow ident(const char* s) { return {s, c_length(s), false, true, nullptr}; }
constexpr StringRow text(const char* s) { return {s, c_length(s), false, false, nullptr}; }

// One traceback code object kept for reuse: same function name and line only.
struct TracebackCodeEntry {
    int line;
    const char* name;  // static text of the module; compared by content
    PyObject* code;    // owned for the life of the process
    PyObject* frame;   // owned; the last frame made for it, reused once nothing else holds it
};

// A module global as last found in the module's dict, valid while the dict's version is
// `version`. The value is borrowed: any change to the dict changes the version first.
struct GlobalCacheEntry {
    std::uint64_t version = 0;
    PyObject* value = nullptr;
};

// A module's string table, written as (row name, row) pairs so that a row out of place is a
// compile error rather than a wrong name at run time.
template <class E>
struct NamedRow {
    E name;
    StringRow row;
};

template <class E, std::size_t N>
constexpr bool rows_in_order(const NamedRow<E> (&table)[N]) {
    for (std::size_t i = 0; i < N; ++i) {
        if (static_cast<std::size_t>(table[i].name) != i) return false;
    }
    return static_cast<std::size_t>(E::count) == N;
}

template <class E, std::size_t N>
constexpr std::array<StringRow, N> rows_of(const NamedRow<E> (&table)[N]) {
    std::array<StringRow, N> rows{};
    for (std::size_t i = 0; i < N; ++i) rows[i] = table[i].row;
    return rows;
}

// The row of a module's string table that an enumerator names.
template <class E>
    requires std::is_enum_v<E>
constexpr std::size_t row(E e) {
    return static_cast<std::size_t>(e);
}

// Stores a state field made once; a repeated exec after a failed import keeps the first.
inline void keep(PyObject*& field, Ref&& value) {
    if (!field) field = value.release();
}

struct ModuleState;
class Frame;

// Names the frame itself reads (class statements, context managers, imports), made with each
// module's strings at the exec step.
enum class FrameName : std::size_t {
    mro_entries,
    prepare,
    module,
    qualname,
    doc,
    orig_bases,
    annotations,
    enter,
    exit,
    spec,
    initialising,
    name,
    register_,
    Coroutine,
    collections_abc,
    backports_abc,
    gc,
    isenabled,
    enable,
    disable,
    count,
};

inline constexpr StringRow frame_names[] = {
    {"__mro_entries__", 15, false, true, nullptr},
    {"__prepare__", 11, false, true, nullptr},
    {"__module__", 10, false, true, nullptr},
    {"__qualname__", 12, false, true, nullptr},
    {"__doc__", 7, false, true, nullptr},
    {"__orig_bases__", 14, false, true, nullptr},
    {"__annotations__", 15, false, true, nullptr},
    {"__enter__", 9, false, true, nullptr},
    {"__exit__", 8, false, true, nullptr},
    {"__spec__", 8, false, true, nullptr},
    {"_initializing", 13, false, true, nullptr},
    {"__name__", 8, false, true, nullptr},
    {"register", 8, false, true, nullptr},
    {"Coroutine", 9, false, true, nullptr},
    {"collections.abc", 15, false, false, nullptr},
    {"backports_abc", 13, false, true, nullptr},
    {"gc", 2, false, true, nullptr},
    {"isenabled", 9, false, true, nullptr},
    {"enable", 6, false, true, nullptr},
    {"disable", 7, false, true, nullptr},
};
static_assert(std::size(frame_names) == static_cast<std::size_t>(FrameName::count));

// What a module tells the frame about itself. Static, never freed.
struct ModuleDescriptor {
    const char* short_name;  // "auspex"
    const char* full_name;   // "orvelkit.auspex"
    const char* file_name;   // "orvelkit\auspex": shown in traceback entries and code objects
    std::span<const StringRow> strings;
    std::span<const std::size_t> cached_builtins;  // rows of `strings` naming builtins read once
    bool registers_coroutine;                      // import collections.abc and register with it
    // Exec-step hooks; each throws PyErrorSet. Any may be null.
    void (*make_numbers)(ModuleState&);
    void (*make_tuples_and_code)(ModuleState&);
    void (*ready_types)(ModuleState&);
    void (*run_statements)(Frame&);
};

// The per-process record of one module library: filled by the exec step, never emptied. Every
// PyObject* field holds one strong reference that lives until the process ends. A module extends
// it with its numeric constants, constant tuples and code objects.
struct ModuleState {
    explicit ModuleState(const ModuleDescriptor& d)
        : descriptor(&d), init_trace_name(std::string("init ") + d.full_name) {}
    ModuleState(const ModuleState&) = delete;
    ModuleState& operator=(const ModuleState&) = delete;

    const ModuleDescriptor* descriptor;
    // "init " and the full name: the exec step's traceback name. Kept here because the traceback
    // table keeps the pointer for the life of the process.
    const std::string init_trace_name;
    PyObject* initialised_module = nullptr;  // owned while set; the module that exec filled
    std::int64_t first_interpreter = -1;     // id of the interpreter of the first create step

    PyObject* dict = nullptr;      // the module's __dict__
    PyObject* builtins = nullptr;  // the builtins module
    PyObject* runtime = nullptr;   // the frame's runtime module in sys.modules
    PyObject* empty_tuple = nullptr;
    PyObject* empty_bytes = nullptr;
    PyObject* empty_str = nullptr;
    PyTypeObject* function_type = nullptr;       // shared through the type registry
    PyTypeObject* coroutine_type = nullptr;      // shared; only modules that register coroutines
    PyTypeObject* await_wrapper_type = nullptr;  // shared; as above
    std::vector<PyObject*> strings;              // in the order of descriptor->strings
    PyObject* frame_strings[static_cast<std::size_t>(FrameName::count)] = {};
    std::vector<PyObject*> cached_builtin_values;  // in the order of descriptor->cached_builtins

    PyModuleDef definition{};            // static like the state; see module_definition
    PyModuleDef_Slot definition_slots[3]{};
    mutable bool position_switch_checked = false;  // the runtime module's switch is in place
    // Sorted by line, then name; written only while an error is being reported.
    mutable std::vector<TracebackCodeEntry> traceback_codes;
    // One entry per row of `strings`, for the rows read as globals.
    mutable std::vector<GlobalCacheEntry> global_cache;

    template <class E>
    PyObject* s(E row) const noexcept {
        return strings[static_cast<std::size_t>(row)];
    }
    PyObject* f(FrameName row) const noexcept { return frame_strings[static_cast<std::size_t>(row)]; }
    template <class E>
    PyObject* cached(E row) const noexcept {
        return cached_builtin_values[static_cast<std::size_t>(row)];
    }
};

// The create and exec slots of a module, driven by its state. Both follow the C convention.
PyObject* create_module(ModuleState& st, PyObject* spec) noexcept;
int exec_module(ModuleState& st, PyObject* module) noexcept;

// What PyInit_<name> returns: the module definition (name, no documentation, no per-module state,
// no methods, the create and exec slots), made once for the library's one module. Borrowed.
PyObject* module_definition(ModuleState& st) noexcept;

// Readies one of a module's own types with the collector switched off (gc.isenabled/disable/
// enable). Throws PyErrorSet.
void ready_type_gc_off(const ModuleState& st, PyTypeObject* type);

}  // namespace orvelkit::frame
