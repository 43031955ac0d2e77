// Argument binding. The algorithm, once:
//   1. More positional arguments than parameters: the count message.
//   2. No keyword dict: too few positionals is the count message; defaults fill the rest.
//   3. With keywords: the required parameters past the positionals are looked up by name, a miss
//      is the count message with that position as the number given; then optional parameters are
//      looked up while unused keywords remain.
//   4. Keywords still unused: the first offending key in the dict's order decides the message.
//   5. Empty slots take their defaults.
#include "binding.h"
#include "binding_message.h"

#include <algorithm>
#include <charconv>
#include <cstring>
#include <limits>
#include <new>
#include <string_view>

namespace orvelkit::frame {
namespace {

// "<name>() takes at least <n> positional arguments (<n> given)": the name as shown, cut like the
// interpreter's own "%.200s", plus the fixed words and two numbers of any size.
constexpr std::size_t shown_name_length = 200;
constexpr std::size_t number_length = std::numeric_limits<std::ptrdiff_t>::digits10 + 2;
constexpr std::size_t count_message_capacity =
    shown_name_length + sizeof "() takes at least  positional arguments ( given)" + 2 * number_length;

// The failure paths set the error and answer false: a refused call is an ordinary outcome here,
// and a C++ throw would cost more than the whole binding.
__attribute__((noinline)) bool fail_count(const Signature& sig, Py_ssize_t given) {
    CountForm form = count_form(static_cast<std::ptrdiff_t>(sig.required),
                                static_cast<std::ptrdiff_t>(sig.params.size()), given);
    // The names are ASCII, so plain appends give the message at a fraction of PyErr_Format's
    // cost, which dominated a refused call.
    char message[count_message_capacity];
    char* end = message + sizeof message;
    char* out = message;
    auto put = [&](std::string_view piece) {
        const std::size_t n = std::min<std::size_t>(piece.size(), static_cast<std::size_t>(end - out));
        std::memcpy(out, piece.data(), n);
        out += n;
    };
    auto put_number = [&](std::ptrdiff_t value) { out = std::to_chars(out, end, value).ptr; };
    put(std::string_view(sig.name).substr(0, shown_name_length));
    put("() takes ");
    put(form.qualifier);
    put(" ");
    put_number(form.expected);
    put(" positional argument");
    put(form.plural);
    put(" (");
    put_number(given);
    put(" given)");
    PyErr_SetObject(PyExc_TypeError,
                    Ref::steal(PyUnicode_DecodeASCII(message, out - message, nullptr)).get());
    return false;
}

// Identity with the interned name first; keys arriving from **json.loads(...) or a computed
// string are equal but not the same object, so then length and value.
bool same_name(PyObject* key, PyObject* name) {
    if (key == name) return true;
    return PyUnicode_GET_LENGTH(key) == PyUnicode_GET_LENGTH(name) &&
           PyUnicode_Compare(key, name) == 0;
}

// Index of the parameter that `key` names, or -1. Precondition: key is a str.
Py_ssize_t parameter_index(const Signature& sig, PyObject* key) {
    const ModuleState& st = *sig.state;
    for (std::size_t i = 0; i < sig.params.size(); ++i) {
        if (key == st.strings[sig.params[i]]) return static_cast<Py_ssize_t>(i);
    }
    for (std::size_t i = 0; i < sig.params.size(); ++i) {
        if (same_name(key, st.strings[sig.params[i]])) return static_cast<Py_ssize_t>(i);
    }
    return -1;
}

__attribute__((noinline)) bool fail_bad_keyword(const Signature& sig, PyObject* kwargs,
                                                 Py_ssize_t given) {
    Py_ssize_t pos = 0;
    PyObject* key;
    PyObject* value;
    while (PyDict_Next(kwargs, &pos, &key, &value)) {
        if (!PyUnicode_Check(key)) {
            PyErr_Format(PyExc_TypeError, keywords_must_be_strings, sig.name);
            return false;
        }
        Py_ssize_t index = parameter_index(sig, key);
        if (index >= given) continue;
        if (index >= 0) {
            PyErr_Format(PyExc_TypeError, multiple_values, sig.name, key);
        } else {
            PyErr_Format(PyExc_TypeError, unexpected_keyword, sig.name, key);
        }
        return false;
    }
    // Unreachable when the caller counted correctly; keep the indicator truthful regardless.
    PyErr_Format(PyExc_TypeError, keywords_must_be_strings, sig.name);
    return false;
}

// Looks a parameter up in the keyword dict: 1 filled the slot, 0 absent, -1 error.
int take_keyword(PyObject* kwargs, PyObject* name, Ref& slot) {
    PyObject* value = PyDict_GetItemWithError(kwargs, name);
    if (value) {
        slot = Ref::borrow(value);
        return 1;
    }
    return PyErr_Occurred() ? -1 : 0;
}

// Fills `values`, each also held by `kept` for the whole call, as a Python function's locals
// hold its arguments: a body could otherwise free a keyword value by emptying the caller's dict,
// and pandas reads reference counts to tell a temporary table from a held one. False with the
// error set.
bool bind(const Signature& sig, PyObject* args, PyObject* kwargs, PyObject** values, Ref* kept) {
    const ModuleState& st = *sig.state;
    const auto total = static_cast<Py_ssize_t>(sig.params.size());
    const auto required = static_cast<Py_ssize_t>(sig.required);
    const Py_ssize_t given = PyTuple_GET_SIZE(args);
    if (given > total) return fail_count(sig, given);
    if (!kwargs && given < required) return fail_count(sig, given);
    for (Py_ssize_t i = 0; i < given; ++i) {
        values[i] = PyTuple_GET_ITEM(args, i);
        kept[i] = Ref::borrow(values[i]);
    }
    for (Py_ssize_t i = given; i < total; ++i) values[i] = nullptr;
    if (kwargs) {
        Py_ssize_t unused = PyDict_GET_SIZE(kwargs);
        for (Py_ssize_t i = given; i < required; ++i) {
            int found = take_keyword(kwargs, st.strings[sig.params[i]], kept[i]);
            if (found < 0) return false;
            if (found == 0) return fail_count(sig, i);
            values[i] = kept[i].get();
            --unused;
        }
        for (Py_ssize_t i = given > required ? given : required; i < total && unused > 0; ++i) {
            int found = take_keyword(kwargs, st.strings[sig.params[i]], kept[i]);
            if (found < 0) return false;
            if (found == 0) continue;
            values[i] = kept[i].get();
            --unused;
        }
        if (unused > 0) return fail_bad_keyword(sig, kwargs, given);
    }
    for (Py_ssize_t i = required; i < total; ++i) {
        if (values[i]) continue;
        values[i] = PyTuple_GET_ITEM(*sig.defaults, i - required);
        kept[i] = Ref::borrow(values[i]);
    }
    return true;
}

// The exact-type test of int and str parameters; false with TypeError set on a refusal.
bool types_accepted(const Signature& sig, PyObject* const* values) {
    for (std::size_t i = 0; i < sig.checks.size(); ++i) {
        PyTypeObject* expected = nullptr;
        switch (sig.checks[i]) {
            case ParamCheck::none: continue;
            case ParamCheck::exact_int: expected = &PyLong_Type; break;
            case ParamCheck::exact_str: expected = &PyUnicode_Type; break;
        }
        if (Py_TYPE(values[i]) == expected) continue;
        PyErr_Format(PyExc_TypeError, incorrect_type,
                     PyUnicode_AsUTF8(sig.state->strings[sig.params[i]]), expected->tp_name,
                     Py_TYPE(values[i])->tp_name);
        return false;
    }
    return true;
}

}  // namespace

PyObject* call_function(const Signature& sig, PyObject* args, PyObject* kwargs) noexcept {
    PyObject* values[max_parameters];
    Ref kept[max_parameters];
    if (!bind(sig, args, kwargs, values, kept)) {
        add_traceback(*sig.state, sig.trace_name, sig.line);
        return nullptr;
    }
    if (!types_accepted(sig, values)) return nullptr;
    Frame frame(*sig.state, sig.trace_name, sig.line);
    return boundary(frame, [&] { return sig.body(frame, values); });
}

}  // namespace orvelkit::frame
