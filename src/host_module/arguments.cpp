#include "host_module/arguments.hpp"

#include <cstring>
#include <string>
#include <vector>

#include "host_module/graph_types.hpp"

namespace quorl::host {

namespace {

bool raise_missing_arguments(const char* function, const std::vector<const char*>& missing) {
    // Python's own wording: 'a', 'a' and 'b', 'a', 'b', and 'c'.
    std::string message = std::string(function) + "() missing " + std::to_string(missing.size()) +
                          " required positional " + (missing.size() == 1 ? "argument" : "arguments") + ": ";
    for (std::size_t at = 0; at < missing.size(); ++at) {
        if (at != 0) {
            if (missing.size() > 2) message += ',';
            message += at + 1 == missing.size() ? " and " : " ";
        }
        message += '\'';
        message += missing[at];
        message += '\'';
    }
    PyErr_SetString(PyExc_TypeError, message.c_str());
    return false;
}

bool raise_surplus_arguments(const char* function, std::size_t accepted, std::size_t required, Py_ssize_t given) {
    const char* verb = given == 1 ? "was" : "were";
    if (required == accepted) {
        PyErr_Format(PyExc_TypeError, "%s() takes %zu positional arguments but %zd %s given", function, accepted,
                     given, verb);
    } else {
        PyErr_Format(PyExc_TypeError, "%s() takes from %zu to %zu positional arguments but %zd %s given", function,
                     required, accepted, given, verb);
    }
    return false;
}

// The index of the parameter a keyword names, or the parameter count.
std::size_t parameter_named(std::span<const char* const> parameters, PyObject* keyword) {
    std::size_t at = 0;
    while (at < parameters.size() && !(PyUnicode_Check(keyword) &&
                                       PyUnicode_CompareWithASCIIString(keyword, parameters[at]) == 0)) {
        ++at;
    }
    return at;
}

bool is_numpy_bool(PyObject* object, bool& is_numpy) {
    is_numpy = false;
    PyRef name = type_name_of(object);
    if (!name) return false;
    if (PyUnicode_CompareWithASCIIString(name.get(), "bool") != 0 &&
        PyUnicode_CompareWithASCIIString(name.get(), "bool_") != 0) {
        return true;
    }
    PyRef module = PyRef::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(object)), "__module__"));
    if (!module) return false;
    is_numpy = PyUnicode_Check(module.get()) && PyUnicode_CompareWithASCIIString(module.get(), "numpy") == 0;
    return true;
}

// A failing truth value of a boolean-like object becomes the conversion's
// TypeError, with the original error as its cause. Interrupts and exits are
// not conversion failures and pass through.
void raise_missing_bool_conversion(PyObject* object) {
    if (!PyErr_ExceptionMatches(PyExc_Exception)) return;
    PyRef cause = take_raised_exception();
    PyRef name = type_name_of(object);
    if (!name) return;
    PyErr_Format(PyExc_TypeError, "object of type '%U' does not define a '__bool__' conversion", name.get());
    PyRef error = take_raised_exception();
    PyException_SetCause(error.get(), cause.release());
    set_raised_exception(std::move(error));
}

}  // namespace

bool bind_arguments(const char* function, std::span<const char* const> parameters, std::size_t required,
                    PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames, std::span<PyObject*> slots) {
    const Py_ssize_t positional = PyVectorcall_NARGS(nargsf);
    const std::size_t given = static_cast<std::size_t>(positional);
    for (std::size_t at = 0; at < given && at < parameters.size(); ++at) slots[at] = args[at];

    // Keywords are checked before the positional count, as Python does.
    const Py_ssize_t keyword_count = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < keyword_count; ++k) {
        PyObject* keyword = PyTuple_GET_ITEM(kwnames, k);
        const std::size_t at = parameter_named(parameters, keyword);
        if (at == parameters.size()) {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%S'", function, keyword);
            return false;
        }
        if (slots[at] != nullptr) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", function, parameters[at]);
            return false;
        }
        slots[at] = args[positional + k];
    }

    if (given > parameters.size()) return raise_surplus_arguments(function, parameters.size(), required, positional);

    std::vector<const char*> missing;
    for (std::size_t at = 0; at < required; ++at) {
        if (slots[at] == nullptr) missing.push_back(parameters[at]);
    }
    if (!missing.empty()) return raise_missing_arguments(function, missing);
    return true;
}

namespace {

bool extract_text(PyObject* object, std::string_view& value) {
    if (!PyUnicode_Check(object)) {
        raise_cast_error(object, "PyString");
        return false;
    }
    Py_ssize_t size = 0;
    // Caches the UTF-8 form in the string object, which outlives the call.
    // A lone surrogate raises the interpreter's UnicodeEncodeError.
    const char* data = PyUnicode_AsUTF8AndSize(object, &size);
    if (data == nullptr) return false;
    value = std::string_view(data, static_cast<std::size_t>(size));
    return true;
}

}  // namespace

bool Text::convert(const ModuleState&, PyObject* object, Value& value) { return extract_text(object, value); }

bool OptionalText::convert(const ModuleState&, PyObject* object, Value& value) {
    if (object == Py_None) return true;
    std::string_view text;
    if (!extract_text(object, text)) return false;
    value = text;
    return true;
}

bool Flag::convert(const ModuleState&, PyObject* object, Value& value) {
    if (object == Py_None) return true;
    if (object == Py_True || object == Py_False) {
        value = object == Py_True;
        return true;
    }
    // numpy's boolean scalar, recognised by its type without importing numpy.
    bool numpy_bool = false;
    if (!is_numpy_bool(object, numpy_bool)) return false;
    if (!numpy_bool) {
        raise_cast_error(object, "PyBool");
        return false;
    }
    const int truth = PyObject_IsTrue(object);
    if (truth < 0) {
        raise_missing_bool_conversion(object);
        return false;
    }
    value = truth != 0;
    return true;
}

bool OptionalByteCount::convert(const ModuleState&, PyObject* object, Value& value) {
    if (object == Py_None) return true;
    if (!PyLong_Check(object) || PyBool_Check(object)) {
        raise_cast_error(object, "PyInt");
        return false;
    }
    int overflow = 0;
    const long long count = PyLong_AsLongLongAndOverflow(object, &overflow);
    if (count == -1 && PyErr_Occurred() != nullptr) return false;
    if (overflow < 0 || (overflow == 0 && count < 1)) {
        PyErr_SetString(PyExc_ValueError, "expected a positive number of bytes");
        return false;
    }
    value = overflow > 0 ? UINT64_MAX : static_cast<std::uint64_t>(count);
    return true;
}

bool OptionalSeconds::convert(const ModuleState&, PyObject* object, Value& value) {
    if (object == Py_None) return true;
    if (!(PyLong_Check(object) || PyFloat_Check(object)) || PyBool_Check(object)) {
        raise_cast_error(object, "PyFloat");
        return false;
    }
    const double seconds = PyFloat_AsDouble(object);
    if (seconds == -1.0 && PyErr_Occurred() != nullptr) return false;
    if (!(seconds > 0.0)) {  // NaN too
        PyErr_SetString(PyExc_ValueError, "expected a positive number of seconds");
        return false;
    }
    value = seconds;
    return true;
}

bool List::convert(const ModuleState&, PyObject* object, Value& value) {
    if (!PyList_CheckExact(object)) {
        raise_cast_error(object, "PyList");
        return false;
    }
    value = object;
    return true;
}

bool Graph::convert(const ModuleState& state, PyObject* object, Value& value) {
    if (!PyObject_TypeCheck(object, state.graph_type)) {
        raise_cast_error(object, "PyGraph");
        return false;
    }
    value = &graph_of(object);
    return true;
}

bool convert_text_rows(PyObject* object, std::size_t width, bool lists_too, TextRows& rows) {
    if (PyUnicode_Check(object)) {
        PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
        return false;
    }
    if (!PySequence_Check(object)) {
        raise_cast_error(object, "Sequence");
        return false;
    }
    rows.width_ = width;
    // Lists and tuples tell their length without running Python code.
    if (PyList_CheckExact(object) || PyTuple_CheckExact(object)) {
        const auto length = static_cast<std::size_t>(Py_SIZE(object));
        rows.owners_.reserve(length);
        rows.texts_.reserve(length * width);
    }
    PyRef iterator = PyRef::steal(PyObject_GetIter(object));
    if (!iterator) return false;
    while (PyRef element = PyRef::steal(PyIter_Next(iterator.get()))) {
        const bool is_list = lists_too && PyList_Check(element.get());
        if (!is_list && !PyTuple_Check(element.get())) {
            raise_cast_error(element.get(), "PyTuple");
            return false;
        }
        const Py_ssize_t length = Py_SIZE(element.get());
        if (static_cast<std::size_t>(length) != width) {
            PyErr_Format(PyExc_TypeError, "expected tuple of length %zu, but got tuple of length %zd", width, length);
            return false;
        }
        for (Py_ssize_t at = 0; at < length; ++at) {
            PyObject* item = is_list ? PyList_GET_ITEM(element.get(), at) : PyTuple_GET_ITEM(element.get(), at);
            std::string_view text;
            if (!extract_text(item, text)) return false;
            rows.texts_.push_back(text);
            // A list may be changed later, a tuple not: a list's texts are held one by one.
            if (is_list) rows.owners_.push_back(PyRef::borrow(item));
        }
        if (!is_list) rows.owners_.push_back(std::move(element));
        ++rows.rows_;
    }
    return PyErr_Occurred() == nullptr;
}

}  // namespace quorl::host
