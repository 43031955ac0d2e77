// The one place the interpreter's headers are included, with the version guard the frame relies on.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <frameobject.h>   // PyFrame_New: 3.11's Python.h leaves it out
#include <structmember.h>  // PyMemberDef type codes

#include <cstdint>

// 3.11 through 3.13 are the interpreters the frame is built and tested on; a newer one must fail
// here rather than build against C API the frame was never tested with.
#if PY_VERSION_HEX < 0x030B0000 || PY_VERSION_HEX >= 0x030E0000
#error "the orvelkit frame builds against the C API of CPython 3.11, 3.12 and 3.13"
#endif

namespace orvelkit::frame {

// The interpreter whose headers compiled this library; the exec step compares the running one with it.
inline constexpr int built_major = PY_MAJOR_VERSION;
inline constexpr int built_minor = PY_MINOR_VERSION;

// 3.12 and later tell of a dict's changes through dict watchers; 3.11 has only the version tag,
// which 3.12 deprecates and 3.14 removes.
#define ORVELKIT_HAS_DICT_WATCHERS (PY_VERSION_HEX >= 0x030C0000)

#if !ORVELKIT_HAS_DICT_WATCHERS
// The dict's version tag changes on every mutation, so a value cached with it stays valid while
// the tag is unchanged.
inline std::uint64_t dict_version(PyObject* dict) noexcept {
    return reinterpret_cast<PyDictObject*>(dict)->ma_version_tag;
}
#endif

// The type's version tag, or 0 while it has none. A change to the type or one of its bases resets
// it to 0 on every supported interpreter, and 3.13 no longer sets Py_TPFLAGS_VALID_VERSION_TAG,
// so the tag alone says whether it is valid.
inline unsigned int type_version_tag(PyTypeObject* type) noexcept { return type->tp_version_tag; }

// The attribute a type's MRO gives `name`, borrowed, or null (no error) when none does; assigns
// the type a version tag when it can. Private API, kept behind this one function because no
// interpreter up to 3.14 has a public one that does this: a walk of tp_mro through PyType_GetDict
// (3.12 and later) makes a new reference per base and misses the interpreter's method cache,
// which answers most of these lookups.
inline PyObject* mro_lookup(PyTypeObject* type, PyObject* name) noexcept {
    return _PyType_Lookup(type, name);
}

// An attribute that may be missing: 1 and a new reference when found, 0 and NULL when absent
// (no exception left), -1 on any other error. 3.13 made this public and took away the older
// underscore name.
inline int get_optional_attr(PyObject* obj, PyObject* name, PyObject** result) {
#if PY_VERSION_HEX >= 0x030D0000
    return PyObject_GetOptionalAttr(obj, name, result);
#else
    return _PyObject_LookupAttr(obj, name, result);
#endif
}

}  // namespace orvelkit::frame
