// The module state record: what a module tells the frame about itself, and the per-process record
// of one module library that initialisation fills.
#pragma once

#include "error.h"
#include "frame_names.h"

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace orvelkit::frame {

// The frame's one limit: how many parameters a function may have, and so how many arguments a
// call binds or forwards. A record with more does not compile.
inline constexpr std::size_t max_parameters = 8;

// Stores a state field made once; a repeated exec after a failed import keeps the first.
inline void keep(PyObject*& field, Ref&& value) {
    if (!field) field = value.release();
}

// One traceback code object kept for reuse: same function name and line only.
struct TracebackCodeEntry {
    int line;
    const char* name;  // static text of the module; compared by content
    PyObject* code;    // owned for the life of the process
    PyObject* frame;   // owned; the last frame made for it, reused once nothing else holds it
};

// A module global as last found in the module's dict, valid while the globals' version (see
// names.h) is `version`. The value is borrowed: any change to the dict changes the version first.
struct GlobalCacheEntry {
    std::uint64_t version = 0;
    PyObject* value = nullptr;
};

// What initialisation makes of one function record; each field, once set, holds one reference
// for the life of the process. Each record's own lives beside its compiled signature (record.h).
struct FunctionObjects {
    PyObject* name = nullptr;
    PyObject* qualname = nullptr;
    PyObject* code = nullptr;
    PyObject* defaults = nullptr;  // the tuple calls take defaults from; null without defaults
};

struct ModuleState;
class Cursor;

// A module's names, all static text.
struct ModuleNames {
    const char* short_name;  // "auspex"
    const char* full_name;   // "orvelkit.auspex"
    const char* file_name;   // "orvelkit\auspex": shown in traceback entries and code objects
};

// The names of the package's module `Short`, made while compiling.
template <FixedText Short>
class PackageModule {
    static constexpr const char package[] = "orvelkit";
    static constexpr std::size_t size = sizeof package + sizeof Short.chars;  // one zero, one joint

    static consteval std::array<char, size> joined(char joint) {
        std::array<char, size> out{};
        std::size_t n = 0;
        for (std::size_t i = 0; i + 1 < sizeof package; ++i) out[n++] = package[i];
        out[n++] = joint;
        for (std::size_t i = 0; i + 1 < sizeof Short.chars; ++i) out[n++] = Short.chars[i];
        return out;
    }
    static constexpr std::array<char, size> full = joined('.');
    static constexpr std::array<char, size> file = joined('\\');

public:
    static constexpr ModuleNames names{Short.chars, full.data(), file.data()};
};

template <FixedText Short>
inline constexpr ModuleNames module_names = PackageModule<Short>::names;

// What the exec step runs of a module's own, in this order; each throws PyErrorSet. Any may be
// null.
struct ExecHooks {
    void (*make_numbers)(ModuleState&) = nullptr;
    void (*make_tuples)(ModuleState&) = nullptr;
    void (*ready_types)(ModuleState&) = nullptr;
    void (*run_statements)(Cursor&) = nullptr;
};

// What a module tells the frame about itself. Static, never freed.
struct ModuleDescriptor {
    ModuleNames names;
    std::span<const StringRow> strings;
    std::span<const std::size_t> cached_builtins = {};  // rows of `strings`: builtins read once
    bool registers_coroutine = false;  // import collections.abc and register with it
    ExecHooks hooks;
};

// The per-process record of one module library: filled by the exec step, never emptied. Every
// PyObject* field holds one strong reference that lives until the process ends. A module extends
// it with its numeric constants and constant tuples.
struct ModuleState : Pinned {
    explicit ModuleState(const ModuleDescriptor& d)
        : descriptor(&d), init_trace_name(std::string("init ") + d.names.full_name) {}

    const ModuleDescriptor* descriptor;
    // "init " and the full name: the exec step's traceback name. Kept here because the traceback
    // table keeps the pointer for the life of the process.
    const std::string init_trace_name;
    PyObject* initialised_module = nullptr;  // owned while set; the module that exec filled
    std::int64_t first_interpreter = -1;     // id of the interpreter of the first create step
    // collections.abc knows the coroutine type; asked once per process and library.
    bool coroutine_abc_registered = false;

    PyObject* dict = nullptr;         // the module's __dict__
    PyObject* builtins = nullptr;     // the builtins module
    PyObject* runtime = nullptr;      // the frame's runtime module in sys.modules
    PyObject* module_name = nullptr;  // the full name: __module__ of the module's functions
    PyObject* empty_tuple = nullptr;
    PyObject* empty_str = nullptr;
    PyTypeObject* function_type = nullptr;   // shared through the type registry
    PyTypeObject* coroutine_type = nullptr;  // shared; only modules that register coroutines
    std::vector<PyObject*> strings;          // in the order of descriptor->strings
    PyObject* frame_strings[std::size(frame_name_table)] = {};
    std::vector<PyObject*> cached_builtin_values;  // in the order of descriptor->cached_builtins

    PyModuleDef definition{};                      // static like the state; see module_definition
    PyModuleDef_Slot definition_slots[3]{};        // create, exec and the closing zero entry
    mutable bool position_switch_checked = false;  // the runtime module's switch is in place
    // Sorted by line, then name; written only while an error is being reported.
    mutable std::vector<TracebackCodeEntry> traceback_codes;
    // One entry per row of `strings`, for the rows read as globals.
    mutable std::vector<GlobalCacheEntry> global_cache;
#if ORVELKIT_HAS_DICT_WATCHERS
    // Borrowed from the process's one dict watcher (registry.h): how many changes the dicts it
    // watches, this module's among them, have had. Null while `dict` is not watched: then no
    // global is cached.
    const std::uint64_t* dict_changes = nullptr;
#endif

    PyObject* s(Name name) const noexcept { return strings[name.row]; }
    PyObject* f(FrameName name) const noexcept { return frame_strings[name.row]; }
    template <class E>
    PyObject* cached(E row) const noexcept {
        return cached_builtin_values[static_cast<std::size_t>(row)];
    }
};

}  // namespace orvelkit::frame
