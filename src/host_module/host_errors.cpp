#include "host_module/host_errors.hpp"

#include <cstring>
#include <string>

namespace quorl::host {

namespace {

// Engine texts are UTF-8; an invalid byte (from an operating-system message,
// say) must not turn the error into a decoding error, so it is replaced.
PyRef text_object(std::string_view text) {
    return PyRef::steal(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
}

}  // namespace

PyObject* raise_internal_fault(const ModuleState& state, std::string_view message) {
    PyRef text = text_object(message);
    if (text) PyErr_SetObject(state.internal_error, text.get());
    return nullptr;
}

PyObject* raise_escaped(const ModuleState& state, const std::exception_ptr& exception) noexcept {
    const Escaped escaped = classify_escaped(exception);
    if (escaped.kind == EscapedKind::OutOfMemory) return PyErr_NoMemory();
    return raise_internal_fault(state, escaped.message);
}

PyObject* map_err(const ModuleState& state, const QuorlError& error) {
    if (error.kind() == ErrorKind::Interrupted) {
        // The stop check answered true: a signal handler raised, or the stop
        // flag was set and the call made KeyboardInterrupt pending.
        if (PyErr_Occurred() == nullptr) return raise_internal_fault(state, "interrupted without a pending exception");
        return nullptr;
    }
    if (error.kind() == ErrorKind::OutOfMemory) {
        PyRef text = text_object(error.message());
        if (text) PyErr_SetObject(PyExc_MemoryError, text.get());
        return nullptr;
    }
    PyRef text = text_object(error.display());
    if (text) PyErr_SetObject(PyExc_ValueError, text.get());
    return nullptr;
}

PyRef type_name_of(PyObject* object) {
    PyTypeObject* type = Py_TYPE(object);
    if (PyType_HasFeature(type, Py_TPFLAGS_HEAPTYPE)) {
        return PyRef::borrow(reinterpret_cast<PyHeapTypeObject*>(type)->ht_name);
    }
    // A static type's tp_name holds its module path before the last dot.
    const char* name = type->tp_name;
    if (const char* dot = std::strrchr(name, '.')) name = dot + 1;
    return PyRef::steal(PyUnicode_FromString(name));
}

void raise_cast_error(PyObject* object, const char* expected) {
    PyRef name = type_name_of(object);
    if (name) PyErr_Format(PyExc_TypeError, "'%U' object cannot be cast as '%s'", name.get(), expected);
}

PyRef take_raised_exception() {
#if PY_VERSION_HEX >= 0x030C0000
    return PyRef::steal(PyErr_GetRaisedException());
#else
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    if (type == nullptr) return {};
    PyErr_NormalizeException(&type, &value, &traceback);
    if (traceback != nullptr) PyException_SetTraceback(value, traceback);
    Py_XDECREF(traceback);
    Py_DECREF(type);
    return PyRef::steal(value);
#endif
}

void set_raised_exception(PyRef exception) {
#if PY_VERSION_HEX >= 0x030C0000
    PyErr_SetRaisedException(exception.release());
#else
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(exception.get()));
    Py_INCREF(type);
    PyErr_Restore(type, exception.release(), nullptr);
#endif
}

void wrap_argument_error(const char* parameter) {
    if (PyErr_Occurred() != PyExc_TypeError) return;
    PyRef original = take_raised_exception();
    PyRef message = PyRef::steal(PyObject_Str(original.get()));
    if (!message) return;
    PyRef text = PyRef::steal(PyUnicode_FromFormat("argument '%s': %U", parameter, message.get()));
    if (!text) return;
    PyRef replacement = PyRef::steal(PyObject_CallOneArg(PyExc_TypeError, text.get()));
    if (!replacement) return;
    if (PyObject* cause = PyException_GetCause(original.get())) {
        PyException_SetCause(replacement.get(), cause);  // steals the new reference
    }
    set_raised_exception(std::move(replacement));
}

}  // namespace quorl::host
