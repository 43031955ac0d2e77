// The create and exec steps of multi-phase initialisation, driven by a module's state.
#include "module_init.h"

#include "coroutine.h"
#include "function.h"
#include "names.h"
#include "registry.h"
#include "traceback.h"
#include "version.h"

#include <new>
#include <string>

namespace orvelkit::frame {
namespace {

constexpr const char* interpreter_change =
    "Interpreter change detected - this module can only be loaded into one interpreter per "
    "process.";

// Copies one spec attribute into the module's dict; a missing attribute is skipped. With
// `skip_none`, a None value is skipped too. False with an error set on any other failure.
bool copy_spec_attr(PyObject* spec, PyObject* dict, const char* from, const char* to,
                    bool skip_none) {
    PyObject* value = PyObject_GetAttrString(spec, from);
    if (!value) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
        PyErr_Clear();
        return true;
    }
    int status = 0;
    if (!(skip_none && value == Py_None)) status = PyDict_SetItemString(dict, to, value);
    Py_DECREF(value);
    return status == 0;
}

PyObject* make_string(const StringRow& row) {
    PyObject* s;
    if (row.is_identifier) {
        s = PyUnicode_FromStringAndSize(row.data, row.length);
        if (s) PyUnicode_InternInPlace(&s);
    } else {
        s = PyUnicode_DecodeUTF8(row.data, row.length, nullptr);
    }
    if (s && PyObject_Hash(s) == -1) Py_CLEAR(s);
    return s;
}

// The state keeps these for the life of the process; a repeated exec after a failure replaces
// only what it has not made yet.
void make_strings(ModuleState& st) {
    if (st.strings.empty()) {
        st.global_cache.assign(st.descriptor->strings.size(), GlobalCacheEntry{});
        st.strings.reserve(st.descriptor->strings.size());
        for (const StringRow& row : st.descriptor->strings) {
            PyObject* s = make_string(row);
            if (!s) throw_error();
            st.strings.push_back(s);
        }
    }
    for (std::size_t i = 0; i < std::size(frame_names); ++i) {
        if (st.frame_strings[i]) continue;
        st.frame_strings[i] = make_string(frame_names[i]);
        if (!st.frame_strings[i]) throw_error();
    }
    keep(st.module_name, check(PyUnicode_FromString(st.descriptor->names.full_name)));
}

// Warns and fails the step only when the warning itself raises (warnings turned into errors).
void warn_or_fail(const char* message) { check_status(PyErr_WarnEx(nullptr, message, 1)); }

// Registers the coroutine type with one ABC module's Coroutine; a module without it is passed
// over. False with an error set when the registration fails.
bool register_with(const ModuleState& st, PyObject* abc_module) {
    PyObject* coroutine_abc = nullptr;
    if (get_optional_attr(abc_module, st.f("Coroutine"_f), &coroutine_abc) < 0) {
        return false;
    }
    if (!coroutine_abc) return true;
    PyObject* result = PyObject_CallMethodOneArg(coroutine_abc, st.f("register"_f),
                                                 reinterpret_cast<PyObject*>(st.coroutine_type));
    Py_DECREF(coroutine_abc);
    Py_XDECREF(result);
    return result != nullptr;
}

// Once per process and library: collections.abc learns that the frame's coroutines are
// coroutines, so asyncio accepts them. backports_abc is optional and never fails the step.
void register_coroutine_abc(ModuleState& st) {
    if (st.coroutine_abc_registered) return;
    Ref abc = Ref::steal(PyImport_Import(st.f("collections_abc"_f)));
    if (!abc) {
        PyErr_WriteUnraisable(nullptr);
        warn_or_fail("orvelkit failed to register its coroutine type with collections.abc");
    } else {
        st.coroutine_abc_registered = true;
        if (!register_with(st, abc.get())) {
            PyErr_WriteUnraisable(nullptr);
            warn_or_fail("orvelkit could not patch collections.abc with its custom coroutine type");
        }
    }
    Ref backports = Ref::steal(PyImport_Import(st.f("backports_abc"_f)));
    if (!backports) {
        PyErr_Clear();
        return;
    }
    if (!register_with(st, backports.get())) PyErr_Clear();
}

void obtain_shared_types(ModuleState& st) {
    if (!st.function_type) {
        st.function_type = reinterpret_cast<PyTypeObject*>(function_type().release());
    }
    if (st.descriptor->registers_coroutine && !st.coroutine_type) {
        // The await wrapper type lives in the registry beside the coroutine type; nothing here
        // needs to reach it.
        CoroutineTypes types = coroutine_types();
        st.coroutine_type = reinterpret_cast<PyTypeObject*>(types.coroutine.release());
    }
}

// Everything exec does once the module's dict and the frame's modules are in hand: builtins, the
// version warning, the constants and strings, the sys.modules entry, the cached builtins, the
// module's types and its statements. Throws PyErrorSet. `cursor` carries the line reported by a
// failure, and `reached_strings` turns on the "init" traceback entry.
void run_exec(ModuleState& st, PyObject* module, Cursor& cursor, bool& reached_strings) {
    const ModuleDescriptor& d = *st.descriptor;
    check_status(PyObject_SetAttrString(module, "__builtins__", st.builtins));

    std::string warning = version_mismatch_message(built_major, built_minor, Py_GetVersion(),
                                                   d.names.full_name);
    if (!warning.empty()) warn_or_fail(warning.c_str());

    keep(st.empty_tuple, check(PyTuple_New(0)));
    keep(st.empty_str, check(PyUnicode_FromStringAndSize("", 0)));

    obtain_shared_types(st);

    make_strings(st);
    if (d.hooks.make_numbers) d.hooks.make_numbers(st);
    reached_strings = true;

    // The import system has usually done this already; an entry of that name is left alone.
    PyObject* modules = PyImport_GetModuleDict();
    Ref full = check(PyUnicode_FromString(d.names.full_name));
    if (!check_status(PyDict_Contains(modules, full.get()))) {
        check_status(PyDict_SetItem(modules, full.get(), module));
    }

    load_cached_builtins(st);
    if (d.hooks.make_tuples) d.hooks.make_tuples(st);
    if (d.hooks.ready_types) d.hooks.ready_types(st);
    if (d.registers_coroutine) register_coroutine_abc(st);
    if (d.hooks.run_statements) d.hooks.run_statements(cursor);

    Ref test = check(PyDict_New());
    check_status(PyObject_SetAttrString(module, "__test__", test.get()));
}

}  // namespace

PyObject* create_module(ModuleState& st, PyObject* spec) noexcept {
    std::int64_t current = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (st.first_interpreter == -1) {
        st.first_interpreter = current;
    } else if (st.first_interpreter != current) {
        PyErr_SetString(PyExc_ImportError, interpreter_change);
        return nullptr;
    }
    if (st.initialised_module) return Py_NewRef(st.initialised_module);

    PyObject* name = PyObject_GetAttrString(spec, "name");
    if (!name) return nullptr;
    PyObject* module = PyModule_NewObject(name);
    Py_DECREF(name);
    if (!module) return nullptr;
    PyObject* dict = PyModule_GetDict(module);  // borrowed
    if (!copy_spec_attr(spec, dict, "loader", "__loader__", false) ||
        !copy_spec_attr(spec, dict, "origin", "__file__", false) ||
        !copy_spec_attr(spec, dict, "parent", "__package__", false) ||
        !copy_spec_attr(spec, dict, "submodule_search_locations", "__path__", true)) {
        Py_DECREF(module);
        return nullptr;
    }
    return module;
}

int exec_module(ModuleState& st, PyObject* module) noexcept {
    const ModuleDescriptor& d = *st.descriptor;
    if (st.initialised_module) {
        if (st.initialised_module == module) return 0;
        PyErr_Format(PyExc_RuntimeError,
                     "Module '%s' has already been imported. Re-initialisation is not supported.",
                     d.names.short_name);
        return -1;
    }
    st.initialised_module = Py_NewRef(module);

    Cursor cursor(st, st.init_trace_name.c_str(), 1);
    bool reached_strings = false;
    const bool done = succeeds([&] {
        // A retry after a failed import runs on a new module object: its dict replaces the old,
        // and nothing cached from the old one may survive.
        Py_XSETREF(st.dict, Py_NewRef(PyModule_GetDict(module)));
        for (GlobalCacheEntry& entry : st.global_cache) entry = GlobalCacheEntry{};
        if (!st.builtins) st.builtins = Py_NewRef(add_frame_module("builtins"));
        if (!st.runtime) st.runtime = Py_NewRef(add_frame_module(runtime_module_name));
        watch_module_dict(st);
        run_exec(st, module, cursor, reached_strings);
    });
    if (done) return 0;
    if (!PyErr_Occurred()) {
        PyErr_SetString(PyExc_ImportError, st.init_trace_name.c_str());
    } else if (reached_strings) {
        cursor.add_entry();
    }
    Py_CLEAR(st.initialised_module);
    return -1;
}

PyObject* module_definition(ModuleState& st, CreateSlot create, ExecSlot exec) noexcept {
    // Filled once: the interpreter keeps its own bookkeeping in the definition's head.
    if (!st.definition.m_name) {
        st.definition_slots[0] = {Py_mod_create, reinterpret_cast<void*>(create)};
        st.definition_slots[1] = {Py_mod_exec, reinterpret_cast<void*>(exec)};
        st.definition_slots[2] = {0, nullptr};
        st.definition = {PyModuleDef_HEAD_INIT,
                         st.descriptor->names.short_name,
                         nullptr,
                         0,
                         nullptr,
                         st.definition_slots,
                         nullptr,
                         nullptr,
                         nullptr};
    }
    return PyModuleDef_Init(&st.definition);
}

}  // namespace orvelkit::frame
