// Argument binding. The algorithm, once:
//   1. More positional arguments than parameters: the count message.
//   2. No keyword dict: too few positionals is the count message; defaults fill the rest.
//   3. With keywords: the required parameters past the positionals are looked up by name, a miss
//      is the count message with that position as the number given; then optional parameters are
//      looked up while unused keywords remain.
//   4. Keywords still unused: walked in the dict's order. A str key the lookups by name missed
//      (a str subclass with a hash of its own) fills the empty slot it names by value; the first
//      offending key decides the message.
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
    shown_name_length + sizeof "() takes at least  positional arguments ( given)" +
    2 * number_length;
// "Argument '<name>' has incorrect type (expected <type>, got <type>)", each name cut the same way.
constexpr std::size_t type_message_capacity =
    3 * shown_name_length + sizeof "Argument '' has incorrect type (expected , got )";

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
        const std::size_t n = std::min<std::size_t>(piece.size(),
                                                    static_cast<std::size_t>(end - out));
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

// The keywords of a tuple call: the caller's dict, read and never changed.
struct DictKeywords {
    PyObject* dict;

    Py_ssize_t size() const { return PyDict_GET_SIZE(dict); }
    // 1 found (value borrowed), 0 absent, -1 error: a key's own comparison may raise.
    int find(PyObject* name, PyObject*& value) const {
        value = PyDict_GetItemWithError(dict, name);
        if (value) return 1;
        return PyErr_Occurred() ? -1 : 0;
    }
    // each(key, value) until it answers false. Both are held while it runs: a key's hash may run
    // code that empties the caller's dict.
    template <class Each>
    void walk(Each&& each) const {
        Py_ssize_t pos = 0;
        PyObject* key;
        PyObject* value;
        while (PyDict_Next(dict, &pos, &key, &value)) {
            Ref held_key = Ref::borrow(key);
            Ref held_value = Ref::borrow(value);
            if (!each(key, value)) return;
        }
    }
};

// The keywords of a vectorcall: names in a tuple, values after the positional arguments. The
// interpreter hands over unique str names, in the order the caller wrote or unpacked them.
struct VectorKeywords {
    PyObject* names;
    PyObject* const* values;

    Py_ssize_t size() const { return PyTuple_GET_SIZE(names); }
    int find(PyObject* name, PyObject*& value) const {
        const Py_ssize_t n = PyTuple_GET_SIZE(names);
        for (Py_ssize_t i = 0; i < n; ++i) {
            if (PyTuple_GET_ITEM(names, i) == name) {
                value = values[i];
                return 1;
            }
        }
        for (Py_ssize_t i = 0; i < n; ++i) {
            PyObject* key = PyTuple_GET_ITEM(names, i);
            const int match = PyUnicode_CheckExact(key) ? same_name(key, name)
                                                        : subclass_key_matches(key, name);
            if (match < 0) return -1;
            if (match) {
                value = values[i];
                return 1;
            }
        }
        return 0;
    }

    // A str subclass may define its own hash and equality; a dict lookup would consult both, so
    // this does too and in the same order. 1 match, 0 none, -1 error.
    static int subclass_key_matches(PyObject* key, PyObject* name) {
        const Py_hash_t hash = PyObject_Hash(key);
        if (hash == -1) return -1;
        if (hash != PyObject_Hash(name)) return 0;
        return PyObject_RichCompareBool(key, name, Py_EQ);
    }
    template <class Each>
    void walk(Each&& each) const {
        const Py_ssize_t n = PyTuple_GET_SIZE(names);
        for (Py_ssize_t i = 0; i < n; ++i) {
            if (!each(PyTuple_GET_ITEM(names, i), values[i])) return;
        }
    }
};

// The bound arguments' references, taken as each is found and released together after the body.
class HeldArguments : Pinned {
public:
    HeldArguments() = default;
    ~HeldArguments() {
        while (count_ > 0) Py_DECREF(items_[--count_]);
    }
    void hold(PyObject* value) {
        Py_INCREF(value);
        items_[count_++] = value;
    }

private:
    PyObject* items_[max_parameters];
    std::size_t count_ = 0;
};

// Whether the lookup of `name` (3. above) took `key` itself, for a key that names a filled slot. An
// exact str equal to the name always answers that lookup; a subclass only with the name's hash.
// 1 yes, 0 no, -1 error (the subclass's own hash may raise).
int taken_by_lookup(PyObject* key, PyObject* name) {
    if (PyUnicode_CheckExact(key)) return 1;
    const Py_hash_t hash = PyObject_Hash(key);
    if (hash == -1) return -1;
    return hash == PyObject_Hash(name);
}

// The keywords left over (4. above): true when each one filled a slot; false with the error set.
template <class Keywords>
__attribute__((noinline)) bool bind_leftover_keywords(const Signature& sig,
                                                      const Keywords& keywords, Py_ssize_t given,
                                                      PyObject** values, HeldArguments& kept) {
    const ModuleState& st = *sig.state;
    bool bound = true;
    keywords.walk([&](PyObject* key, PyObject* value) {
        if (!PyUnicode_Check(key)) {
            PyErr_Format(PyExc_TypeError, keywords_must_be_strings, sig.name);
            bound = false;
            return false;
        }
        const Py_ssize_t index = parameter_index(sig, key);
        if (index >= given) {
            if (!values[index]) {
                values[index] = value;
                kept.hold(value);
                return true;
            }
            const int taken = taken_by_lookup(key, st.strings[sig.params[index]]);
            if (taken != 0) {
                bound = taken > 0;
                return bound;
            }
        }
        PyErr_Format(PyExc_TypeError, index >= 0 ? multiple_values : unexpected_keyword, sig.name,
                     key);
        bound = false;
        return false;
    });
    return bound;
}

// Fills `values`, each also held by `kept` for the whole call, as a Python function's locals
// hold its arguments: a body could otherwise free a keyword value by emptying the caller's dict,
// and pandas reads reference counts to tell a temporary table from a held one. `keywords` is
// null when the call has none. False with the error set.
template <class Keywords>
bool bind(const Signature& sig, PyObject* const* positional, Py_ssize_t given,
          const Keywords* keywords, PyObject** values, HeldArguments& kept) {
    const ModuleState& st = *sig.state;
    const auto total = static_cast<Py_ssize_t>(sig.params.size());
    const auto required = static_cast<Py_ssize_t>(sig.required);
    if (given > total) return fail_count(sig, given);
    if (!keywords && given < required) return fail_count(sig, given);
    for (Py_ssize_t i = 0; i < given; ++i) {
        values[i] = positional[i];
        kept.hold(values[i]);
    }
    for (Py_ssize_t i = given; i < total; ++i) values[i] = nullptr;
    if (keywords) {
        Py_ssize_t unused = keywords->size();
        for (Py_ssize_t i = given; i < required; ++i) {
            int found = keywords->find(st.strings[sig.params[i]], values[i]);
            if (found < 0) return false;
            if (found == 0) return fail_count(sig, i);
            kept.hold(values[i]);
            --unused;
        }
        for (Py_ssize_t i = given > required ? given : required; i < total && unused > 0; ++i) {
            int found = keywords->find(st.strings[sig.params[i]], values[i]);
            if (found < 0) return false;
            if (found == 0) continue;
            kept.hold(values[i]);
            --unused;
        }
        if (unused > 0 && !bind_leftover_keywords(sig, *keywords, given, values, kept)) {
            return false;
        }
    }
    for (Py_ssize_t i = required; i < total; ++i) {
        if (values[i]) continue;
        values[i] = PyTuple_GET_ITEM(*sig.defaults, i - required);
        kept.hold(values[i]);
    }
    return true;
}

// Appends at most `limit` bytes of `text`, as a "%.200s" conversion takes them.
char* put_bytes(char* out, const char* end, const char* text, std::size_t limit) {
    std::size_t n = 0;
    while (n < limit && text[n] != '\0') ++n;
    n = std::min<std::size_t>(n, static_cast<std::size_t>(end - out));
    std::memcpy(out, text, n);
    return out + n;
}

// The wrong-type message, assembled by hand for the same reason as the count message. Type names
// may be UTF-8 (a class named in any script); a cut through a character decodes as U+FFFD, as
// the formatted conversion decodes it.
__attribute__((noinline)) bool fail_type(const Signature& sig, std::size_t param,
                                         PyTypeObject* expected, PyObject* value) {
    const char* name = PyUnicode_AsUTF8(sig.state->strings[sig.params[param]]);
    if (!name) return false;
    char message[type_message_capacity];
    const char* end = message + sizeof message;
    char* out = message;
    auto put = [&](std::string_view piece) {
        out = put_bytes(out, end, piece.data(), piece.size());
    };
    put("Argument '");
    out = put_bytes(out, end, name, shown_name_length);
    put("' has incorrect type (expected ");
    out = put_bytes(out, end, expected->tp_name, shown_name_length);
    put(", got ");
    out = put_bytes(out, end, Py_TYPE(value)->tp_name, shown_name_length);
    put(")");
    PyObject* text = PyUnicode_DecodeUTF8(message, out - message, "replace");
    if (!text) return false;
    PyErr_SetObject(PyExc_TypeError, text);
    Py_DECREF(text);
    return false;
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
        return fail_type(sig, i, expected, values[i]);
    }
    return true;
}

// The bound arguments' exact-type checks, then the body in this call's frame.
inline PyObject* check_and_run(const Signature& sig, PyObject* const* values) noexcept {
    if (!types_accepted(sig, values)) return nullptr;
    Cursor cursor(*sig.state, sig.trace_name, sig.line);
    return boundary(cursor, [&] { return sig.body(cursor, values); });
}

template <class Keywords>
PyObject* bind_and_run(const Signature& sig, PyObject* const* positional, Py_ssize_t given,
                       const Keywords* keywords) noexcept {
    PyObject* values[max_parameters];
    HeldArguments kept;
    if (!bind(sig, positional, given, keywords, values, kept)) {
        add_traceback(*sig.state, sig.trace_name, sig.line);
        return nullptr;
    }
    return check_and_run(sig, values);
}

// Every parameter given by position: the caller's array is the binding, and nothing is left for
// a default.
PyObject* run_all_positional(const Signature& sig, PyObject* const* args) noexcept {
    HeldArguments kept;
    for (std::size_t i = 0; i < sig.params.size(); ++i) kept.hold(args[i]);
    return check_and_run(sig, args);
}

}  // namespace

PyObject* call_function(const Signature& sig, PyObject* args, PyObject* kwargs) noexcept {
    PyObject* const* positional = &PyTuple_GET_ITEM(args, 0);
    if (!kwargs) {
        return bind_and_run<DictKeywords>(sig, positional, PyTuple_GET_SIZE(args), nullptr);
    }
    const DictKeywords keywords{kwargs};
    return bind_and_run(sig, positional, PyTuple_GET_SIZE(args), &keywords);
}

PyObject* call_function_vector(const Signature& sig, PyObject* const* args, std::size_t nargsf,
                               PyObject* kwnames) noexcept {
    const Py_ssize_t given = PyVectorcall_NARGS(nargsf);
    // No keywords and an empty name tuple bind alike, so the cheaper form takes both.
    if (!kwnames || PyTuple_GET_SIZE(kwnames) == 0) {
        if (static_cast<std::size_t>(given) == sig.params.size()) {
            return run_all_positional(sig, args);
        }
        return bind_and_run<VectorKeywords>(sig, args, given, nullptr);
    }
    const VectorKeywords keywords{kwnames, args + given};
    return bind_and_run(sig, args, given, &keywords);
}

}  // namespace orvelkit::frame
