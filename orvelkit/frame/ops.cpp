// Out-of-line statement operations.
#include "ops.h"

#include <iterator>

namespace orvelkit::frame {

void raise_value(Handle raised) {
    PyObject* value = raised;
    if (PyExceptionInstance_Check(value)) {
        PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(value)), value);
        throw_error();
    }
    if (PyExceptionClass_Check(value)) {
        Ref instance = call(value);
        raise_value(instance);
    }
    raise(PyExc_TypeError, "exceptions must derive from BaseException");
}

// ---- type-level lookup cache ---------------------------------------------------------------

TypeLookupEntry type_lookup_cache[type_lookup_slots];

TypeLookup type_lookup_slow(PyTypeObject* type, PyObject* name) noexcept {
    TypeLookup result{nullptr, LookupKind::generic, false};
    // Only exact str names are what the interpreter's own method cache and tags work with.
    if (!PyUnicode_CheckExact(name)) return result;
    PyObject* found = mro_lookup(type, name);  // borrowed; assigns a tag when it can
    result.found = found;
    result.has_dict = type->tp_dictoffset != 0;
    if (type->tp_getattro == PyObject_GenericGetAttr) {
        if (!found) {
            result.kind = LookupKind::absent;
        } else if (!(Py_TYPE(found)->tp_flags & Py_TPFLAGS_HEAPTYPE)) {
            // A class's own type can gain __get__ or __set__ later without changing this type's
            // tag, so only the interpreter's fixed types are classified once and for all.
            PyTypeObject* descr_type = Py_TYPE(found);
            if (descr_type->tp_descr_get && descr_type->tp_descr_set) {
                result.kind = LookupKind::data;
            } else if (descr_type->tp_flags & Py_TPFLAGS_METHOD_DESCRIPTOR) {
                result.kind = LookupKind::method;
            } else {
                result.kind = LookupKind::other;
            }
        }
    } else if (type == &PyModule_Type && !found) {
        result.kind = LookupKind::module;
    }
    // An instance whose attributes live in the interpreter's inline values has no dict until one
    // is asked for; its generic lookup reads the values directly, faster than any dict made here.
    if (keeps_inline_values(type) && result.kind != LookupKind::data &&
        result.kind != LookupKind::module) {
        result.kind = LookupKind::generic;
    }
    const unsigned int tag = type_version_tag(type);
    if (tag != 0) type_lookup_slot(type, tag, name) = TypeLookupEntry{type, tag, name, result};
    return result;
}

namespace {

// callable(*stack[1:n]); stack[0] may be overwritten while the call runs, as the offset flag allows.
Ref call_after_self(PyObject* callable, PyObject** stack, std::size_t n) {
    Ref held = Ref::borrow(callable);
    return check(PyObject_Vectorcall(held.get(), stack + 1,
                                     (n - 1) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

// The object's own value for `name` when its dict holds one: 1 found (new reference in `value`),
// 0 absent, -1 error. Only for types with a plain dict slot, so this never makes a dict.
int instance_value(PyObject* obj, PyObject* name, PyObject*& value) {
    PyObject* dict = PyObject_GenericGetDict(obj, nullptr);
    if (!dict) return -1;
    value = PyDict_GetItemWithError(dict, name);
    Py_XINCREF(value);
    Py_DECREF(dict);
    if (value) return 1;
    return PyErr_Occurred() ? -1 : 0;
}

// obj.name from a cached answer; null result with no error set means "take the generic path".
PyObject* attr_shortcut(PyObject* obj, PyObject* name, const TypeLookup& t) {
    switch (t.kind) {
        case LookupKind::generic: return nullptr;
        case LookupKind::module: {
            PyObject* value = PyDict_GetItemWithError(PyModule_GetDict(obj), name);
            return Py_XNewRef(value);  // a miss goes the generic way: __getattr__ and its message
        }
        case LookupKind::data: {
            Ref descr = Ref::borrow(t.found);
            return Py_TYPE(descr.get())
                ->tp_descr_get(descr.get(), obj, reinterpret_cast<PyObject*>(Py_TYPE(obj)));
        }
        case LookupKind::absent:
        case LookupKind::method:
        case LookupKind::other: {
            // Held before the instance dict is probed: a key's __eq__ may delete the class
            // attribute, and then only this reference keeps it alive. The interpreter's own read
            // holds it the same way and still answers with it.
            Ref descr = Ref::borrow(t.found);
            if (t.has_dict) {
                PyObject* value = nullptr;
                const int found = instance_value(obj, name, value);
                if (found != 0) return value;  // the value, or null with the error set
            }
            if (t.kind == LookupKind::absent) return nullptr;  // AttributeError, generically
            descrgetfunc get = Py_TYPE(descr.get())->tp_descr_get;
            if (!get) return descr.release();
            return get(descr.get(), obj, reinterpret_cast<PyObject*>(Py_TYPE(obj)));
        }
    }
    return nullptr;
}

}  // namespace

// The interpreter's attribute read records the object and the name on an AttributeError that
// carries neither, for its "did you mean" hint; a read that calls the type's slot itself must do
// the same. Precondition: an error is pending.
static void note_attribute_error(PyObject* obj, PyObject* name) noexcept {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return;
    PyObject* value = take_pending();
    if (!value) {  // normalising an AttributeError fails only for want of memory
        PyErr_NoMemory();
        return;
    }
    if (PyErr_GivenExceptionMatches(value, PyExc_AttributeError)) {
        auto* error = reinterpret_cast<PyAttributeErrorObject*>(value);
        if (!error->name && !error->obj) {
            if (PyObject_SetAttrString(value, "name", name) < 0 ||
                PyObject_SetAttrString(value, "obj", obj) < 0) {
                // The new error stands, as it would in the interpreter's own read.
                Py_DECREF(value);
                return;
            }
        }
    }
    restore_pending(value);
}

void raise_attribute_error(PyObject* obj, PyObject* name) {
    note_attribute_error(obj, name);
    throw_error();
}

Ref attr_cached(PyObject* obj, PyObject* name) {
    if (keeps_inline_values(Py_TYPE(obj))) return check(PyObject_GetAttr(obj, name));
    const TypeLookup t = type_lookup(Py_TYPE(obj), name);
    PyObject* value = attr_shortcut(obj, name, t);
    if (value) return Ref::steal(value);
    if (PyErr_Occurred()) throw_error();
    return check(PyObject_GetAttr(obj, name));
}

Ref call_method_cached(PyObject* name, PyObject** stack, std::size_t n) {
    PyObject* obj = stack[0];
    const TypeLookup t = type_lookup(Py_TYPE(obj), name);
    // The method is held from here on: the instance-dict probe can run a key's __eq__, and the
    // method itself may drop the class's reference while it runs; either may free it otherwise.
    Ref method = Ref::borrow(t.kind == LookupKind::method ? t.found : nullptr);
    if ((t.kind == LookupKind::absent || t.kind == LookupKind::method) && t.has_dict) {
        // The instance's own value wins over a method, and is all there is when the class has
        // nothing of that name (a namespace's function, for one).
        PyObject* own = nullptr;
        const int found = instance_value(obj, name, own);
        if (found < 0) throw_error();
        if (found > 0) {
            Ref callable = Ref::steal(own);
            return call_after_self(callable.get(), stack, n);
        }
    }
    if (method) return check(PyObject_Vectorcall(method.get(), stack, n, nullptr));
    if (t.kind == LookupKind::module) {
        PyObject* value = PyDict_GetItemWithError(PyModule_GetDict(obj), name);
        if (value) return call_after_self(value, stack, n);
        if (PyErr_Occurred()) throw_error();
    }
    return check(PyObject_VectorcallMethod(name, stack, n, nullptr));
}

Ref new_list() { return check(PyList_New(0)); }

Ref make_tuple(std::initializer_list<Handle> items) {
    Ref tuple = check(PyTuple_New(static_cast<Py_ssize_t>(items.size())));
    Py_ssize_t i = 0;
    for (PyObject* item : items) PyTuple_SET_ITEM(tuple.get(), i++, Py_NewRef(item));
    return tuple;
}

Ref make_list(std::initializer_list<Handle> items) {
    Ref list = check(PyList_New(static_cast<Py_ssize_t>(items.size())));
    Py_ssize_t i = 0;
    for (PyObject* item : items) PyList_SET_ITEM(list.get(), i++, Py_NewRef(item));
    return list;
}

void append(Handle list, Handle value) { check_status(PyList_Append(list, value)); }

Ref new_dict(std::initializer_list<std::pair<Handle, Handle>> items) {
    Ref dict = check(PyDict_New());
    for (const auto& [key, value] : items) check_status(PyDict_SetItem(dict.get(), key, value));
    return dict;
}

Ref concat(std::initializer_list<Handle> pieces) {
    auto it = pieces.begin();
    Ref result = Ref::borrow(*it);
    for (++it; it != pieces.end(); ++it) result = check(PyUnicode_Concat(result.get(), *it));
    return result;
}

Ref lookup_special(PyObject* obj, PyObject* name) {
    PyObject* found = mro_lookup(Py_TYPE(obj), name);  // borrowed
    if (!found) raise_object(PyExc_AttributeError, name);
    Ref method = Ref::borrow(found);
    descrgetfunc get = Py_TYPE(found)->tp_descr_get;
    if (!get) return method;
    return check(get(method.get(), obj, reinterpret_cast<PyObject*>(Py_TYPE(obj))));
}

EnteredContext enter_context(const ModuleState& st, PyObject* manager) {
    EnteredContext ctx;
    ctx.exit = lookup_special(manager, st.f("__exit__"_f));
    Ref enter = lookup_special(manager, st.f("__enter__"_f));
    ctx.value = call(enter);
    return ctx;
}

bool exit_with_pending(const Cursor& cursor, PyObject* exit) {
    cursor.add_entry();
    // The exception is handled while __exit__ runs: a new error from it chains to this one.
    ExceptHandler handler;
    PyObject* value = handler.value();
    PyObject* tb = PyException_GetTraceback(value);
    Ref tb_ref = Ref::steal(tb);
    PyObject* args[] = {reinterpret_cast<PyObject*>(Py_TYPE(value)), value, tb ? tb : Py_None};
    Ref answer = check(PyObject_Vectorcall(exit, args, std::size(args), nullptr));
    if (truth(answer)) return true;
    handler.reraise();
}

void exit_clean(PyObject* exit) {
    PyObject* args[] = {Py_None, Py_None, Py_None};
    Ref ignored = check(PyObject_Vectorcall(exit, args, std::size(args), nullptr));
}

}  // namespace orvelkit::frame
