// The frame's function type: one type for every function and method of the modules, shared
// through the registry. Its layout is part of the registry's versioned key.
#pragma once

#include <initializer_list>

#include "binding.h"  // a function object forwards its calls to the binding entry of its record

namespace orvelkit::frame {

inline constexpr int function_flag_coroutine = 1;

struct FunctionObject {
    PyObject_HEAD
    const FunctionDef* def;  // static record in the defining library
    int flags;               // function_flag_coroutine or 0
    PyObject* module;        // owned; __module__, any value
    PyObject* qualname;      // owned; str
    PyObject* name;          // owned; str, made from def->name on first read
    PyObject* doc;           // owned; made from def->doc on first read (None without one)
    PyObject* dict;          // owned; made empty on first read
    PyObject* globals;       // owned; the module's dict
    PyObject* code;          // owned; the code object from the module state
    PyObject* defaults;      // owned or null; what __defaults__ shows (calls use the state's)
    PyObject* kwdefaults;    // owned or null; what __kwdefaults__ shows
    PyObject* annotations;   // owned or null until first read
    PyObject* is_coroutine;  // owned or null until first read
    PyObject* weakreflist;
    vectorcallfunc vectorcall;  // the record's vector entry; ordinary calls arrive here
};

// The function type of this process: the registry's, or this library's own, readied and
// registered. New reference. Throws PyErrorSet.
Ref function_type();

// Makes a function object. `code` is the state's code object; defaults and annotations may be
// null. New reference; throws PyErrorSet.
Ref make_function(const ModuleState& st, const FunctionDef& def, int flags, PyObject* qualname,
                  PyObject* module_name, PyObject* code, PyObject* defaults, PyObject* annotations);

// A function's code object: argument count, local names (parameters first), the module's file,
// name, qualified name, the definition's line and flags as for a Python function. Its body only
// raises RuntimeError, so running it (exec, or a function made around it) fails cleanly; a
// coroutine's raises when the coroutine is first resumed. New reference; throws PyErrorSet.
Ref make_code(const ModuleState& st, int argcount, std::initializer_list<Handle> varnames,
              PyObject* name, PyObject* qualname, int line, bool coroutine);

}  // namespace orvelkit::frame
