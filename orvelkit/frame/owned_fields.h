// The collector's hooks for an object whose only references are fields it owns: written once
// from the list of those fields, so each type that has such fields names them and nothing more.
#pragma once

#include "python.h"

namespace orvelkit::frame {

// `T` is an object layout with PyObject_HEAD first; `Fields` are its owned, possibly null,
// PyObject* members. For a type whose instances come from PyObject_GC_New (the one allocation
// path these hooks assume), so dealloc frees through the type's tp_free.
template <class T, PyObject* T::*... Fields>
struct OwnedFields {
    static T* of(PyObject* o) noexcept { return reinterpret_cast<T*>(o); }

    // Follows the fields for the cycle collector.
    static int traverse(PyObject* o, visitproc visit, void* arg) noexcept {
        for (PyObject* field : {(of(o)->*Fields)...}) Py_VISIT(field);
        return 0;
    }

    static int clear(PyObject* o) noexcept {
        for (PyObject** field : {&(of(o)->*Fields)...}) Py_CLEAR(*field);
        return 0;
    }

    // Untracked first, so the collector never sees a half-cleared object.
    static void dealloc(PyObject* o) noexcept {
        PyObject_GC_UnTrack(o);
        clear(o);
        Py_TYPE(o)->tp_free(o);
    }
};

}  // namespace orvelkit::frame
