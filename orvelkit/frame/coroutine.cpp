// The coroutine type and its await wrapper.
#include "coroutine.h"
#include "owned_fields.h"

#include <cstddef>

namespace orvelkit::frame {
namespace {

constexpr const char* already_awaited = "cannot reuse already awaited coroutine";
constexpr const char* already_executing = "coroutine already executing";
constexpr const char* non_none_to_new = "can't send non-None value to a just-started coroutine";
constexpr const char* stop_iteration_escaped = "generator raised StopIteration";
constexpr const char* never_awaited = "coroutine '%.50S' was never awaited";

constexpr const char* send_doc =
    "send(arg) -> send 'arg' into coroutine,\nreturn next iterated value or raise StopIteration.";
constexpr const char* throw_doc =
    "throw(typ[,val[,tb]]) -> raise exception in coroutine,\nreturn next iterated value or raise "
    "StopIteration.";
constexpr const char* close_doc = "close() -> raise GeneratorExit inside coroutine.";
constexpr const char* wrapper_send_doc =
    "send(arg) -> send 'arg' into coroutine,\nreturn next yielded value or raise StopIteration.";
constexpr const char* wrapper_throw_doc =
    "throw(typ[,val[,tb]]) -> raise exception in coroutine,\nreturn next yielded value or raise "
    "StopIteration.";
constexpr const char* wrapper_doc = "A wrapper object implementing __await__ for coroutines.";

struct AwaitWrapperObject {
    PyObject_HEAD
    PyObject* coroutine;  // owned
};

// No type check: every caller got the object through these types' own slots.
CoroutineObject* as_coroutine(PyObject* o) { return reinterpret_cast<CoroutineObject*>(o); }
AwaitWrapperObject* as_wrapper(PyObject* o) { return reinterpret_cast<AwaitWrapperObject*>(o); }

PyTypeObject local_coroutine_type = {PyVarObject_HEAD_INIT(nullptr, 0)};
PyTypeObject local_wrapper_type = {PyVarObject_HEAD_INIT(nullptr, 0)};

// A return value leaves a coroutine as StopIteration carrying it. A tuple needs an explicit
// instance, or the exception machinery would spread it over the constructor's arguments.
void set_stop_iteration(PyObject* value) {
    if (value == Py_None) {
        PyErr_SetNone(PyExc_StopIteration);
        return;
    }
    PyObject* exc = PyObject_CallOneArg(PyExc_StopIteration, value);
    if (!exc) return;
    PyErr_SetObject(PyExc_StopIteration, exc);
    Py_DECREF(exc);
}

// A StopIteration escaping the body would end the awaiting coroutine silently; it becomes a
// RuntimeError caused by it.
void replace_stop_iteration() {
    PyObject* value = take_pending();
    PyErr_SetString(PyExc_RuntimeError, stop_iteration_escaped);
    PyObject* replacement = take_pending();
    if (!value || !replacement) {  // normalising fails only for want of memory
        Py_XDECREF(value);
        Py_XDECREF(replacement);
        PyErr_NoMemory();
        return;
    }
    PyException_SetCause(replacement, Py_NewRef(value));
    PyException_SetContext(replacement, value);
    restore_pending(replacement);
}

// A finished coroutine has no frame, as the interpreter's own do not.
void finish(CoroutineObject* coro) {
    coro->state = CoroutineState::finished;
    Py_CLEAR(coro->frame);
}

// Runs the body once. `sent` null: the thrown exception is pending.
PyObject* run_body(CoroutineObject* coro, PyObject* sent) {
    coro->state = CoroutineState::running;
    PyObject* result = coro->body(coro->closure, sent);
    finish(coro);
    if (result) {
        set_stop_iteration(result);
        Py_DECREF(result);
        return nullptr;
    }
    if (PyErr_ExceptionMatches(PyExc_StopIteration)) replace_stop_iteration();
    return nullptr;
}

// The state checks shared by send, next, await and throw. False with the error set.
bool may_resume(CoroutineObject* coro) {
    if (coro->state == CoroutineState::finished) {
        PyErr_SetString(PyExc_RuntimeError, already_awaited);
        return false;
    }
    if (coro->state == CoroutineState::running) {
        PyErr_SetString(PyExc_ValueError, already_executing);
        return false;
    }
    return true;
}

PyObject* coroutine_send_value(PyObject* self, PyObject* value) {
    CoroutineObject* coro = as_coroutine(self);
    if (!may_resume(coro)) return nullptr;
    if (value != Py_None) {
        PyErr_SetString(PyExc_TypeError, non_none_to_new);
        return nullptr;
    }
    return run_body(coro, value);
}

// throw(typ[, val[, tb]]) with the argument rules of generators.
PyObject* coroutine_throw_args(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    // The same wording as generators give; 3.13 keeps its argument checker out of the public headers.
    if (nargs < 1) {
        PyErr_Format(PyExc_TypeError, "throw expected at least 1 argument, got %zd", nargs);
        return nullptr;
    }
    if (nargs > 3) {
        PyErr_Format(PyExc_TypeError, "throw expected at most 3 arguments, got %zd", nargs);
        return nullptr;
    }
    PyObject* thrown = args[0];
    PyObject* value = nargs > 1 ? args[1] : nullptr;
    PyObject* tb = nargs > 2 ? args[2] : nullptr;
    if (tb == Py_None) tb = nullptr;
    if (tb && !PyTraceBack_Check(tb)) {
        PyErr_SetString(PyExc_TypeError, "throw() third argument must be a traceback object");
        return nullptr;
    }
    CoroutineObject* coro = as_coroutine(self);
    if (!may_resume(coro)) return nullptr;
    const bool is_class = PyExceptionClass_Check(thrown);
    if (!is_class && !PyExceptionInstance_Check(thrown)) {
        PyErr_Format(PyExc_TypeError,
                     "exceptions must be classes or instances deriving from BaseException, not %s",
                     Py_TYPE(thrown)->tp_name);
        return nullptr;
    }
    if (!is_class && value && value != Py_None) {
        PyErr_SetString(PyExc_TypeError, "instance exception may not have a separate value");
        return nullptr;
    }
    // From here on the three references are the pending error's, handed over whole.
    PyObject* type;
    PyObject* instance;
    PyObject* traceback;
    if (is_class) {
        type = Py_NewRef(thrown);
        instance = Py_XNewRef(value);
        traceback = Py_XNewRef(tb);
        // Made as the interpreter's own coroutines make a thrown class's instance, on 3.12 and
        // 3.13 too; raising it through PyErr_SetObject instead would chain it to the exception
        // being handled at the throw() call.
        PyErr_NormalizeException(&type, &instance, &traceback);
    } else {
        instance = Py_NewRef(thrown);
        type = Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(thrown)));
        traceback = tb ? Py_NewRef(tb) : PyException_GetTraceback(thrown);
    }
    raise_with_traceback(type, instance, traceback);
    return run_body(coro, nullptr);
}

PyObject* coroutine_close_now(PyObject* self, PyObject* /* unused: METH_NOARGS */) {
    CoroutineObject* coro = as_coroutine(self);
    if (coro->state == CoroutineState::running) {
        PyErr_SetString(PyExc_ValueError, already_executing);
        return nullptr;
    }
    // The body never suspends, so there is nothing to unwind: closing only ends the coroutine.
    finish(coro);
    Py_RETURN_NONE;
}

// ---- coroutine slots ---------------------------------------------------------------------------

PyObject* coroutine_await(PyObject* self) {
    auto* w = PyObject_GC_New(AwaitWrapperObject, &local_wrapper_type);
    if (!w) return nullptr;
    w->coroutine = Py_NewRef(self);
    PyObject_GC_Track(w);
    return reinterpret_cast<PyObject*>(w);
}

// Follows each owned field for the cycle collector.
int coroutine_traverse(PyObject* self, visitproc visit, void* arg) {
    CoroutineObject* c = as_coroutine(self);
    Py_VISIT(c->closure);
    Py_VISIT(c->code);
    Py_VISIT(c->name);
    Py_VISIT(c->qualname);
    Py_VISIT(c->module);
    Py_VISIT(c->globals);
    Py_VISIT(c->frame);
    return 0;
}

int coroutine_clear(PyObject* self) {
    CoroutineObject* c = as_coroutine(self);
    Py_CLEAR(c->closure);
    Py_CLEAR(c->code);
    Py_CLEAR(c->name);
    Py_CLEAR(c->qualname);
    Py_CLEAR(c->module);
    Py_CLEAR(c->globals);
    Py_CLEAR(c->frame);
    return 0;
}

// A coroutine dropped before it ever ran was almost certainly meant to be awaited: say so, as the
// interpreter does for its own coroutines.
void coroutine_finalize(PyObject* self) {
    CoroutineObject* c = as_coroutine(self);
    if (c->state != CoroutineState::not_started || !c->qualname) return;
    ErrorSetAside pending;
    if (PyErr_WarnFormat(PyExc_RuntimeWarning, 1, never_awaited, c->qualname) < 0) {
        PyErr_WriteUnraisable(self);
    }
}

// One allocation path: PyObject_GC_New on the static type. The finaliser must run on a plain
// refcount drop too, not only from the cycle collector, hence the call from dealloc.
void coroutine_dealloc(PyObject* self) {
    PyObject_GC_UnTrack(self);
    if (as_coroutine(self)->weakreflist) PyObject_ClearWeakRefs(self);
    PyObject_GC_Track(self);
    if (PyObject_CallFinalizerFromDealloc(self) < 0) return;  // resurrected
    PyObject_GC_UnTrack(self);
    coroutine_clear(self);
    Py_TYPE(self)->tp_free(self);
}

PyObject* coroutine_get_running(PyObject* self, void*) {
    return PyBool_FromLong(as_coroutine(self)->state == CoroutineState::running);
}
PyObject* coroutine_get_none(PyObject*, void*) { Py_RETURN_NONE; }
// The body runs to its end in the resumption that starts it, so there is never a suspension
// point to be waiting at: not before the start, not while running, not after.
PyObject* coroutine_get_suspended(PyObject*, void*) { Py_RETURN_FALSE; }
// Until the coroutine finishes, a frame of its code over the module's globals, at the definition's
// line: inspect.getcoroutinestate tells a new coroutine from a finished one by it.
PyObject* coroutine_get_frame(PyObject* self, void*) {
    CoroutineObject* c = as_coroutine(self);
    if (c->state == CoroutineState::finished || !c->code || !c->globals) Py_RETURN_NONE;
    if (!c->frame) {
        PyFrameObject* frame = PyFrame_New(
            PyThreadState_Get(), reinterpret_cast<PyCodeObject*>(c->code), c->globals, nullptr);
        if (!frame) return nullptr;
        if (c->frame || c->state == CoroutineState::finished) {
            // Making the frame ran the collector, and something it ran read or finished us.
            Py_DECREF(frame);
            return c->frame ? Py_NewRef(c->frame) : Py_NewRef(Py_None);
        }
        c->frame = reinterpret_cast<PyObject*>(frame);
    }
    return Py_NewRef(c->frame);
}
PyObject* coroutine_get_code(PyObject* self, void*) { return Py_NewRef(as_coroutine(self)->code); }
PyObject* coroutine_get_name(PyObject* self, void*) { return Py_NewRef(as_coroutine(self)->name); }
int coroutine_set_name(PyObject* self, PyObject* value, void*) {
    if (!value || !PyUnicode_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__name__ must be set to a string object");
        return -1;
    }
    Py_XSETREF(as_coroutine(self)->name, Py_NewRef(value));
    return 0;
}
PyObject* coroutine_get_qualname(PyObject* self, void*) {
    return Py_NewRef(as_coroutine(self)->qualname);
}
int coroutine_set_qualname(PyObject* self, PyObject* value, void*) {
    if (!value || !PyUnicode_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__qualname__ must be set to a string object");
        return -1;
    }
    Py_XSETREF(as_coroutine(self)->qualname, Py_NewRef(value));
    return 0;
}

PyObject* coroutine_repr(PyObject* self) {
    return PyUnicode_FromFormat("<orvelkit coroutine %S at %p>", as_coroutine(self)->qualname,
                                self);
}

PyMethodDef coroutine_methods[] = {
    {"send", coroutine_send_value, METH_O, send_doc},
    {"throw", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(coroutine_throw_args)),
     METH_FASTCALL, throw_doc},
    {"close", coroutine_close_now, METH_NOARGS, close_doc},
    {nullptr, nullptr, 0, nullptr},
};

PyMemberDef coroutine_members[] = {
    {"__module__", T_OBJECT, offsetof(CoroutineObject, module), 0, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyGetSetDef coroutine_getset[] = {
    {"cr_running", coroutine_get_running, nullptr, nullptr, nullptr},
    {"cr_suspended", coroutine_get_suspended, nullptr, nullptr, nullptr},
    {"cr_await", coroutine_get_none, nullptr, nullptr, nullptr},
    {"cr_frame", coroutine_get_frame, nullptr, nullptr, nullptr},
    {"cr_code", coroutine_get_code, nullptr, nullptr, nullptr},
    {"__name__", coroutine_get_name, coroutine_set_name, nullptr, nullptr},
    {"__qualname__", coroutine_get_qualname, coroutine_set_qualname, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyAsyncMethods coroutine_async = {coroutine_await, nullptr, nullptr, nullptr};

// ---- await wrapper slots -------------------------------------------------------------------------

PyObject* wrapper_iternext(PyObject* self) {
    return coroutine_send_value(as_wrapper(self)->coroutine, Py_None);
}
PyObject* wrapper_send(PyObject* self, PyObject* value) {
    return coroutine_send_value(as_wrapper(self)->coroutine, value);
}
PyObject* wrapper_throw(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    return coroutine_throw_args(as_wrapper(self)->coroutine, args, nargs);
}
PyObject* wrapper_close(PyObject* self, PyObject*) {
    return coroutine_close_now(as_wrapper(self)->coroutine, nullptr);
}
PyObject* wrapper_reduce(PyObject* self, PyObject*) {
    PyErr_Format(PyExc_TypeError, "cannot pickle '%.200s' object", Py_TYPE(self)->tp_name);
    return nullptr;
}
PyObject* wrapper_new(PyTypeObject*, PyObject*, PyObject*) {
    PyErr_SetString(PyExc_TypeError, "cannot instantiate type, use 'await coroutine' instead");
    return nullptr;
}

// The wrapper holds one reference, its coroutine.
using WrapperFields = OwnedFields<AwaitWrapperObject, &AwaitWrapperObject::coroutine>;

PyMethodDef wrapper_methods[] = {
    {"send", wrapper_send, METH_O, wrapper_send_doc},
    {"throw", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(wrapper_throw)),
     METH_FASTCALL, wrapper_throw_doc},
    {"close", wrapper_close, METH_NOARGS, close_doc},
    {"__reduce__", wrapper_reduce, METH_NOARGS, nullptr},
    {"__reduce_ex__", wrapper_reduce, METH_O, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

void fill_types() {
    PyTypeObject& c = local_coroutine_type;
    c.tp_name = "orvelkit_frame.coroutine";
    c.tp_basicsize = sizeof(CoroutineObject);
    c.tp_dealloc = coroutine_dealloc;
    c.tp_as_async = &coroutine_async;
    c.tp_repr = coroutine_repr;
    c.tp_getattro = PyObject_GenericGetAttr;
    c.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC;
    c.tp_traverse = coroutine_traverse;
    c.tp_clear = coroutine_clear;
    c.tp_weaklistoffset = offsetof(CoroutineObject, weakreflist);
    c.tp_methods = coroutine_methods;
    c.tp_members = coroutine_members;
    c.tp_getset = coroutine_getset;
    c.tp_finalize = coroutine_finalize;

    PyTypeObject& w = local_wrapper_type;
    w.tp_name = "orvelkit_frame.coroutine_wrapper";
    w.tp_basicsize = sizeof(AwaitWrapperObject);
    w.tp_dealloc = WrapperFields::dealloc;
    w.tp_getattro = PyObject_GenericGetAttr;
    w.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC;
    w.tp_doc = wrapper_doc;
    w.tp_traverse = WrapperFields::traverse;
    w.tp_clear = WrapperFields::clear;
    w.tp_iter = PyObject_SelfIter;
    w.tp_iternext = wrapper_iternext;
    w.tp_methods = wrapper_methods;
    w.tp_new = wrapper_new;
}

}  // namespace

CoroutineTypes coroutine_types() {
    if (!local_coroutine_type.tp_name) fill_types();
    CoroutineTypes types;
    types.await_wrapper = shared_type("coroutine_wrapper", &local_wrapper_type);
    types.coroutine = shared_type("coroutine", &local_coroutine_type);
    return types;
}

Ref make_coroutine(const ModuleState& st, CoroutineBody body, PyObject* closure, PyObject* code,
                   PyObject* name, PyObject* qualname, PyObject* module_name) {
    auto* c = PyObject_GC_New(CoroutineObject, st.coroutine_type);
    if (!c) throw_error();
    // No failure from here on: dealloc expects every field initialised.
    c->body = body;
    c->closure = Py_NewRef(closure);
    c->code = Py_NewRef(code);
    c->name = Py_NewRef(name);
    c->qualname = Py_NewRef(qualname);
    c->module = Py_NewRef(module_name);
    c->globals = Py_NewRef(st.dict);
    c->frame = nullptr;
    c->weakreflist = nullptr;
    c->state = CoroutineState::not_started;
    PyObject_GC_Track(c);
    return Ref::steal(reinterpret_cast<PyObject*>(c));
}

}  // namespace orvelkit::frame
