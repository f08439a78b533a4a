// How failures cross the boundary between the engine and the interpreter.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <exception>
#include <new>
#include <string_view>

#include "error/quorl_error.hpp"
#include "host_module/module_state.hpp"
#include "host_module/py_ref.hpp"

namespace quorl::host {

// Raises the host exception for an engine error: ValueError with the error's
// display text, one rule for every kind the engine refuses a graph with. An
// interruption leaves the exception that stopped the engine (KeyboardInterrupt,
// say) in place; a call over its memory budget raises MemoryError with the
// error's message. Returns null so that entry points can return its result.
PyObject* map_err(const ModuleState& state, const QuorlError& error);

// Raises the module's InternalError (derived from BaseException) with a message.
PyObject* raise_internal_fault(const ModuleState& state, std::string_view message);

// Raises TypeError "'{type name}' object cannot be cast as '{expected}'".
void raise_cast_error(PyObject* object, const char* expected);

// The name of an object's type as Python shows it (`type(o).__name__`).
PyRef type_name_of(PyObject* object);

// Takes the pending exception off the thread (null when there is none).
PyRef take_raised_exception();

// Sets `exception` (an exception instance) as the pending one.
void set_raised_exception(PyRef exception);

// After a parameter failed to convert: a pending TypeError is replaced by
// TypeError("argument '{name}': {message}") that takes over its __cause__;
// exceptions of every other type are left as they are.
void wrap_argument_error(const char* parameter);

// The one exception firewall of every entry point: no C++ exception reaches
// the interpreter. Out-of-memory becomes MemoryError; a broken invariant or
// any other exception becomes the module's InternalError carrying its message.
template <class Body>
PyObject* firewall(const ModuleState& state, Body&& body) noexcept {
    try {
        return body();
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    } catch (const std::exception& fault) {
        return raise_internal_fault(state, fault.what());
    } catch (...) {
        return raise_internal_fault(state, "unknown internal fault");
    }
}

}  // namespace quorl::host
