// Out-of-line statement operations.
#include "ops.h"

#include <iterator>

namespace orvelkit::frame {

void raise_value(PyObject* value) {
    if (PyExceptionInstance_Check(value)) {
        PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(value)), value);
        throw_error();
    }
    if (PyExceptionClass_Check(value)) {
        Ref instance = call(value);
        raise_value(instance.get());
    }
    raise(PyExc_TypeError, "exceptions must derive from BaseException");
}

Ref new_list() { return check(PyList_New(0)); }

Ref make_tuple(std::initializer_list<PyObject*> items) {
    Ref tuple = check(PyTuple_New(static_cast<Py_ssize_t>(items.size())));
    Py_ssize_t i = 0;
    for (PyObject* item : items) PyTuple_SET_ITEM(tuple.get(), i++, Py_NewRef(item));
    return tuple;
}

void append(PyObject* list, PyObject* value) { check_status(PyList_Append(list, value)); }

Ref new_dict(std::initializer_list<std::pair<PyObject*, PyObject*>> items) {
    Ref dict = check(PyDict_New());
    for (const auto& [key, value] : items) check_status(PyDict_SetItem(dict.get(), key, value));
    return dict;
}

Ref concat(std::initializer_list<PyObject*> pieces) {
    auto it = pieces.begin();
    Ref result = Ref::borrow(*it);
    for (++it; it != pieces.end(); ++it) result = check(PyUnicode_Concat(result.get(), *it));
    return result;
}

Ref lookup_special(PyObject* obj, PyObject* name) {
    PyObject* found = _PyType_Lookup(Py_TYPE(obj), name);  // borrowed
    if (!found) raise_object(PyExc_AttributeError, name);
    Ref method = Ref::borrow(found);
    descrgetfunc get = Py_TYPE(found)->tp_descr_get;
    if (!get) return method;
    return check(get(method.get(), obj, reinterpret_cast<PyObject*>(Py_TYPE(obj))));
}

EnteredContext enter_context(const ModuleState& st, PyObject* manager) {
    EnteredContext ctx;
    ctx.exit = lookup_special(manager, st.f(FrameName::exit));
    Ref enter = lookup_special(manager, st.f(FrameName::enter));
    ctx.value = call(enter.get());
    return ctx;
}

bool exit_with_pending(const Frame& frame, PyObject* exit) {
    frame.add_entry();
    // The exception is handled while __exit__ runs: a new error from it chains to this one.
    ExceptHandler handler;
    PyObject* value = handler.value();
    PyObject* tb = PyException_GetTraceback(value);
    Ref tb_ref = Ref::steal(tb);
    PyObject* args[] = {reinterpret_cast<PyObject*>(Py_TYPE(value)), value,
                        tb ? tb : Py_None};
    Ref answer = check(PyObject_Vectorcall(exit, args, std::size(args), nullptr));
    if (truth(answer.get())) return true;
    handler.reraise();
}

void exit_clean(PyObject* exit) {
    PyObject* args[] = {Py_None, Py_None, Py_None};
    Ref ignored = check(PyObject_Vectorcall(exit, args, std::size(args), nullptr));
}

}  // namespace orvelkit::frame
