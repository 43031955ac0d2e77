// The function type: slots, getset table, descriptor binding, representation and the coroutine
// marker.
#include "function.h"
#include "ops.h"

#include <cstddef>
#include <new>

namespace orvelkit::frame {
namespace {

// No type check: every caller got the object through this type's own slots.
FunctionObject* as_function(PyObject* o) { return reinterpret_cast<FunctionObject*>(o); }

constexpr const char* defaults_warning =
    "changes to %s of an orvelkit function do not affect the values used in its calls";

// ---- lifecycle ----------------------------------------------------------------------------

// Follows each owned field for the cycle collector.
int function_traverse(PyObject* self, visitproc visit, void* arg) {
    FunctionObject* f = as_function(self);
    Py_VISIT(f->module);
    Py_VISIT(f->qualname);
    Py_VISIT(f->name);
    Py_VISIT(f->doc);
    Py_VISIT(f->dict);
    Py_VISIT(f->globals);
    Py_VISIT(f->code);
    Py_VISIT(f->defaults);
    Py_VISIT(f->kwdefaults);
    Py_VISIT(f->annotations);
    Py_VISIT(f->is_coroutine);
    return 0;
}

// Breaks cycles through the mutable fields.
int function_clear(PyObject* self) {
    FunctionObject* f = as_function(self);
    Py_CLEAR(f->module);
    Py_CLEAR(f->qualname);
    Py_CLEAR(f->name);
    Py_CLEAR(f->doc);
    Py_CLEAR(f->dict);
    Py_CLEAR(f->globals);
    Py_CLEAR(f->code);
    Py_CLEAR(f->defaults);
    Py_CLEAR(f->kwdefaults);
    Py_CLEAR(f->annotations);
    Py_CLEAR(f->is_coroutine);
    return 0;
}

// One allocation path: PyObject_GC_New on the static type. A Python subclass's instances hold a
// reference to their heap type, which the interpreter's subtype_dealloc drops after this runs, so
// nothing here touches the type's reference count.
void function_dealloc(PyObject* self) {
    PyObject_GC_UnTrack(self);
    if (as_function(self)->weakreflist) PyObject_ClearWeakRefs(self);
    function_clear(self);
    Py_TYPE(self)->tp_free(self);
}

// Kept beside vectorcall for callers of tp_call itself, which hand over a tuple and a dict.
PyObject* function_call(PyObject* self, PyObject* args, PyObject* kwargs) {
    return as_function(self)->def->entry.call(self, args, kwargs);
}

// Through an instance: the interpreter's own bound method; through the class: the function.
PyObject* function_descr_get(PyObject* self, PyObject* obj, PyObject*) {
    if (obj == nullptr || obj == Py_None) {
        Py_INCREF(self);
        return self;
    }
    return PyMethod_New(self, obj);
}

PyObject* function_repr(PyObject* self) {
    return PyUnicode_FromFormat("<orvelkit function %S at %p>", as_function(self)->qualname, self);
}

// ---- getset pairs ---------------------------------------------------------------------------

// The end of a getter that makes its field on first read: making it may run Python code (an
// import, or the collector's finalisers), which may read the same attribute and fill the field
// first; that value stands and `made` is dropped. Returns the field's value as a new reference,
// or null when making failed.
PyObject* keep_first_made(PyObject*& field, PyObject* made) {
    if (!made) return nullptr;
    if (field) {
        Py_DECREF(made);
    } else {
        field = made;
    }
    return Py_NewRef(field);
}

PyObject* function_get_name(PyObject* self, void*) {
    FunctionObject* f = as_function(self);
    if (f->name) return Py_NewRef(f->name);
    return keep_first_made(f->name, PyUnicode_InternFromString(f->def->name));
}

int function_set_name(PyObject* self, PyObject* value, void*) {
    if (!value || !PyUnicode_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__name__ must be set to a string object");
        return -1;
    }
    Py_XSETREF(as_function(self)->name, Py_NewRef(value));
    return 0;
}

PyObject* function_get_qualname(PyObject* self, void*) {
    return Py_NewRef(as_function(self)->qualname);
}

int function_set_qualname(PyObject* self, PyObject* value, void*) {
    if (!value || !PyUnicode_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__qualname__ must be set to a string object");
        return -1;
    }
    Py_XSETREF(as_function(self)->qualname, Py_NewRef(value));
    return 0;
}

PyObject* function_get_doc(PyObject* self, void*) {
    FunctionObject* f = as_function(self);
    if (f->doc) return Py_NewRef(f->doc);
    return keep_first_made(f->doc,
                           f->def->doc ? PyUnicode_FromString(f->def->doc) : Py_NewRef(Py_None));
}

// Any value; deleting stores None.
int function_set_doc(PyObject* self, PyObject* value, void*) {
    Py_XSETREF(as_function(self)->doc, Py_NewRef(value ? value : Py_None));
    return 0;
}

PyObject* function_get_dict(PyObject* self, void*) {
    FunctionObject* f = as_function(self);
    if (f->dict) return Py_NewRef(f->dict);
    return keep_first_made(f->dict, PyDict_New());
}

int function_set_dict(PyObject* self, PyObject* value, void*) {
    if (!value) {
        PyErr_SetString(PyExc_TypeError, "function's dictionary may not be deleted");
        return -1;
    }
    if (!PyDict_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "setting function's dictionary to a non-dict");
        return -1;
    }
    Py_XSETREF(as_function(self)->dict, Py_NewRef(value));
    return 0;
}

PyObject* function_get_globals(PyObject* self, void*) {
    return Py_NewRef(as_function(self)->globals);
}

PyObject* function_get_closure(PyObject*, void*) { Py_RETURN_NONE; }

PyObject* function_get_code(PyObject* self, void*) { return Py_NewRef(as_function(self)->code); }

PyObject* function_get_defaults(PyObject* self, void*) {
    PyObject* d = as_function(self)->defaults;
    return Py_NewRef(d ? d : Py_None);
}

// The value is kept for introspection; calls bind the module's own defaults, so say so.
int function_set_defaults(PyObject* self, PyObject* value, void*) {
    if (value == Py_None) value = nullptr;
    if (value && !PyTuple_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__defaults__ must be set to a tuple object");
        return -1;
    }
    if (PyErr_WarnFormat(PyExc_RuntimeWarning, 1, defaults_warning, "__defaults__") < 0) return -1;
    Py_XSETREF(as_function(self)->defaults, Py_XNewRef(value));
    return 0;
}

PyObject* function_get_kwdefaults(PyObject* self, void*) {
    PyObject* d = as_function(self)->kwdefaults;
    return Py_NewRef(d ? d : Py_None);
}

int function_set_kwdefaults(PyObject* self, PyObject* value, void*) {
    if (value == Py_None) value = nullptr;
    if (value && !PyDict_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__kwdefaults__ must be set to a dict object");
        return -1;
    }
    if (PyErr_WarnFormat(PyExc_RuntimeWarning, 1, defaults_warning, "__kwdefaults__") < 0) {
        return -1;
    }
    Py_XSETREF(as_function(self)->kwdefaults, Py_XNewRef(value));
    return 0;
}

PyObject* function_get_annotations(PyObject* self, void*) {
    FunctionObject* f = as_function(self);
    if (f->annotations) return Py_NewRef(f->annotations);
    return keep_first_made(f->annotations, PyDict_New());
}

// None (or deleting) empties it: the next read makes a new empty dict.
int function_set_annotations(PyObject* self, PyObject* value, void*) {
    if (value == Py_None) value = nullptr;
    if (value && !PyDict_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__annotations__ must be set to a dict object");
        return -1;
    }
    Py_XSETREF(as_function(self)->annotations, Py_XNewRef(value));
    return 0;
}

// asyncio.iscoroutinefunction compares this with its own marker object by identity.
PyObject* function_get_is_coroutine(PyObject* self, void*) {
    FunctionObject* f = as_function(self);
    if (f->is_coroutine) return Py_NewRef(f->is_coroutine);
    if (!(f->flags & function_flag_coroutine)) {
        f->is_coroutine = Py_NewRef(Py_False);
        return Py_NewRef(Py_False);
    }
    // Any failure to find asyncio's marker leaves True, which asyncio accepted before it had one.
    Ref marker;
    const bool found = succeeds([&] {
        Ref name = check(PyUnicode_FromString("_is_coroutine"));
        Ref fromlist = check(PyList_New(1));
        PyList_SET_ITEM(fromlist.get(), 0, Py_NewRef(name.get()));
        Ref module = check(
            PyImport_ImportModuleLevel("asyncio.coroutines", nullptr, nullptr, fromlist.get(), 0));
        marker = check(PyObject_GetAttr(module.get(), name.get()));
    });
    if (!found) {
        PyErr_Clear();
        marker = Ref::borrow(Py_True);
    }
    // The import runs Python code, which may have read this attribute meanwhile.
    return keep_first_made(f->is_coroutine, marker.release());
}

// ---- methods --------------------------------------------------------------------------------

// Pickle stores a reference by module and qualified name and finds this very object on load.
PyObject* function_reduce(PyObject* self, PyObject*) {
    return Py_NewRef(as_function(self)->qualname);
}

PyMethodDef function_methods[] = {
    {"__reduce__", function_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyMemberDef function_members[] = {
    {"__module__", T_OBJECT, offsetof(FunctionObject, module), 0, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyGetSetDef function_getset[] = {
    {"__name__", function_get_name, function_set_name, nullptr, nullptr},
    {"func_name", function_get_name, function_set_name, nullptr, nullptr},
    {"__qualname__", function_get_qualname, function_set_qualname, nullptr, nullptr},
    {"__doc__", function_get_doc, function_set_doc, nullptr, nullptr},
    {"func_doc", function_get_doc, function_set_doc, nullptr, nullptr},
    {"__dict__", function_get_dict, function_set_dict, nullptr, nullptr},
    {"func_dict", function_get_dict, function_set_dict, nullptr, nullptr},
    {"__globals__", function_get_globals, nullptr, nullptr, nullptr},
    {"func_globals", function_get_globals, nullptr, nullptr, nullptr},
    {"__closure__", function_get_closure, nullptr, nullptr, nullptr},
    {"func_closure", function_get_closure, nullptr, nullptr, nullptr},
    {"__code__", function_get_code, nullptr, nullptr, nullptr},
    {"func_code", function_get_code, nullptr, nullptr, nullptr},
    {"__defaults__", function_get_defaults, function_set_defaults, nullptr, nullptr},
    {"func_defaults", function_get_defaults, function_set_defaults, nullptr, nullptr},
    {"__kwdefaults__", function_get_kwdefaults, function_set_kwdefaults, nullptr, nullptr},
    {"__annotations__", function_get_annotations, function_set_annotations, nullptr, nullptr},
    {"_is_coroutine", function_get_is_coroutine, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// This library's copy of the type; used only when the registry has none yet.
PyTypeObject local_function_type = {PyVarObject_HEAD_INIT(nullptr, 0)};

void fill_function_type(PyTypeObject& t) {
    t.tp_name = "orvelkit_frame.function";
    t.tp_basicsize = sizeof(FunctionObject);
    t.tp_dealloc = function_dealloc;
    t.tp_vectorcall_offset = offsetof(FunctionObject, vectorcall);
    t.tp_repr = function_repr;
    t.tp_call = function_call;
    t.tp_getattro = PyObject_GenericGetAttr;
    t.tp_setattro = PyObject_GenericSetAttr;
    t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_BASETYPE |
                 Py_TPFLAGS_METHOD_DESCRIPTOR | Py_TPFLAGS_HAVE_VECTORCALL;
    t.tp_traverse = function_traverse;
    t.tp_clear = function_clear;
    t.tp_weaklistoffset = offsetof(FunctionObject, weakreflist);
    t.tp_methods = function_methods;
    t.tp_members = function_members;
    t.tp_getset = function_getset;
    t.tp_descr_get = function_descr_get;
    t.tp_dictoffset = offsetof(FunctionObject, dict);
}

}  // namespace

Ref function_type() {
    if (!local_function_type.tp_name) fill_function_type(local_function_type);
    return shared_type("function", &local_function_type);
}

Ref make_function(const ModuleState& st, const FunctionDef& def, int flags, PyObject* qualname,
                  PyObject* module_name, PyObject* code, PyObject* defaults,
                  PyObject* annotations) {
    auto* f = PyObject_GC_New(FunctionObject, st.function_type);
    if (!f) throw_error();
    // No failure from here on: dealloc expects every field initialised.
    f->def = &def;
    f->flags = flags;
    f->module = Py_NewRef(module_name);
    f->qualname = Py_NewRef(qualname);
    f->name = nullptr;
    f->doc = nullptr;
    f->dict = nullptr;
    f->globals = Py_NewRef(st.dict);
    f->code = Py_NewRef(code);
    f->defaults = Py_XNewRef(defaults);
    f->kwdefaults = nullptr;
    f->annotations = Py_XNewRef(annotations);
    f->is_coroutine = nullptr;
    f->weakreflist = nullptr;
    f->vectorcall = def.entry.vector;
    PyObject_GC_Track(f);
    return Ref::steal(reinterpret_cast<PyObject*>(f));
}

namespace {

// The body every code object of ours carries. The functions run as native code, so this only
// answers a caller that runs the code object itself (exec, or a function made around it) with an
// error instead of undefined behaviour. One line: its line number then stays the definition's.
constexpr const char* plain_body =
    "def _(): raise RuntimeError('this code object belongs to a compiled orvelkit function and "
    "has no Python body; call the function itself')\n";
constexpr const char* coroutine_body =
    "async def _(): raise RuntimeError('this code object belongs to a compiled orvelkit "
    "coroutine function and has no Python body; call the function itself')\n";

// The compiled function's code object inside the compiled module. New reference; throws
// PyErrorSet.
Ref compiled_body(bool coroutine) {
    Ref module_code = check(
        Py_CompileString(coroutine ? coroutine_body : plain_body, "<orvelkit>", Py_file_input));
    Ref consts = check(PyObject_GetAttrString(module_code.get(), "co_consts"));
    if (!PyTuple_Check(consts.get())) raise(PyExc_SystemError, "compiled body has no constants");
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(consts.get()); ++i) {
        PyObject* item = PyTuple_GET_ITEM(consts.get(), i);
        if (PyCode_Check(item)) return Ref::borrow(item);
    }
    raise(PyExc_SystemError, "compiled body has no function");
}

void set_item(Handle dict, const char* key, Handle value) {
    check_status(PyDict_SetItemString(dict, key, value));
}

void set_int(Handle dict, const char* key, long value) {
    Ref number = check(PyLong_FromLong(value));
    set_item(dict, key, number);
}

}  // namespace

Ref make_code(const ModuleState& st, int argcount, std::initializer_list<Handle> varnames,
              PyObject* name, PyObject* qualname, int line, bool coroutine) {
    // The body's instructions, constants and names come from the compiler; everything a caller
    // reads to learn about the function is ours. The body touches no local, so the local names
    // can be any.
    Ref body = compiled_body(coroutine);
    Ref names = make_tuple(varnames);
    Ref file = check(PyUnicode_FromString(st.descriptor->names.file_name));
    Ref changes = check(PyDict_New());
    set_int(changes, "co_argcount", argcount);
    set_int(changes, "co_posonlyargcount", 0);
    set_int(changes, "co_kwonlyargcount", 0);
    set_int(changes, "co_nlocals", static_cast<long>(varnames.size()));
    set_item(changes, "co_varnames", names);
    const int flags = CO_OPTIMIZED | CO_NEWLOCALS | (coroutine ? CO_COROUTINE : 0);
    set_int(changes, "co_flags", flags);
    set_item(changes, "co_filename", file);
    set_item(changes, "co_name", name);
    set_item(changes, "co_qualname", qualname);
    set_int(changes, "co_firstlineno", line);
    Ref replace = check(PyObject_GetAttrString(body.get(), "replace"));
    return check(PyObject_Call(replace.get(), st.empty_tuple, changes.get()));
}

}  // namespace orvelkit::frame
