// Ref: the owning handle for one strong reference, and the conventions for borrowed pointers.
#pragma once

#include "python.h"

#include <utility>

namespace orvelkit::frame {

// Owns one strong reference or none. Movable, never copied: a second owner borrows the pointer
// explicitly. Plain PyObject* parameters are borrowed everywhere in the frame.
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

}  // namespace orvelkit::frame
