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
void not_a_parameter_of_this_function();
void two_parameters_share_a_name();

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

// A parameter's default: None, a row of the names table, or an int.
struct DefaultValue {
    enum class Kind : unsigned char { none, row, integer };

    constexpr DefaultValue() = default;
    constexpr DefaultValue(NoneValue) {}
    constexpr DefaultValue(Name text) : kind(Kind::row), row(text) {}
    constexpr DefaultValue(long number) : kind(Kind::integer), integer(number) {}

    Kind kind = Kind::none;
    Name row{};
    long integer = 0;
};

// One entry of __annotations__: a parameter name (or "return") and its annotation text, as rows.
struct Annotation {
    Name name;
    Name value;
};

// A body's bound arguments, read by parameter name: `a.get<"df"_n>()`. The parameters are the
// body's own type, so the record takes them from its body and a name that is none of them does
// not compile. Borrowed, alive for the whole call.
template <Name... Params>
class Args {
public:
    static constexpr std::array<Name, sizeof...(Params)> names{Params...};

    explicit Args(PyObject* const* values) noexcept : values_(values) {}

    template <Name N>
    PyObject* get() const noexcept {
        return values_[position<N>()];
    }

private:
    template <Name N>
    static consteval std::size_t position() {
        for (std::size_t i = 0; i < names.size(); ++i) {
            if (names[i] == N) return i;
        }
        not_a_parameter_of_this_function();
        return 0;
    }

    PyObject* const* values_;
};

template <class Fn>
struct BodyArgs;
template <class A>
struct BodyArgs<Ref (*)(Cursor&, A)> {
    using type = A;
};

template <auto Fn>
Ref run_body(Cursor& cursor, PyObject* const* args) {
    return Fn(cursor, typename BodyArgs<decltype(Fn)>::type(args));
}

// A record's body with the parameters its Args name. It has no default: a record without `.body`
// does not compile.
struct BodyRef {
    constexpr BodyRef(Body body, std::span<const Name> names) : fn(body), params(names) {}
    Body fn;
    std::span<const Name> params;
};

template <auto Fn>
inline constexpr BodyRef body_of{run_body<Fn>, BodyArgs<decltype(Fn)>::type::names};

// Everything about one function or method; the frame derives the rest. Written with designated
// initialisers in this order; lists longer than the frame's limit do not compile. A record is
// defined by one statement, `define<record>` (below): a record that none names is an unused
// variable, which the modules' build refuses.
struct FunctionRecord {
    const char* qualname;  // "Auspex._run"; the name is what follows the last dot
    int line;              // the def statement's line: definition and binding failures show it
    std::initializer_list<Name> locals = {};  // the code object's names after the parameters
    FixedList<ParamCheck, max_parameters> checks = {};           // none, or one per parameter
    FixedList<DefaultValue, max_parameters> defaults = {};       // of the last parameters
    FixedList<Annotation, max_parameters + 1> annotations = {};  // the return's too
    int flags = 0;  // function_flag_coroutine for `async def`
    const char* doc = nullptr;
    BodyRef body;  // body_of<the body function>
};

// What follows the last dot of a qualified name.
constexpr const char* plain_name(const char* qualname) {
    const char* name = qualname;
    for (const char* c = qualname; *c; ++c) {
        if (*c == '.') name = c + 1;
    }
    return name;
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

consteval bool record_is_sound(const FunctionRecord& r) {
    if (!r.qualname || !*plain_name(r.qualname) || r.line <= 0) {
        a_record_needs_a_qualified_name_and_line();
    }
    const std::size_t params = r.body.params.size();
    if (params > max_parameters) more_items_than_the_frame_allows();
    for (std::size_t i = 0; i < params; ++i) {
        for (std::size_t j = 0; j < i; ++j) {
            if (r.body.params[i] == r.body.params[j]) two_parameters_share_a_name();
        }
    }
    if (r.checks.size() != 0 && r.checks.size() != params) {
        checks_must_be_none_or_one_per_parameter();
    }
    if (r.defaults.size() > params) more_defaults_than_parameters();
    return true;
}

// The function records of the module described by `Module`, whose state is `State`.
template <const ModuleDescriptor& Module, auto& State>
class Definitions {
    // What a record compiles to: everything a call needs, fixed before the module is loaded.
    template <const FunctionRecord& R>
    struct Compiled {
        static_assert(record_is_sound(R));
        static constexpr std::size_t param_count = R.body.params.size();
        static constexpr std::size_t name_count = param_count + R.locals.size();
        // The module's name, the dot, the qualified name and the closing zero.
        static constexpr std::size_t trace_size =
            static_cast<std::size_t>(c_length(Module.names.full_name) + 1 + c_length(R.qualname)) +
            1;

        static constexpr std::array<char, trace_size> trace_name = dotted_name<trace_size>(
            Module.names.full_name, R.qualname);
        static constexpr std::array<std::size_t, param_count> param_rows = [] {
            std::array<std::size_t, param_count> rows{};
            for (std::size_t i = 0; i < param_count; ++i) rows[i] = row(R.body.params[i]);
            return rows;
        }();
        // Parameters first, then the locals: the code object's variable names.
        static constexpr std::array<std::size_t, name_count> name_rows = [] {
            std::array<std::size_t, name_count> rows{};
            std::size_t n = 0;
            for (Name p : R.body.params) rows[n++] = row(p);
            for (Name l : R.locals) rows[n++] = row(l);
            return rows;
        }();

        // Made on the first definition and kept for the process: a repeated exec after a failed
        // import reuses them. The binding reads `defaults` through the signature.
        static inline FunctionObjects objects{};

        static constexpr Signature signature{
            &State,
            plain_name(R.qualname),
            trace_name.data(),
            R.line,
            param_rows,
            std::span<const ParamCheck>(R.checks.begin(), R.checks.size()),
            param_count - R.defaults.size(),
            &objects.defaults,
            R.body.fn,
        };
        static constexpr FunctionDef def{plain_name(R.qualname), entry<signature>, R.doc};

        template <std::size_t... K>
        static Ref code(const FunctionObjects& made, std::index_sequence<K...>) {
            return make_code(State, static_cast<int>(param_count), {State.strings[name_rows[K]]...},
                             made.name, made.qualname, R.line,
                             (R.flags & function_flag_coroutine) != 0);
        }

        static Ref defaults() {
            Ref tuple = check(PyTuple_New(static_cast<Py_ssize_t>(R.defaults.size())));
            Py_ssize_t i = 0;
            for (const DefaultValue& d : R.defaults) {
                PyObject* value = nullptr;
                switch (d.kind) {
                    case DefaultValue::Kind::none: value = Py_NewRef(Py_None); break;
                    case DefaultValue::Kind::row: value = Py_NewRef(State.s(d.row)); break;
                    case DefaultValue::Kind::integer:
                        value = check(PyLong_FromLong(d.integer)).release();
                        break;
                }
                PyTuple_SET_ITEM(tuple.get(), i++, value);
            }
            return tuple;
        }

        static FunctionObjects& made() {
            FunctionObjects& o = objects;
            keep(o.name, check(PyUnicode_InternFromString(plain_name(R.qualname))));
            if (plain_name(R.qualname) == R.qualname) {
                keep(o.qualname, Ref::borrow(o.name));
            } else {
                keep(o.qualname, check(PyUnicode_FromString(R.qualname)));
            }
            keep(o.code, code(o, std::make_index_sequence<name_count>()));
            if (R.defaults.size() != 0) keep(o.defaults, defaults());
            return o;
        }

        // A fresh dict per definition, or null without annotations.
        static Ref annotations() {
            if (R.annotations.size() == 0) return Ref();
            Ref dict = check(PyDict_New());
            for (const Annotation& a : R.annotations) {
                check_status(PyDict_SetItem(dict.get(), State.s(a.name), State.s(a.value)));
            }
            return dict;
        }
    };

    template <const FunctionRecord& R>
    static void define_one(Cursor& f, PyObject* target) {
        using C = Compiled<R>;
        f.at(R.line);
        const FunctionObjects& o = C::made();
        Ref annotations = C::annotations();
        Ref function = make_function(State, C::def, R.flags, o.qualname, State.module_name, o.code,
                                     o.defaults, annotations.get());
        namespace_set(target, o.name, function);
    }

public:
    // `def` at each record's line, in the order given: the function, with its defaults and
    // annotations, stored under its name in `target`, the module's dict or a class body's
    // namespace. Throws PyErrorSet.
    template <const FunctionRecord&... Rs>
    static void define(Cursor& f, PyObject* target) {
        (define_one<Rs>(f, target), ...);
    }

    // What the definition made of a record: for a body that needs its code or names.
    template <const FunctionRecord& R>
    static const FunctionObjects& objects() {
        return Compiled<R>::objects;
    }
};

}  // namespace orvelkit::frame
