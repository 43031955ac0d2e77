// Argument binding for module functions: the static records of a function, the call boundary, and
// the exact-type checks of int and str parameters.
#pragma once

#include "registry.h"

#include <span>

namespace orvelkit::frame {

// The binding entries of one function, both living in the library that defined it: `call` takes
// a positional tuple and a keyword dict or null (the type's tp_call), `vector` the interpreter's
// argument array and keyword-name tuple (the object's vectorcall slot).
using EntryFn = PyObject* (*)(PyObject* function, PyObject* args, PyObject* kwargs) noexcept;
using VectorEntryFn = PyObject* (*)(PyObject* function, PyObject* const* args, std::size_t nargsf,
                                    PyObject* kwnames) noexcept;
struct Entry {
    EntryFn call;
    VectorEntryFn vector;
};

// The static record of one function: plain name, binding entries, documentation or null.
struct FunctionDef {
    const char* name;
    const Entry& entry;
    const char* doc;
};

enum class ParamCheck : unsigned char { none, exact_int, exact_str };

// A function body: the bound arguments in parameter order (borrowed, alive for the whole call).
// Returns a new reference; throws PyErrorSet.
using Body = Ref (*)(Cursor& cursor, PyObject* const* args);

// Everything a call needs to bind its arguments and run its body.
struct Signature {
    const ModuleState* state;
    const char* name;        // plain name, used in every binding message
    const char* trace_name;  // "orvelkit.auspex.ts_forecast"
    int line;                // the definition's line: binding failures are reported there
    std::span<const std::size_t> params;  // rows of the module's string table, in order
    std::span<const ParamCheck> checks;   // empty, or one per parameter
    std::size_t required;                 // the first `required` parameters have no default
    PyObject* const* defaults;            // the state's defaults tuple, or null
    Body body;
};

// The binding paths, fixed by the call's shape, fastest first: all parameters by position and no
// keywords, where the caller's own array is the binding; positionals with defaults for the rest;
// then keywords, matched by address against the interned parameter names first and by value
// after, so a str subclass or a str with its own hash binds as the interpreter's functions bind
// it. On every path each bound value is held for the whole call, as a Python function's locals
// hold theirs, and each ends in the same exact-type checks and the same boundary, so messages
// and traceback entries cannot differ between them.
//
// Binds, type-checks and runs the body inside the call boundary. Returns a new reference, or null
// with the error set and this function's traceback entry added (none for a type-check refusal).
// The two forms differ only in where the arguments come from; binding and messages are shared.
PyObject* call_function(const Signature& sig, PyObject* args, PyObject* kwargs) noexcept;
PyObject* call_function_vector(const Signature& sig, PyObject* const* args, std::size_t nargsf,
                               PyObject* kwnames) noexcept;

template <const Signature& Sig>
PyObject* tuple_entry(PyObject*, PyObject* args, PyObject* kwargs) noexcept {
    return call_function(Sig, args, kwargs);
}

template <const Signature& Sig>
PyObject* vector_entry(PyObject*, PyObject* const* args, std::size_t nargsf,
                       PyObject* kwnames) noexcept {
    return call_function_vector(Sig, args, nargsf, kwnames);
}

template <const Signature& Sig>
inline constexpr Entry entry{tuple_entry<Sig>, vector_entry<Sig>};

// The call boundary shared by function calls, coroutine steps and exec: runs `work` and turns a
// PyErrorSet into the frame's traceback entry and a null result.
template <class Work>
PyObject* boundary(Cursor& cursor, Work&& work) noexcept {
    PyObject* result = nullptr;
    if (succeeds([&] { result = work().release(); })) return result;
    cursor.add_entry();
    return nullptr;
}

}  // namespace orvelkit::frame
