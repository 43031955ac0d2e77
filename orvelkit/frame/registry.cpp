// The shared-type registry.
#include "registry.h"

#include <cstring>
#include <string>

namespace orvelkit::frame {
namespace {

// Flags whose difference would make one library misuse another's objects.
constexpr unsigned long layout_flags = Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_BASETYPE |
                                       Py_TPFLAGS_METHOD_DESCRIPTOR | Py_TPFLAGS_HEAPTYPE |
                                       Py_TPFLAGS_HAVE_VECTORCALL;

void check_compatible(const char* key, PyObject* found, PyTypeObject* local) {
    if (!PyType_Check(found)) {
        PyErr_Format(PyExc_TypeError, "shared orvelkit type '%s_%s' in %s is not a type", key,
                     layout_version, registry_module_name);
        throw_error();
    }
    auto* type = reinterpret_cast<PyTypeObject*>(found);
    if (std::strcmp(type->tp_name, local->tp_name) != 0 ||
        type->tp_basicsize != local->tp_basicsize || type->tp_itemsize != local->tp_itemsize ||
        (type->tp_flags & layout_flags) != (local->tp_flags & layout_flags)) {
        PyErr_Format(PyExc_TypeError,
                     "shared orvelkit type '%s_%s' in %s has another layout than this library's "
                     "(%zd bytes, expected %zd); load orvelkit modules of one build per process",
                     key, layout_version, registry_module_name, type->tp_basicsize,
                     local->tp_basicsize);
        throw_error();
    }
}

// The registry's entry for `key` in this layout version: the one an earlier library stored there,
// or else the one `make` returns, stored for the libraries that come after.
template <class Make>
Ref registry_entry(const char* key, Make&& make) {
    PyObject* registry = add_frame_module(registry_module_name);
    const std::string versioned = std::string(key) + "_" + layout_version;
    Ref found = Ref::steal(PyObject_GetAttrString(registry, versioned.c_str()));
    if (found) return found;
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw_error();
    PyErr_Clear();
    Ref made = make();
    check_status(PyObject_SetAttrString(registry, versioned.c_str(), made.get()));
    return made;
}

#if ORVELKIT_HAS_DICT_WATCHERS
// The process's dict watcher. The library that registers it owns this record, static like the
// library itself, which is never unloaded; its callback counts into it, and the other libraries
// reach it through a capsule in the registry.
struct SharedDictWatch {
    int id;                 // the watcher's id, or -1 when the interpreter had none left
    std::uint64_t changes;  // bumped before every change of a watched dict
};
constexpr const char* dict_watch_capsule = "orvelkit.frame.SharedDictWatch";

SharedDictWatch own_dict_watch{-1, 1};

// Runs before the change; it must neither fail nor touch the dict.
int count_dict_change(PyDict_WatchEvent, PyObject*, PyObject*, PyObject*) noexcept {
    ++own_dict_watch.changes;
    return 0;
}

SharedDictWatch* shared_dict_watch() {
    Ref entry = registry_entry("dict_watch", [] {
        own_dict_watch.id = PyDict_AddWatcher(count_dict_change);
        if (own_dict_watch.id < 0) PyErr_Clear();  // every id taken: globals go uncached
        return check(PyCapsule_New(&own_dict_watch, dict_watch_capsule, nullptr));
    });
    void* record = PyCapsule_GetPointer(entry.get(), dict_watch_capsule);
    if (!record) throw_error();
    return static_cast<SharedDictWatch*>(record);
}
#endif

}  // namespace

void watch_module_dict(ModuleState& st) {
#if ORVELKIT_HAS_DICT_WATCHERS
    st.dict_changes = nullptr;
    SharedDictWatch* watch = shared_dict_watch();
    if (watch->id < 0) return;
    check_status(PyDict_Watch(watch->id, st.dict));
    st.dict_changes = &watch->changes;
#else
    (void)st;
#endif
}

PyObject* add_frame_module(const char* name) {
    PyObject* module = PyImport_AddModule(name);  // borrowed
    if (!module) throw_error();
    return module;
}

Ref shared_type(const char* key, PyTypeObject* local) {
    bool made_here = false;
    Ref entry = registry_entry(key, [&] {
        made_here = true;
        check_status(PyType_Ready(local));
        return Ref::borrow(reinterpret_cast<PyObject*>(local));
    });
    if (!made_here) check_compatible(key, entry.get(), local);
    return entry;
}

void ready_type_gc_off(const ModuleState& st, PyTypeObject* type) {
    // Asked of the gc module, as a Python caller would, so a collector the host switched off
    // stays off.
    Ref gc = check(PyImport_Import(st.f("gc"_f)));
    Ref enabled = check(PyObject_CallMethodNoArgs(gc.get(), st.f("isenabled"_f)));
    const bool was_on = check_status(PyObject_IsTrue(enabled.get())) == 1;
    if (was_on) Ref off = check(PyObject_CallMethodNoArgs(gc.get(), st.f("disable"_f)));
    const int ready = PyType_Ready(type);
    if (was_on) {
        // A failure to ready the type is the error worth reporting; enable()'s counts only alone.
        ErrorSetAside aside;
        Ref on = Ref::steal(PyObject_CallMethodNoArgs(gc.get(), st.f("enable"_f)));
        if (!on && ready == 0) {
            aside.let_new_win();
            throw_error();
        }
        if (!on) PyErr_Clear();
    }
    check_status(ready);
}

}  // namespace orvelkit::frame
