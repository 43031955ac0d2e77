// The one place the interpreter's headers are included, with the version guard the frame relies on.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <frameobject.h>   // PyFrame_New: 3.11's Python.h leaves it out
#include <structmember.h>  // PyMemberDef type codes

#include <cstdint>

#if PY_VERSION_HEX < 0x030B0000 || PY_VERSION_HEX >= 0x030C0000
#error "the orvelkit frame is written against the CPython 3.11 C API"
#endif

namespace orvelkit::frame {

// The interpreter whose headers compiled this library; the exec step compares the running one with it.
inline constexpr int built_major = PY_MAJOR_VERSION;
inline constexpr int built_minor = PY_MINOR_VERSION;

// The dict's version tag changes on every mutation, so a value cached with it stays valid while
// the tag is unchanged. The field leaves the public struct after 3.11.
inline std::uint64_t dict_version(PyObject* dict) noexcept {
    return reinterpret_cast<PyDictObject*>(dict)->ma_version_tag;
}

}  // namespace orvelkit::frame
