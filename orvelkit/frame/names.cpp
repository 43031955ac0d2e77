// Global-name lookup and the module-level import statements.
#include "names.h"

namespace orvelkit::frame {
namespace {

[[noreturn]] void raise_name_error(PyObject* name) {
    PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    throw_error();
}

// A module is still initialising while its spec's `_initializing` is true; errors reading it are
// taken as "no", as the import system itself does.
bool is_initialising(const ModuleState& st, PyObject* module) {
    Ref spec = Ref::steal(PyObject_GetAttr(module, st.f("__spec__"_f)));
    if (!spec) {
        PyErr_Clear();
        return false;
    }
    Ref flag = Ref::steal(PyObject_GetAttr(spec.get(), st.f("_initializing"_f)));
    if (!flag) {
        PyErr_Clear();
        return false;
    }
    int truth = PyObject_IsTrue(flag.get());
    if (truth < 0) {
        PyErr_Clear();
        return false;
    }
    return truth == 1;
}

}  // namespace

Ref global(const ModuleState& st, PyObject* name) {
    PyObject* value = PyDict_GetItemWithError(st.dict, name);
    if (value) return Ref::borrow(value);
    if (PyErr_Occurred()) throw_error();
    return builtin(st, name);
}

Ref global_row_slow(const ModuleState& st, std::size_t row) {
    // Read before the probe: a key's __eq__ run by the probe may change the dict, and the entry
    // must then already be stale.
    const std::uint64_t version = globals_version(st);
    GlobalCacheEntry& cached = st.global_cache[row];
    PyObject* name = st.strings[row];
    PyObject* value = PyDict_GetItemWithError(st.dict, name);
    if (value) {
        if (globals_cacheable(st)) cached = GlobalCacheEntry{version, value};
        return Ref::borrow(value);
    }
    if (PyErr_Occurred()) throw_error();
    return builtin(st, name);
}

Ref builtin(const ModuleState& st, PyObject* name) {
    PyObject* value = PyObject_GetAttr(st.builtins, name);
    if (value) return Ref::steal(value);
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw_error();
    PyErr_Clear();
    raise_name_error(name);
}

void set_global(const ModuleState& st, Handle name, Handle value) {
    check_status(PyDict_SetItem(st.dict, name, value));
}

Ref import_module(const ModuleState& st, Handle name) {
    PyObject* modules = PyImport_GetModuleDict();  // borrowed
    PyObject* existing = PyDict_GetItemWithError(modules, name);
    // None there blocks the import: the interpreter's own import raises ModuleNotFoundError for
    // it, so it goes that way rather than binding None.
    if (existing && existing != Py_None) {
        Ref held = Ref::borrow(existing);
        if (!is_initialising(st, held.get())) return held;
    } else if (PyErr_Occurred()) {
        throw_error();
    }
    Ref locals = check(PyDict_New());
    return check(PyImport_ImportModuleLevelObject(name, st.dict, locals.get(), nullptr, 0));
}

void import_from(const ModuleState& st, Handle module_name, std::initializer_list<Handle> names) {
    Ref fromlist = check(PyList_New(static_cast<Py_ssize_t>(names.size())));
    Py_ssize_t i = 0;
    for (PyObject* name : names) {
        Py_INCREF(name);
        PyList_SET_ITEM(fromlist.get(), i++, name);
    }
    Ref locals = check(PyDict_New());
    Ref module = check(
        PyImport_ImportModuleLevelObject(module_name, st.dict, locals.get(), fromlist.get(), 0));
    for (PyObject* name : names) {
        Ref value = Ref::steal(PyObject_GetAttr(module.get(), name));
        if (!value && PyErr_ExceptionMatches(PyExc_AttributeError)) {
            // A submodule that the package does not expose as an attribute.
            PyErr_Clear();
            Ref package = Ref::steal(PyObject_GetAttr(module.get(), st.f("__name__"_f)));
            if (package) {
                Ref full = Ref::steal(PyUnicode_FromFormat("%S.%S", package.get(), name));
                if (full) {
                    PyObject* entry = PyDict_GetItemWithError(PyImport_GetModuleDict(), full.get());
                    value = Ref::borrow(entry);
                }
            }
        }
        if (!value) {
            PyErr_Clear();
            PyErr_Format(PyExc_ImportError, "cannot import name %S", name);
            throw_error();
        }
        set_global(st, name, value);
    }
}

Ref import_attribute(const ModuleState& st, Handle module_name, Handle name) {
    Ref fromlist = check(PyList_New(1));
    PyList_SET_ITEM(fromlist.get(), 0, Py_NewRef(name));
    Ref locals = check(PyDict_New());
    Ref module = check(
        PyImport_ImportModuleLevelObject(module_name, st.dict, locals.get(), fromlist.get(), 0));
    return check(PyObject_GetAttr(module.get(), name));
}

bool pending_matches_global(const ModuleState& st, PyObject* name) {
    Ref handler_type;
    {
        ErrorSetAside aside;
        try {
            handler_type = global(st, name);
        } catch (const PyErrorSet&) {
            aside.let_new_win();
            throw;
        }
    }
    return PyErr_ExceptionMatches(handler_type.get()) != 0;
}

void load_cached_builtins(ModuleState& st) {
    const auto& rows = st.descriptor->cached_builtins;
    // A retry after a failed initialisation looks them up again; the earlier values are let go
    // only once the state no longer lists them, as a release may run a finaliser.
    std::vector<PyObject*> earlier;
    earlier.swap(st.cached_builtin_values);
    for (PyObject* value : earlier) Py_DECREF(value);
    st.cached_builtin_values.reserve(rows.size());
    for (std::size_t row : rows) {
        PyObject* name = st.strings[row];
        PyObject* value = PyObject_GetAttr(st.builtins, name);
        if (!value) {
            if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw_error();
            PyErr_Clear();
            raise_name_error(name);
        }
        st.cached_builtin_values.push_back(value);
    }
}

}  // namespace orvelkit::frame
