// The frame's coroutine type and its await wrapper, for `async def` methods whose body runs on the
// first resumption and never suspends. Both types are shared through the registry.
#pragma once

#include "registry.h"

namespace orvelkit::frame {

// Runs a coroutine's body on its first resumption. `sent` is the value sent in (None), or null
// when resumed by throw(), in which case the thrown exception is pending. Returns the coroutine's
// return value (new reference), or null with the error set and the body's traceback entry added.
using CoroutineBody = PyObject* (*)(PyObject* closure, PyObject* sent) noexcept;

enum class CoroutineState : int { not_started, running, finished };

struct CoroutineObject {
    PyObject_HEAD
    CoroutineBody body;  // lives in the defining library
    PyObject* closure;   // owned; the module's closure record with the bound arguments
    PyObject* code;      // owned; cr_code
    PyObject* name;      // owned; str
    PyObject* qualname;  // owned; str, named by the never-awaited warning
    PyObject* module;    // owned; __module__
    PyObject* globals;   // owned; the module's dict, for cr_frame
    PyObject* frame;     // owned or null; cr_frame, made on first read, dropped when finished
    PyObject* weakreflist;
    CoroutineState state;
};

struct CoroutineTypes {
    Ref coroutine;
    Ref await_wrapper;
};

// The process's coroutine and await-wrapper types (the registry's, or this library's, readied and
// registered). Throws PyErrorSet.
CoroutineTypes coroutine_types();

// A new coroutine in the not-started state. New reference; throws PyErrorSet.
Ref make_coroutine(const ModuleState& st, CoroutineBody body, PyObject* closure, PyObject* code,
                   PyObject* name, PyObject* qualname, PyObject* module_name);

}  // namespace orvelkit::frame
