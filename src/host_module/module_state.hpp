// What the module keeps per module object: its classes and its fault type.
// Nothing lives in statics, so every interpreter and every re-import gets its own.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace quorl::host {

struct ModuleState {
    PyTypeObject* graph_type;    // PyGraph
    PyTypeObject* cgraph_type;   // PyCGraph
    PyObject* internal_error;    // raised for a fault inside the engine; derives from BaseException
    PyTypeObject* stop_flag_type;  // _StopFlag
    PyObject* current_stop_flag;   // the context variable holding the thread's _StopFlag
};

inline ModuleState& state_of_module(PyObject* module) { return *static_cast<ModuleState*>(PyModule_GetState(module)); }

// The state of the module that defined the class of `self`, for methods.
inline ModuleState& state_of_instance(PyObject* self) {
    return *static_cast<ModuleState*>(PyType_GetModuleState(Py_TYPE(self)));
}

// The state for the receiver of a call: the module itself for module
// functions, an instance of one of the module's classes for methods.
inline ModuleState& state_of_receiver(PyObject* self) {
    return PyModule_Check(self) ? state_of_module(self) : state_of_instance(self);
}

}  // namespace quorl::host
