// How a Python error travels through the frame: the PyErrorSet tag, the throw helpers, and the
// guards that set a pending error aside or install a caught one as the exception being handled.
#pragma once

#include "ref.h"

#include <initializer_list>
#include <new>

namespace orvelkit::frame {

// Thrown only right after the C API reported failure, with the error indicator set. It carries
// nothing: the indicator is the truth, the tag only says that it is set.
struct PyErrorSet {};

[[noreturn]] inline void throw_error() { throw PyErrorSet{}; }

// Takes a "New reference" result; throws when the call failed.
inline Ref check(PyObject* result) {
    if (!result) throw_error();
    return Ref::steal(result);
}

// For int-returning calls that report failure with -1.
inline int check_status(int status) {
    if (status < 0) throw_error();
    return status;
}

// Sets the error indicator and throws.
[[noreturn]] void raise(PyObject* type, const char* message);
[[noreturn]] void raise_object(PyObject* type, PyObject* value);

// Fetches the pending error on entry and restores it on exit, so the frame can call the API while
// an error is pending (building a traceback entry). If the work itself failed, call let_new_win():
// the saved error is dropped and the new one stays.
// 3.12 and later keep the pending error as one exception object and deprecate the three-part
// fetch and restore; 3.11 has only those.
#define ORVELKIT_HAS_RAISED_EXCEPTION (PY_VERSION_HEX >= 0x030C0000)

class [[nodiscard]] ErrorSetAside : Pinned {
public:
#if ORVELKIT_HAS_RAISED_EXCEPTION
    ErrorSetAside() noexcept : exc_(PyErr_GetRaisedException()) {}
#else
    ErrorSetAside() noexcept { PyErr_Fetch(&type_, &exc_, &tb_); }
#endif
    ~ErrorSetAside() {
#if ORVELKIT_HAS_RAISED_EXCEPTION
        if (dropped_) {
            Py_XDECREF(exc_);
            return;
        }
        PyErr_SetRaisedException(exc_);
#else
        if (dropped_) {
            Py_XDECREF(type_);
            Py_XDECREF(exc_);
            Py_XDECREF(tb_);
            return;
        }
        PyErr_Restore(type_, exc_, tb_);
#endif
    }
    void let_new_win() noexcept { dropped_ = true; }

private:
#if !ORVELKIT_HAS_RAISED_EXCEPTION
    PyObject* type_ = nullptr;
    PyObject* tb_ = nullptr;
#endif
    PyObject* exc_ = nullptr;  // the exception (3.11: its value, not always normalised)
    bool dropped_ = false;
};

// An `except` clause's handler: takes the pending exception, normalises it, and installs it as
// the exception being handled, so traceback.print_exc() inside the handler sees it and a new error
// raised by the handler gets it as __context__. The previously handled exception comes back when
// the guard ends. Precondition: an error is pending.
class [[nodiscard]] ExceptHandler : Pinned {
public:
    ExceptHandler() noexcept;
    ~ExceptHandler();

    // Borrowed; the guard owns the caught exception until it ends.
    PyObject* value() const noexcept { return value_; }
    // A bare `raise`: the caught exception, with its traceback, becomes pending again.
    [[noreturn]] void reraise() noexcept(false);

private:
#if !ORVELKIT_HAS_RAISED_EXCEPTION
    PyObject* type_ = nullptr;
    PyObject* tb_ = nullptr;
#endif
    PyObject* value_ = nullptr;     // owned; the caught exception, normalised
    PyObject* previous_ = nullptr;  // owned; the exception handled before this guard began
};

// The pending exception as one normalised object with its traceback on it, the way 3.12 and later
// keep it; the indicator is cleared. New reference; null only where normalising failed.
// Precondition: an error is pending.
inline PyObject* take_pending() noexcept {
#if ORVELKIT_HAS_RAISED_EXCEPTION
    return PyErr_GetRaisedException();
#else
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    if (tb && value) PyException_SetTraceback(value, tb);
    Py_XDECREF(type);
    Py_XDECREF(tb);
    return value;
#endif
}

// Makes `value` (an exception instance, stolen) the pending error, with the traceback it carries.
inline void restore_pending(PyObject* value) noexcept {
#if ORVELKIT_HAS_RAISED_EXCEPTION
    PyErr_SetRaisedException(value);
#else
    PyErr_Restore(Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(value))), value,
                  PyException_GetTraceback(value));
#endif
}

// Makes the normalised exception `value` of class `type` pending with the traceback `tb` (or
// none), as the interpreter's own coroutines raise a thrown exception: 3.11 keeps the traceback
// given, which 3.12 and later store on the instance. Steals all three.
inline void raise_with_traceback(PyObject* type, PyObject* value, PyObject* tb) noexcept {
#if ORVELKIT_HAS_RAISED_EXCEPTION
    if (tb) PyException_SetTraceback(value, tb);
    Py_XDECREF(tb);
    Py_DECREF(type);
    PyErr_SetRaisedException(value);
#else
    PyErr_Restore(type, value, tb);
#endif
}

// Lets `look` read the pending exception, normalised (borrowed; null only where normalising it
// failed), then puts it back unchanged and drops anything `look` raised. For deciding by an
// exception's own fields how to go on. Precondition: an error is pending. Returns what `look`
// returns; `look` must not throw.
template <class Look>
auto peek_pending(Look&& look) noexcept {
#if ORVELKIT_HAS_RAISED_EXCEPTION
    PyObject* value = PyErr_GetRaisedException();
    auto answer = look(static_cast<PyObject*>(value));
    PyErr_Clear();
    PyErr_SetRaisedException(value);
#else
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    // 3.12 and later read the traceback from the instance; 3.11 is given the same shape.
    if (tb && value) PyException_SetTraceback(value, tb);
    auto answer = look(static_cast<PyObject*>(value));
    PyErr_Clear();
    PyErr_Restore(type, value, tb);
#endif
    return answer;
}

// Runs `work` and turns the two ways it can fail, a PyErrorSet or std::bad_alloc (which becomes
// MemoryError), into false with the error set: the catch at every boundary where C++ meets the
// interpreter, so nothing else need know which exceptions the frame's code may throw.
template <class Work>
bool succeeds(Work&& work) noexcept {
    try {
        work();
        return true;
    } catch (const PyErrorSet&) {
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    }
    return false;
}

// True when the pending error is an instance of Exception (an `except Exception` clause would
// take it). KeyboardInterrupt, SystemExit and GeneratorExit answer false.
inline bool pending_is_exception() noexcept { return PyErr_ExceptionMatches(PyExc_Exception); }

// True when the pending error is a ModuleNotFoundError whose `name` is an exact str equal to one
// of `names`: the import failed for want of exactly that module, not of one it imports in turn.
// Precondition: an error is pending; it stays pending, unchanged.
inline bool pending_module_not_found(std::initializer_list<PyObject*> names) noexcept {
    if (!PyErr_ExceptionMatches(PyExc_ModuleNotFoundError)) return false;
    return peek_pending([&](PyObject* value) {
        if (!value ||
            !PyObject_TypeCheck(value, reinterpret_cast<PyTypeObject*>(PyExc_ImportError))) {
            return false;
        }
        PyObject* name = reinterpret_cast<PyImportErrorObject*>(value)->name;  // borrowed
        if (!name || !PyUnicode_CheckExact(name)) return false;
        for (PyObject* wanted : names) {
            if (PyUnicode_Compare(name, wanted) == 0) return true;
        }
        return false;
    });
}

}  // namespace orvelkit::frame
