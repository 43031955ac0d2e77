// Throw helpers and the error guards.
#include "error.h"

namespace orvelkit::frame {

void raise(PyObject* type, const char* message) {
    PyErr_SetString(type, message);
    throw_error();
}

void raise_object(PyObject* type, PyObject* value) {
    PyErr_SetObject(type, value);
    throw_error();
}

ExceptHandler::ExceptHandler() noexcept {
#if ORVELKIT_HAS_RAISED_EXCEPTION
    value_ = PyErr_GetRaisedException();
#else
    PyErr_Fetch(&type_, &value_, &tb_);
    PyErr_NormalizeException(&type_, &value_, &tb_);
    // 3.11 reads type and traceback of the handled exception from the instance alone.
    if (tb_) PyException_SetTraceback(value_, tb_);
#endif
    previous_ = PyErr_GetHandledException();
    PyErr_SetHandledException(value_);
}

ExceptHandler::~ExceptHandler() {
    PyErr_SetHandledException(previous_);
    Py_XDECREF(previous_);
    Py_XDECREF(value_);
#if !ORVELKIT_HAS_RAISED_EXCEPTION
    Py_XDECREF(type_);
    Py_XDECREF(tb_);
#endif
}

void ExceptHandler::reraise() noexcept(false) {
    // The indicator takes its own references; the guard keeps its own until it ends.
#if ORVELKIT_HAS_RAISED_EXCEPTION
    PyErr_SetRaisedException(Py_XNewRef(value_));
#else
    Py_XINCREF(type_);
    Py_XINCREF(value_);
    Py_XINCREF(tb_);
    PyErr_Restore(type_, value_, tb_);
#endif
    throw_error();
}

}  // namespace orvelkit::frame
