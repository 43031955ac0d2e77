// Global and builtin names, the cached builtins, and the `import` and `from ... import` statements.
// Every function here returns a new reference and throws PyErrorSet on failure.
#pragma once

#include "traceback.h"

#include <initializer_list>
#include <type_traits>

namespace orvelkit::frame {

// A plain global name read at this moment: the module's dict first, then the builtins module;
// NameError "name '%U' is not defined" when in neither.
Ref global(const ModuleState& st, PyObject* name);

// The version cached globals are checked against; it changes before the module's dict does.
// 3.11: the dict's own version tag. 3.12 and later: the change count of the dict watcher that all
// orvelkit libraries of the process share, so a change to any of their module dicts makes every
// cached global a miss; module dicts seldom change once imported.
inline std::uint64_t globals_version(const ModuleState& st) noexcept {
#if ORVELKIT_HAS_DICT_WATCHERS
    return st.dict_changes ? *st.dict_changes : 0;
#else
    return dict_version(st.dict);
#endif
}

// Whether a global found now may be remembered: not while the dict goes unwatched (every watcher
// of the interpreter taken by others).
inline bool globals_cacheable(const ModuleState& st) noexcept {
#if ORVELKIT_HAS_DICT_WATCHERS
    return st.dict_changes != nullptr;
#else
    (void)st;
    return true;
#endif
}

// The same for a name of the module's string table, given by its row: the value found in the
// module's dict is remembered with the globals' version, which spares the probe while the dict
// is unchanged. Still a lookup at every use, as Python reads a global: the version only tells
// that the dict has not changed since the name was last found in it.
Ref global_row_slow(const ModuleState& st, std::size_t row);
inline Ref global(const ModuleState& st, Name name) {
    const std::size_t index = name.row;
    const GlobalCacheEntry& cached = st.global_cache[index];
    if (cached.value && cached.version == globals_version(st)) return Ref::borrow(cached.value);
    return global_row_slow(st, index);
}

// An attribute of the builtins module, or the same NameError.
Ref builtin(const ModuleState& st, PyObject* name);

// Binds a module global by item assignment on the module's dict.
void set_global(const ModuleState& st, Handle name, Handle value);

// `import name`: an entry of sys.modules that is not still initialising wins; otherwise the
// absolute import of `name` with the module's dict as globals.
Ref import_module(const ModuleState& st, Handle name);

// `from module import a, b, ...`: imports `module` with the names as from-list, then binds each
// name in the module's dict as soon as it is fetched, in order. A name the module lacks (also as
// the submodule entry "module.name" of sys.modules) raises ImportError "cannot import name %S".
void import_from(const ModuleState& st, Handle module, std::initializer_list<Handle> names);

// `from module import name`, handed back instead of bound: for what the module needs but keeps
// out of its namespace.
Ref import_attribute(const ModuleState& st, Handle module, Handle name);

// `except NAME:` for a module global NAME looked up when the exception arrives. The pending error
// is set aside during the lookup; if the lookup fails, its error replaces the pending one and
// this throws. Precondition: an error is pending.
bool pending_matches_global(const ModuleState& st, PyObject* name);

// Reads each cached builtin once; a missing one raises NameError. Called by the exec step.
void load_cached_builtins(ModuleState& st);

}  // namespace orvelkit::frame
