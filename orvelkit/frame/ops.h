// The operations a module statement is made of: calls, attribute and item access, truth, format,
// and the `with` statement. Each returns a new reference (or a plain value) and throws
// PyErrorSet; none keeps a Python value between statements.
#pragma once

#include "traceback.h"

#include <cstdint>
#include <initializer_list>
#include <iterator>
#include <type_traits>
#include <utility>

namespace orvelkit::frame {

// How the lookup caches stay right. Three things are remembered between calls, and each answer is
// used only while what it was read from provably has not changed:
// - Type lookups (below): keyed by the type's address, its version tag and the name's address.
//   The interpreter resets a type's tag when the type or any base changes and never hands the
//   same tag out twice, so a matching entry describes the type as it is now, and an entry left by
//   a freed type cannot match its successor at that address. Only exact, interned str names are
//   stored; the module's names live for the process, so comparing addresses is comparing names.
//   `found` is borrowed from the type's dict and dies with the next Python code that runs, so
//   every caller takes its own reference before probing an instance dict or calling anything.
// - Module globals (names.h): a value borrowed from the module's dict, with the dict's version
//   (3.11's tag, or on 3.12 and later the count of the one dict watcher the libraries share,
//   bumped before any watched dict changes). A matching version means the dict still holds that
//   value under that name; with no watcher to be had, nothing is remembered.
// - Cached builtins: looked up once at initialisation and held, by definition of the name.
//
// What a type's method resolution order says about one name, remembered per (type, version tag,
// name) as the interpreter's specialised loads remember it. A type or a base that changes gets a
// new tag, so a stale answer is never used; a tag of 0 means "not cacheable" and every lookup
// then takes the interpreter's generic path.
enum class LookupKind : unsigned char {
    generic,  // the type's own getattro, or a case not worth a shortcut
    module,   // an exact module whose type defines nothing of that name: its dict decides
    absent,   // generic getattro, nothing in the type: only the instance dict can hold it
    data,     // a data descriptor: it decides, whatever the instance dict holds
    method,   // a method descriptor, shadowed only by the instance dict
    other,    // a plain class attribute or a non-data descriptor, after the instance dict
};

struct TypeLookup {
    // Borrowed from the type's dict: valid while the tag matches and only until Python code runs
    // (a key's __eq__, a finaliser, a call), which may delete it; hold it before any of those.
    PyObject* found;
    LookupKind kind;
    bool has_dict;  // instances may carry their own dict, in a plain dict slot
};

TypeLookup type_lookup_slow(PyTypeObject* type, PyObject* name) noexcept;

// Instances whose attributes live in the interpreter's inline values: its generic lookup reads
// them directly, and no remembered answer could make that cheaper, so their reads and method
// calls skip the table.
inline bool keeps_inline_values(PyTypeObject* type) noexcept {
    return (type->tp_flags & Py_TPFLAGS_MANAGED_DICT) != 0;
}

// The cache table: small, direct-mapped, per library.
struct TypeLookupEntry {
    PyTypeObject* type;
    unsigned int tag;
    PyObject* name;
    TypeLookup result;
};
inline constexpr std::size_t type_lookup_slots = 512;
extern TypeLookupEntry type_lookup_cache[type_lookup_slots];

// The cache slot of (type, tag, name): where a lookup is looked for and where it is stored.
inline TypeLookupEntry& type_lookup_slot(PyTypeObject* type, unsigned int tag,
                                         PyObject* name) noexcept {
    const auto index = ((reinterpret_cast<std::uintptr_t>(name) >> 4) ^
                        reinterpret_cast<std::uintptr_t>(type) ^ tag) %
                       type_lookup_slots;
    return type_lookup_cache[index];
}

inline TypeLookup type_lookup(PyTypeObject* type, PyObject* name) noexcept {
    const unsigned int tag = type_version_tag(type);
    const TypeLookupEntry& e = type_lookup_slot(type, tag, name);
    if (tag != 0 && e.tag == tag && e.type == type && e.name == name) return e.result;
    return type_lookup_slow(type, name);
}

// obj.name, with the shortcut the cache allows; the interpreter's generic path otherwise.
Ref attr_cached(PyObject* obj, PyObject* name);

// Raises the pending error of a failed slot read as the interpreter's own read would leave it.
[[noreturn]] void raise_attribute_error(PyObject* obj, PyObject* name);

// Instances with inline values: nothing remembered beats the interpreter's generic read of the
// values, so only the dispatch in front of the type's slot is left out. Inline, as it runs for
// nearly every `self.x` of a method body.
inline Ref attr(Handle obj, Handle name) {
    PyTypeObject* type = Py_TYPE(obj);
    getattrofunc get = type->tp_getattro;
    if (keeps_inline_values(type) && get && PyUnicode_CheckExact(name)) {
        PyObject* value = get(obj, name);
        if (!value) raise_attribute_error(obj, name);
        return Ref::steal(value);
    }
    return attr_cached(obj, name);
}

// `obj.name` once more, where no code has run since `earlier` was read from it. When the type
// reads attributes generically and nothing in its MRO has that name, the value can only be the
// instance's own, which nothing in between could have replaced, so `earlier` stands. A property,
// __getattribute__ or __getattr__ is asked again, as the interpreter would ask it.
inline Ref attr_again(Handle obj, Handle name, Ref&& earlier) {
    PyTypeObject* type = Py_TYPE(obj);
    if (type->tp_getattro == PyObject_GenericGetAttr && PyUnicode_CheckExact(name) &&
        !type_lookup(type, name).found) {
        return std::move(earlier);
    }
    return attr(obj, name);
}

// obj.name = value. An interned name goes straight to the type's slot: the interpreter's own
// store does only that after interning the name, and adds nothing to a failure.
inline void set_attr(Handle obj, Handle name, Handle value) {
    setattrofunc store = Py_TYPE(obj)->tp_setattro;
    if (store && PyUnicode_CheckExact(name) && PyUnicode_CHECK_INTERNED(name)) {
        check_status(store(obj, name, value));
    } else {
        check_status(PyObject_SetAttr(obj, name, value));
    }
}
inline Ref item(Handle obj, Handle key) { return check(PyObject_GetItem(obj, key)); }
inline void set_item(Handle obj, Handle key, Handle value) {
    check_status(PyObject_SetItem(obj, key, value));
}
inline bool truth(Handle obj) { return check_status(PyObject_IsTrue(obj)) == 1; }

// a == b, as the interpreter decides it (identity first, then the comparison).
inline bool equal(Handle a, Handle b) {
    return check_status(PyObject_RichCompareBool(a, b, Py_EQ)) == 1;
}

// The truth of `None == value`. None itself and exact str, int, float and bool values have a
// fixed answer: NoneType's comparison and theirs both decline, so identity decides, and no
// Python code could run. Any other value may answer through its own reflected __eq__.
inline bool none_equals(Handle value) {
    if (value == Py_None) return true;
    PyTypeObject* type = Py_TYPE(value);
    if (type == &PyUnicode_Type || type == &PyLong_Type || type == &PyFloat_Type ||
        type == &PyBool_Type) {
        return false;
    }
    Ref equal = check(PyObject_RichCompare(Py_None, value, Py_EQ));
    return truth(equal);
}

// None, as a body returns it.
inline Ref none() { return Ref::borrow(Py_None); }

// callable(*args)
inline Ref call(Handle callable, std::initializer_list<Handle> args = {}) {
    return check(PyObject_Vectorcall(callable, const_cast<PyObject**>(as_array(args.begin())),
                                     args.size(), nullptr));
}

// callable(*args, **{names[i]: values[i]}); `kwnames` is a tuple of the keyword names, whose
// values follow the positional ones in `args`.
inline Ref call_kw(Handle callable, std::initializer_list<Handle> args, Handle kwnames) {
    const auto nkw = static_cast<std::size_t>(PyTuple_GET_SIZE(kwnames));
    return check(PyObject_Vectorcall(callable, const_cast<PyObject**>(as_array(args.begin())),
                                     args.size() - nkw, kwnames));
}

// stack[0].name(*stack[1:n]) through the lookup cache; stack has room for nothing before it.
Ref call_method_cached(PyObject* name, PyObject** stack, std::size_t n);

// obj.name(*args), without making a bound method when the attribute is a plain method.
inline Ref call_method(Handle obj, Handle name, std::initializer_list<Handle> args = {}) {
    PyObject* stack[max_parameters];
    if (args.size() >= std::size(stack)) raise(PyExc_SystemError, "too many method arguments");
    std::size_t n = 0;
    stack[n++] = obj;
    for (PyObject* a : args) stack[n++] = a;
    if (keeps_inline_values(Py_TYPE(obj))) {
        return check(PyObject_VectorcallMethod(name, stack, n, nullptr));
    }
    return call_method_cached(name, stack, n);
}

// format(value, ""): a str unchanged, anything else through its __format__.
inline Ref format_empty(const ModuleState& st, Handle value) {
    return check(PyObject_Format(value, st.empty_str));
}

// `raise value`: an exception instance is raised as it is, an exception class is called first.
[[noreturn]] void raise_value(Handle value);

// A new list / tuple / dict of the given items in order. Throw PyErrorSet.
Ref new_list();
void append(Handle list, Handle value);
Ref make_tuple(std::initializer_list<Handle> items);
Ref make_list(std::initializer_list<Handle> items);
Ref new_dict(std::initializer_list<std::pair<Handle, Handle>> items);

// [f(item) for item in iterable], the iteration protocol throwing on failure.
template <class Each>
Ref list_comprehension(Handle iterable, Each&& each) {
    Ref result = new_list();
    Ref it = check(PyObject_GetIter(iterable));
    while (Ref item = Ref::steal(PyIter_Next(it.get()))) append(result, each(item.get()));
    if (PyErr_Occurred()) throw_error();
    return result;
}

// a + b + ... for str pieces.
Ref concat(std::initializer_list<Handle> pieces);

// A special method looked up on the type and bound to `obj`; AttributeError naming it when the
// type lacks it.
Ref lookup_special(PyObject* obj, PyObject* name);

// The `with manager as value:` statement at `line`. __exit__ is looked up before __enter__. When
// the body raises, this function's entry is added at the failing line, __exit__ gets the
// exception, and a true answer drops it; otherwise the exception goes on from the `with` line.
// `body(entered)` receives the result of __enter__ (borrowed).
template <class Body>
void with_block(Cursor& cursor, int line, Handle manager, Body&& body);

// `for item in iterable:` with every fetch of the next item reported at `line`. A list or tuple is
// walked by index, its length read again at each step, so a body that grows or shrinks it is
// seen as the interpreter's own loop would see it; anything else goes through its iterator.
template <class Body>
void for_each(Cursor& f, int line, Handle items, Body&& body) {
    PyObject* iterable = items;
    f.at(line);
    const bool is_list = PyList_CheckExact(iterable);
    if (is_list || PyTuple_CheckExact(iterable)) {
        for (Py_ssize_t i = 0;; ++i) {
            f.at(line);
            const Py_ssize_t size = is_list ? PyList_GET_SIZE(iterable)
                                            : PyTuple_GET_SIZE(iterable);
            if (i >= size) return;
            Ref item = Ref::borrow(is_list ? PyList_GET_ITEM(iterable, i)
                                           : PyTuple_GET_ITEM(iterable, i));
            body(item.get());
        }
    }
    Ref it = check(PyObject_GetIter(iterable));
    for (;;) {
        f.at(line);
        Ref item = Ref::steal(PyIter_Next(it.get()));
        if (!item) {
            if (PyErr_Occurred()) throw_error();
            return;
        }
        body(item.get());
    }
}

// What a statement block hands back: its Ref, or an empty Ref when it has no value to return.
template <class Block, class... Args>
Ref block_result(Block& block, Args&... args) {
    if constexpr (std::is_void_v<std::invoke_result_t<Block&, Args&...>>) {
        block(args...);
        return Ref();
    } else {
        return block(args...);
    }
}

// `try: body` with one `except ... as e: handler` clause at `line`. When the body raises and
// `matches()` takes the pending error, this function's entry is added at the failing line, the
// exception is installed as the one being handled, and `handler(caught)` runs from `line`;
// otherwise the error goes on. When either block returns a Ref, so does the statement: the value
// the function returns, or an empty Ref where that block ends without returning.
template <class Body, class Handler, class Matches>
auto try_except(Cursor& f, Body&& body, int line, Handler&& handler, Matches&& matches) {
    constexpr bool gives_value = !std::is_void_v<std::invoke_result_t<Body&>> ||
                                 !std::is_void_v<std::invoke_result_t<Handler&, ExceptHandler&>>;
    try {
        if constexpr (gives_value) return block_result(body);
        else return body();
    } catch (const PyErrorSet&) {
        if (!matches()) throw;
        f.add_entry();
        ExceptHandler caught;
        f.at(line);
        if constexpr (gives_value) return block_result(handler, caught);
        else return handler(caught);
    }
}

// The same for `except Exception as e`.
template <class Body, class Handler>
auto try_except(Cursor& f, Body&& body, int line, Handler&& handler) {
    return try_except(f, body, line, handler, pending_is_exception);
}

// Helpers of with_block that need no template.
struct EnteredContext {
    Ref exit;
    Ref value;
};
EnteredContext enter_context(const ModuleState& st, PyObject* manager);
// Calls exit with the pending exception: true when it swallowed it (the error is then clear);
// otherwise the exception is pending again and this throws.
bool exit_with_pending(const Cursor& cursor, PyObject* exit);
void exit_clean(PyObject* exit);

template <class Body>
void with_block(Cursor& cursor, int line, Handle manager, Body&& body) {
    cursor.at(line);
    EnteredContext ctx = enter_context(cursor.st, manager);
    try {
        body(ctx.value.get());
    } catch (const PyErrorSet&) {
        try {
            if (exit_with_pending(cursor, ctx.exit.get())) return;
        } catch (const PyErrorSet&) {
            // What leaves the block, the body's exception or one from __exit__, does so from the
            // `with` line.
            cursor.at(line);
            throw;
        }
    }
    cursor.at(line);
    exit_clean(ctx.exit.get());
}

}  // namespace orvelkit::frame
