// Multi-phase initialisation of a module library: the create and exec steps driven by its state,
// and the module definition PyInit_<name> hands the interpreter.
#pragma once

#include "module_state.h"

namespace orvelkit::frame {

// The create and exec slots of a module, driven by its state. Both follow the C convention.
PyObject* create_module(ModuleState& st, PyObject* spec) noexcept;
int exec_module(ModuleState& st, PyObject* module) noexcept;

using CreateSlot = PyObject* (*)(PyObject* spec, PyModuleDef* definition);
using ExecSlot = int (*)(PyObject* module);

// The module definition (name, no documentation, no per-module state, no methods, the two slots),
// made once for the library's one module. Borrowed.
PyObject* module_definition(ModuleState& st, CreateSlot create, ExecSlot exec) noexcept;

// The interpreter hands the slots nothing of ours; each is made for its state instead.
template <auto& St>
PyObject* create_slot(PyObject* spec, PyModuleDef*) noexcept {
    return create_module(St, spec);
}
template <auto& St>
int exec_slot(PyObject* module) noexcept {
    return exec_module(St, module);
}

// What PyInit_<name> returns for the library whose state is `St`.
template <auto& St>
PyObject* module_definition() noexcept {
    return module_definition(St, create_slot<St>, exec_slot<St>);
}

}  // namespace orvelkit::frame
