// The class statement, as the interpreter's __build_class__ carries it out for Python source.
#include "class_stmt.h"

#include <iterator>

namespace orvelkit::frame {
namespace {

// PEP 560: a base that is not a type may stand for others. Returns `bases` itself when nothing
// was replaced.
Ref resolve_bases(const ModuleState& st, PyObject* bases) {
    Ref resolved;  // a list, made on the first replacement
    const Py_ssize_t n = PyTuple_GET_SIZE(bases);
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* base = PyTuple_GET_ITEM(bases, i);
        if (PyType_Check(base)) {
            if (resolved) check_status(PyList_Append(resolved.get(), base));
            continue;
        }
        PyObject* hook = nullptr;
        check_status(get_optional_attr(base, st.f("__mro_entries__"_f), &hook));
        Ref entries_hook = Ref::steal(hook);
        if (!entries_hook) {
            if (resolved) check_status(PyList_Append(resolved.get(), base));
            continue;
        }
        Ref entries = check(PyObject_CallOneArg(entries_hook.get(), bases));
        if (!PyTuple_Check(entries.get()))
            raise(PyExc_TypeError, "__mro_entries__ must return a tuple");
        if (!resolved) {
            Ref head = check(PyTuple_GetSlice(bases, 0, i));
            resolved = check(PySequence_List(head.get()));
        }
        Ref extended = check(PySequence_InPlaceConcat(resolved.get(), entries.get()));
    }
    if (!resolved) return Ref::borrow(bases);
    return check(PyList_AsTuple(resolved.get()));
}

// The most derived metaclass of the bases; `type` when there are none.
Ref find_metaclass(PyObject* bases) {
    PyTypeObject* winner = nullptr;
    const Py_ssize_t n = PyTuple_GET_SIZE(bases);
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyTypeObject* t = Py_TYPE(PyTuple_GET_ITEM(bases, i));
        if (!winner || PyType_IsSubtype(t, winner)) {
            winner = t;
            continue;
        }
        if (PyType_IsSubtype(winner, t)) continue;
        raise(PyExc_TypeError,
              "metaclass conflict: the metaclass of a derived class must be a (non-strict) "
              "subclass of the metaclasses of all its bases");
    }
    return Ref::borrow(reinterpret_cast<PyObject*>(winner ? winner : &PyType_Type));
}

}  // namespace

void namespace_set(Handle ns, Handle name, Handle value) {
    if (PyDict_CheckExact(ns)) {
        check_status(PyDict_SetItem(ns, name, value));
        return;
    }
    check_status(PyObject_SetItem(ns, name, value));
}

ClassInProgress begin_class(const ModuleState& st, PyObject* name, PyObject* qualname,
                            PyObject* bases, PyObject* module_name, PyObject* doc,
                            PyObject* annotations) {
    ClassInProgress cls;
    if (PyTuple_GET_SIZE(bases) == 0) {
        cls.bases = Ref::borrow(st.empty_tuple);
        cls.metaclass = Ref::borrow(reinterpret_cast<PyObject*>(&PyType_Type));
        cls.namespace_ = check(PyDict_New());
    } else {
        cls.bases = resolve_bases(st, bases);
        cls.metaclass = find_metaclass(cls.bases.get());
        PyObject* prepare = nullptr;
        check_status(get_optional_attr(cls.metaclass.get(), st.f("__prepare__"_f), &prepare));
        Ref prepare_ref = Ref::steal(prepare);
        if (prepare_ref) {
            PyObject* call_args[] = {name, cls.bases.get()};
            cls.namespace_ = check(
                PyObject_Vectorcall(prepare_ref.get(), call_args, std::size(call_args), nullptr));
        } else {
            cls.namespace_ = check(PyDict_New());
        }
    }
    PyObject* ns = cls.namespace_.get();
    namespace_set(ns, st.f("__module__"_f), module_name);
    namespace_set(ns, st.f("__qualname__"_f), qualname);
    if (doc) namespace_set(ns, st.f("__doc__"_f), doc);
    if (cls.bases.get() != bases) namespace_set(ns, st.f("__orig_bases__"_f), bases);
    if (annotations) namespace_set(ns, st.f("__annotations__"_f), annotations);
    return cls;
}

Ref end_class(ClassInProgress& cls, PyObject* name) {
    PyObject* call_args[] = {name, cls.bases.get(), cls.namespace_.get()};
    return check(
        PyObject_Vectorcall(cls.metaclass.get(), call_args, std::size(call_args), nullptr));
}

}  // namespace orvelkit::frame
