// The frame's runtime module and its shared-type registry, both modules in sys.modules, so the
// three libraries of a process share one function type and one coroutine type; and the readying
// of a module's own types.
#pragma once

#include "names.h"

namespace orvelkit::frame {

// The names in sys.modules. The registry's key for each type carries the layout version: a
// library built with another layout registers under another key and never shares a type whose
// fields it would misread.
inline constexpr const char* runtime_module_name = "_orvelkit_frame_runtime";
inline constexpr const char* registry_module_name = "_orvelkit_frame_types";
inline constexpr const char* layout_version = "v2";

// Borrowed from sys.modules; made empty when absent. Throws PyErrorSet.
PyObject* add_frame_module(const char* name);

// The registry's type for `key` when one is registered and compatible with `local`; otherwise
// `local` is readied, registered and returned. A registered object that is not a type, or whose
// name, basic size, item size or flags differ from `local`'s, raises TypeError. New reference;
// the registry keeps its own for the life of the process.
Ref shared_type(const char* key, PyTypeObject* local);

// Watches the module's dict with the process's one dict watcher and points the state at the
// watcher's change count, so cached globals can be checked against it. An interpreter has only a
// few watcher ids for all its extensions, so every orvelkit library shares one, found through the
// registry. Where none can be had, the dict goes unwatched and no global is cached. Nothing to do
// before 3.12. Throws PyErrorSet.
void watch_module_dict(ModuleState& st);

// Readies one of a module's own types with the collector switched off (gc.isenabled/disable/
// enable). Throws PyErrorSet.
void ready_type_gc_off(const ModuleState& st, PyTypeObject* type);

}  // namespace orvelkit::frame
