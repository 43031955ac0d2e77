// Function records: what a module writes about each of its functions and methods, checked when
// it is compiled, and what the frame derives from a record: the traceback name, the signature and
// binding entry, the code object and defaults made at initialisation, and the `def` statement.
// Above the top layer: modules include it, no frame header does.
#pragma once

#include "class_stmt.h"
#include "function.h"
#include "module_init.h"
#include "ops.h"

#include <array>
#include <initializer_list>
#include <iterator>
#include <span>
#include <utility>

namespace orvelkit::frame {

// Never defined and not constexpr: compiling a record that breaks a rule stops at the call of the
// one that names the rule.
void more_items_than_the_frame_allows();
void checks_must_be_none_or_one_per_parameter();
void more_defaults_than_parameters();
void a_record_needs_a_qualified_name_and_line();
void no_record_has_this_qualified_name();
void two_records_share_a_qualified_name();

// A list of at most `Capacity` items, filled when the record is compiled.
template <class T, std::size_t Capacity>
class FixedList {
public:
    constexpr FixedList() = default;
    consteval FixedList(std::initializer_list<T> items) {
        if (items.size() > Capacity) more_items_than_the_frame_allows();
        for (const T& item : items) items_[size_++] = item;
    }

    constexpr std::size_t size() const { return size_; }
    constexpr const T* begin() const { return items_.data(); }
    constexpr const T* end() const { return items_.data() + size_; }
    constexpr const T& operator[](std::size_t i) const { return items_[i]; }

private:
    std::array<T, Capacity> items_{};
    std::size_t size_ = 0;
};

// `None` written as a default value.
struct NoneValue {};
inline constexpr NoneValue py_none{};

// A parameter's default: None, a text row of the string table, or an int.
template <class E>
struct DefaultValue {
    enum class Kind : unsigned char { none, row, integer };

    constexpr DefaultValue() = default;
    constexpr DefaultValue(NoneValue) {}
    constexpr DefaultValue(E text) : kind(Kind::row), row(text) {}
    constexpr DefaultValue(long number) : kind(Kind::integer), integer(number) {}

    Kind kind = Kind::none;
    E row{};
    long integer = 0;
};

// One entry of __annotations__: a parameter name (or "return") and its annotation text, as rows.
template <class E>
struct Annotation {
    E name;
    E value;
};

// A record's body. It has no default: a record without `.body` does not compile. (Asking whether
// a function's address is null is not a constant expression in every build, so this is how.)
struct RequiredBody {
    constexpr RequiredBody(Body body) : fn(body) {}
    Body fn;
};

// Everything about one function or method; the frame derives the rest. Written with designated
// initialisers in this order; lists longer than the frame's limit do not compile.
template <class E>
struct FunctionRecord {
    const char* qualname;  // "Auspex._run"; the name is what follows the last dot
    int line;              // the def statement's line: definition and binding failures show it
    FixedList<E, max_parameters> params;
    std::initializer_list<E> locals = {};  // the code object's names after the parameters
    FixedList<ParamCheck, max_parameters> checks = {};              // none, or one per parameter
    FixedList<DefaultValue<E>, max_parameters> defaults = {};       // of the last parameters
    FixedList<Annotation<E>, max_parameters + 1> annotations = {};  // the return's too
    int flags = 0;  // function_flag_coroutine for `async def`
    const char* doc = nullptr;
    RequiredBody body;
};

// What follows the last dot of a qualified name.
constexpr const char* plain_name(const char* qualname) {
    const char* name = qualname;
    for (const char* c = qualname; *c; ++c) {
        if (*c == '.') name = c + 1;
    }
    return name;
}

constexpr bool same_text(const char* a, const char* b) {
    while (*a && *a == *b) ++a, ++b;
    return *a == *b;
}

// `module` "." `qualname`, with its terminating zero, in an array of exactly that size.
template <std::size_t N>
consteval std::array<char, N> dotted_name(const char* module, const char* qualname) {
    std::array<char, N> out{};
    std::size_t n = 0;
    for (const char* c = module; *c; ++c) out[n++] = *c;
    out[n++] = '.';
    for (const char* c = qualname; *c; ++c) out[n++] = *c;
    return out;
}

template <class E>
consteval bool record_is_sound(const FunctionRecord<E>& r) {
    if (!r.qualname || !*plain_name(r.qualname) || r.line <= 0) {
        a_record_needs_a_qualified_name_and_line();
    }
    if (r.checks.size() != 0 && r.checks.size() != r.params.size()) {
        checks_must_be_none_or_one_per_parameter();
    }
    if (r.defaults.size() > r.params.size()) more_defaults_than_parameters();
    return true;
}

// A name given as a template argument: `define<"Auspex._run">`.
template <std::size_t N>
struct FixedText {
    consteval FixedText(const char (&text)[N]) {
        for (std::size_t i = 0; i < N; ++i) chars[i] = text[i];
    }
    char chars[N]{};
};

// The function records of one module (`Records`, an array of FunctionRecord), for the module
// described by `Module` whose state is `State`. Record i's objects live in State.functions[i].
template <const ModuleDescriptor& Module, const auto& Records, auto& State>
class FunctionTable {
    static constexpr std::size_t count = std::size(Records);
    static_assert(count <= max_functions, "more function records than the module state holds");

    static consteval bool all_sound() {
        for (std::size_t i = 0; i < count; ++i) {
            record_is_sound(Records[i]);
            for (std::size_t j = 0; j < i; ++j) {
                if (same_text(Records[i].qualname, Records[j].qualname)) {
                    two_records_share_a_qualified_name();
                }
            }
        }
        return true;
    }
    static_assert(all_sound());

    template <FixedText Qualname>
    static consteval std::size_t index_of() {
        for (std::size_t i = 0; i < count; ++i) {
            if (same_text(Records[i].qualname, Qualname.chars)) return i;
        }
        no_record_has_this_qualified_name();
        return count;
    }

    // What record I compiles to: everything a call needs, fixed before the module is loaded.
    template <std::size_t I>
    struct Compiled {
        static constexpr const auto& record = Records[I];
        static constexpr std::size_t param_count = record.params.size();
        static constexpr std::size_t name_count = param_count + record.locals.size();
        // The module's name, the dot, the qualified name and the closing zero.
        static constexpr std::size_t trace_size =
            static_cast<std::size_t>(c_length(Module.full_name) + 1 + c_length(record.qualname)) +
            1;

        static constexpr std::array<char, trace_size> trace_name = dotted_name<trace_size>(
            Module.full_name, record.qualname);
        static constexpr std::array<std::size_t, param_count> param_rows = [] {
            std::array<std::size_t, param_count> rows{};
            for (std::size_t i = 0; i < param_count; ++i) rows[i] = row(record.params[i]);
            return rows;
        }();
        // Parameters first, then the locals: the code object's variable names.
        static constexpr std::array<std::size_t, name_count> name_rows = [] {
            std::array<std::size_t, name_count> rows{};
            std::size_t n = 0;
            for (auto p : record.params) rows[n++] = row(p);
            for (auto l : record.locals) rows[n++] = row(l);
            return rows;
        }();

        static constexpr Signature signature{
            &State,
            plain_name(record.qualname),
            trace_name.data(),
            record.line,
            param_rows,
            std::span<const ParamCheck>(record.checks.begin(), record.checks.size()),
            param_count - record.defaults.size(),
            &State.functions[I].defaults,
            record.body.fn,
        };
        static constexpr FunctionDef def{plain_name(record.qualname), entry<signature>, record.doc};

        template <std::size_t... K>
        static Ref code(const FunctionObjects& made, std::index_sequence<K...>) {
            return make_code(State, static_cast<int>(param_count), {State.strings[name_rows[K]]...},
                             made.name, made.qualname, record.line,
                             (record.flags & function_flag_coroutine) != 0);
        }

        static Ref defaults() {
            Ref tuple = check(PyTuple_New(static_cast<Py_ssize_t>(record.defaults.size())));
            Py_ssize_t i = 0;
            for (const auto& d : record.defaults) {
                using Kind = typename std::remove_cvref_t<decltype(d)>::Kind;
                PyObject* value = nullptr;
                switch (d.kind) {
                    case Kind::none: value = Py_NewRef(Py_None); break;
                    case Kind::row: value = Py_NewRef(State.strings[row(d.row)]); break;
                    case Kind::integer: value = check(PyLong_FromLong(d.integer)).release(); break;
                }
                PyTuple_SET_ITEM(tuple.get(), i++, value);
            }
            return tuple;
        }

        // Made on the first definition and kept: a repeated exec after a failed import reuses them.
        static FunctionObjects& made() {
            FunctionObjects& o = State.functions[I];
            keep(o.name, check(PyUnicode_InternFromString(plain_name(record.qualname))));
            if (plain_name(record.qualname) == record.qualname) {
                keep(o.qualname, Ref::borrow(o.name));
            } else {
                keep(o.qualname, check(PyUnicode_FromString(record.qualname)));
            }
            keep(o.code, code(o, std::make_index_sequence<name_count>()));
            if (record.defaults.size() != 0) keep(o.defaults, defaults());
            return o;
        }

        // A fresh dict per definition, or null without annotations.
        static Ref annotations() {
            if (record.annotations.size() == 0) return Ref();
            Ref dict = check(PyDict_New());
            for (const auto& a : record.annotations) {
                check_status(PyDict_SetItem(dict.get(), State.strings[row(a.name)],
                                            State.strings[row(a.value)]));
            }
            return dict;
        }
    };

public:
    // The record named by its qualified name; naming none is a compile error.
    template <FixedText Qualname>
    static constexpr const auto& record() {
        return Records[index_of<Qualname>()];
    }

    // `def` at the record's line: the function, with its defaults and annotations, stored under
    // its name in `target`, the module's dict or a class body's namespace. Throws PyErrorSet.
    template <FixedText Qualname>
    static void define(Frame& f, PyObject* target) {
        using C = Compiled<index_of<Qualname>()>;
        f.at(C::record.line);
        const FunctionObjects& o = C::made();
        Ref annotations = C::annotations();
        Ref function = make_function(State, C::def, C::record.flags, o.qualname, State.module_name,
                                     o.code, o.defaults, annotations.get());
        namespace_set(target, o.name, function.get());
    }

    // What initialisation made of a defined function: for a body that needs its code or names.
    template <FixedText Qualname>
    static const FunctionObjects& objects() {
        return State.functions[index_of<Qualname>()];
    }
};

}  // namespace orvelkit::frame
