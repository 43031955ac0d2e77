// The class statement: bases with __mro_entries__, the metaclass rule, __prepare__, the body's
// namespace and the metaclass call.
#pragma once

#include "names.h"

namespace orvelkit::frame {

// A class under construction between its header and the metaclass call.
struct ClassInProgress {
    Ref metaclass;
    Ref bases;       // resolved through __mro_entries__
    Ref namespace_;  // what __prepare__ gave, or a new dict
};

// Resolves the bases, finds the metaclass, prepares the namespace and fills __module__,
// __qualname__, __doc__ (when `doc` is not null), __orig_bases__ (when the bases changed) and
// __annotations__ (when `annotations` is not null). `bases` is a tuple. Throws PyErrorSet.
ClassInProgress begin_class(const ModuleState& st, PyObject* name, PyObject* qualname,
                            PyObject* bases, PyObject* module_name, PyObject* doc,
                            PyObject* annotations);

// Calls the metaclass with (name, bases, namespace). New reference; throws PyErrorSet.
Ref end_class(ClassInProgress& cls, PyObject* name);

// A store into a class namespace: a dict store when it is exactly a dict, else item assignment.
void namespace_set(PyObject* ns, PyObject* name, PyObject* value);

// The whole statement: `body(namespace)` runs between the two halves.
template <class Body>
Ref build_class(const ModuleState& st, PyObject* name, PyObject* qualname, PyObject* bases,
                PyObject* module_name, PyObject* doc, PyObject* annotations, Body&& body) {
    ClassInProgress cls = begin_class(st, name, qualname, bases, module_name, doc, annotations);
    body(cls.namespace_.get());
    return end_class(cls, name);
}

}  // namespace orvelkit::frame
