// Argument binding for module functions: the static records of a function, the call boundary, and
// the exact-type checks of int and str parameters.
#pragma once

#include "registry.h"

#include <span>

namespace orvelkit::frame {

// The binding entry a function object forwards every call to: positional tuple, keyword dict or
// null. Lives in the library that defined the function.
using EntryFn = PyObject* (*)(PyObject* function, PyObject* args, PyObject* kwargs) noexcept;

// The static record of one function: plain name, binding entry, documentation or null.
struct FunctionDef {
    const char* name;
    EntryFn entry;
    const char* doc;
};

enum class ParamCheck : unsigned char { none, exact_int, exact_str };

// A function body: the bound arguments in parameter order (borrowed, alive for the whole call).
// Returns a new reference; throws PyErrorSet.
using Body = Ref (*)(Frame& frame, PyObject* const* args);

// The size of the argument arrays of every call, which live on the stack. A record that asks for
// more parameters does not compile (see Signature's constructor); raise this to allow more.
inline constexpr std::size_t max_parameters = 8;

// Named so that the compiler's message for a malformed record says what is wrong with it.
void signature_has_more_parameters_than_max_parameters();
void signature_requires_more_parameters_than_it_has();
void signature_needs_a_defaults_tuple_for_its_optional_parameters();
void signature_has_type_checks_that_do_not_match_its_parameters();

// Everything a call needs to bind its arguments and run its body. Built only at compile time, so
// a record that would overrun the call's arrays, or read defaults it has none of, is rejected by
// the compiler rather than found by a call.
struct Signature {
    consteval Signature(const ModuleState* state_, const char* name_, const char* trace_name_,
                        int line_, std::span<const std::size_t> params_,
                        std::span<const ParamCheck> checks_, std::size_t required_,
                        PyObject* const* defaults_, Body body_)
        : state(state_), name(name_), trace_name(trace_name_), line(line_), params(params_),
          checks(checks_), required(required_), defaults(defaults_), body(body_) {
        if (params.size() > max_parameters) signature_has_more_parameters_than_max_parameters();
        if (required > params.size()) signature_requires_more_parameters_than_it_has();
        if (required < params.size() && !defaults) {
            signature_needs_a_defaults_tuple_for_its_optional_parameters();
        }
        if (!checks.empty() && checks.size() != params.size()) {
            signature_has_type_checks_that_do_not_match_its_parameters();
        }
    }

    const ModuleState* state;
    const char* name;        // plain name, used in every binding message
    const char* trace_name;  // "orvelkit.auspex.ts_forecast"
    int line;                // the definition's line: binding failures are reported there
    std::span<const std::size_t> params;  // rows of the module's string table, in order
    std::span<const ParamCheck> checks;   // empty, or one per parameter
    // The first `required` parameters have no default; the other params.size() - required take
    // theirs from the defaults tuple, in order, so a call never reads more defaults than that.
    std::size_t required;
    PyObject* const* defaults;  // the state's defaults tuple, or null
    Body body;
};

// Binds, type-checks and runs the body inside the call boundary. Returns a new reference, or null
// with the error set and this function's traceback entry added (none for a type-check refusal).
PyObject* call_function(const Signature& sig, PyObject* args, PyObject* kwargs) noexcept;

template <const Signature& Sig>
PyObject* entry(PyObject*, PyObject* args, PyObject* kwargs) noexcept {
    return call_function(Sig, args, kwargs);
}

// The call boundary shared by function calls, coroutine steps and exec: runs `work` and turns a
// PyErrorSet into the frame's traceback entry and a null result.
template <class Work>
PyObject* boundary(Frame& frame, Work&& work) noexcept {
    try {
        return work().release();
    } catch (const PyErrorSet&) {
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    }
    frame.add_entry();
    return nullptr;
}

}  // namespace orvelkit::frame
