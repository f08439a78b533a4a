// How failures cross the boundary between the engine and the interpreter.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <exception>
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

// Raises the host exception for an exception that escaped the engine:
// MemoryError when it ran out of memory (a string or vector too long to hold
// included), otherwise the module's InternalError carrying its message.
PyObject* raise_escaped(const ModuleState& state, const std::exception_ptr& exception) noexcept;

// The one exception firewall of every entry point: no C++ exception reaches
// the interpreter.
template <class Body>
PyObject* firewall(const ModuleState& state, Body&& body) noexcept {
    try {
        return body();
    } catch (...) {
        return raise_escaped(state, std::current_exception());
    }
}

}  // namespace quorl::host
