// Ref, the owning handle for one strong reference, and Handle, the borrowed one.
#pragma once

#include "python.h"

#include <type_traits>
#include <utility>

namespace orvelkit::frame {

// A base for what stays where it was made, such as a guard or an owner of a resource that is
// not a reference: neither copied nor moved.
class Pinned {
public:
    Pinned(const Pinned&) = delete;
    Pinned& operator=(const Pinned&) = delete;

protected:
    Pinned() = default;
    ~Pinned() = default;
};

// Owns one strong reference or none. Movable, never copied: a second owner borrows the pointer
// explicitly. A function that only reads an object takes a Handle, which a Ref lends itself to.
class [[nodiscard]] Ref {
public:
    Ref() noexcept = default;
    Ref(Ref&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref& operator=(Ref&& other) noexcept {
        reset(other.release());
        return *this;
    }
    ~Ref() { Py_XDECREF(p_); }

    // For calls documented "New reference".
    static Ref steal(PyObject* p) noexcept { return Ref(p); }
    // For calls documented "Borrowed reference".
    static Ref borrow(PyObject* p) noexcept {
        Py_XINCREF(p);
        return Ref(p);
    }

    PyObject* get() const noexcept { return p_; }
    explicit operator bool() const noexcept { return p_ != nullptr; }
    // Hands the reference to something that steals it (a slot's return value, PyTuple_SET_ITEM).
    PyObject* release() noexcept { return std::exchange(p_, nullptr); }

    // The new pointer goes in before the old one is dropped: the decref may run Python code that
    // reads whatever holds this handle.
    void reset(PyObject* stolen = nullptr) noexcept {
        PyObject* old = p_;
        p_ = stolen;
        Py_XDECREF(old);
    }

private:
    explicit Ref(PyObject* p) noexcept : p_(p) {}
    PyObject* p_ = nullptr;
};

// A borrowed reference: takes no count and drops none, and is valid only while whatever owns the
// object keeps it, which is why it is a parameter and never a field. Made from the pointer of a
// "Borrowed reference" or from a Ref, including a Ref that lives to the end of the caller's
// statement; lends itself to the C API as the plain pointer. Null is a valid value.
class Handle {
public:
    constexpr Handle() noexcept = default;
    constexpr Handle(PyObject* p) noexcept : p_(p) {}
    Handle(const Ref& owner) noexcept : p_(owner.get()) {}

    constexpr PyObject* ptr() const noexcept { return p_; }
    constexpr operator PyObject*() const noexcept { return p_; }

private:
    PyObject* p_ = nullptr;
};

// A list of handles is handed to vectorcall as the argument array it is laid out as.
static_assert(sizeof(Handle) == sizeof(PyObject*) && std::is_standard_layout_v<Handle>);

// The handles of an argument list as the pointer array the interpreter's calls take.
inline PyObject* const* as_array(const Handle* handles) noexcept {
    return reinterpret_cast<PyObject* const*>(handles);
}

}  // namespace orvelkit::frame
