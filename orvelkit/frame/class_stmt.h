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
void namespace_set(Handle ns, Handle name, Handle value);

// The whole statement: `body(namespace)` runs between the two halves.
template <class Body>
Ref build_class(const ModuleState& st, Handle name, Handle qualname, Handle bases,
                Handle module_name, Handle doc, Handle annotations, Body&& body) {
    ClassInProgress cls = begin_class(st, name, qualname, bases, module_name, doc, annotations);
    body(cls.namespace_.get());
    return end_class(cls, name);
}

// `class name:` at module level with no bases, docstring or annotations, bound as the global
// `name`. The statement starts at `line`, the body marks its own lines, and the class is made at
// `line` again, where the metaclass call reports its failures. Throws PyErrorSet.
template <class Body>
void plain_class_statement(Cursor& f, const ModuleState& st, Handle name, int line, Body&& body) {
    f.at(line);
    Ref cls = build_class(st, name, name, st.empty_tuple, st.module_name, nullptr, nullptr,
                          [&](PyObject* ns) {
                              body(ns);
                              f.at(line);
                          });
    set_global(st, name, cls);
}

}  // namespace orvelkit::frame
