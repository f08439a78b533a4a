// The one argument layer of every module function and method.
//
// A call is handled in two steps, as for a Python function: first the given
// arguments are bound to the parameters of a signature (missing and surplus
// arguments, unexpected and repeated keywords fail here, before any value is
// looked at), then each bound value is converted in parameter order by the
// converter the entry point names for it. The per-function code receives the
// converted C++ values only.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <array>
#include <cstdint>
#include <cstddef>
#include <optional>
#include <span>
#include <string_view>
#include <tuple>
#include <utility>
#include <vector>

#include "graph/graph_wrap.hpp"
#include "host_module/host_errors.hpp"
#include "host_module/module_state.hpp"
#include "host_module/py_ref.hpp"

namespace quorl::host {

// The parameters of a function as the host sees them. The first `required`
// have no default; the rest may be left out.
template <std::size_t Count>
struct Signature {
    const char* name;  // as messages show it, without "()"
    std::array<const char*, Count> parameters;
    std::size_t required = Count;
};

// Binds positional and keyword arguments to parameter slots (borrowed
// references; null for a parameter left out). Raises TypeError and returns
// false for a call that does not fit the signature.
bool bind_arguments(const char* function, std::span<const char* const> parameters, std::size_t required,
                    PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames, std::span<PyObject*> slots);

// Converters. Each gives the C++ type of its value and fills it from a bound
// argument, raising (and returning false) when the argument is refused. The
// values borrow from the arguments, which the caller holds for the call.

// A str (or subclass) as UTF-8.
struct Text {
    using Value = std::string_view;
    static bool convert(const ModuleState& state, PyObject* object, Value& value);
};

// A str, or None for the default.
struct OptionalText {
    using Value = std::optional<std::string_view>;
    static bool convert(const ModuleState& state, PyObject* object, Value& value);
};

// None, True or False; numpy booleans through their truth value.
struct Flag {
    using Value = std::optional<bool>;
    static bool convert(const ModuleState& state, PyObject* object, Value& value);
};

// None, or an int of at least 1 (not a bool): a count of bytes.
struct OptionalByteCount {
    using Value = std::optional<std::uint64_t>;
    static bool convert(const ModuleState& state, PyObject* object, Value& value);
};

// None, or a positive int or float (not a bool): a number of seconds.
struct OptionalSeconds {
    using Value = std::optional<double>;
    static bool convert(const ModuleState& state, PyObject* object, Value& value);
};

// A list (not a subclass), borrowed.
struct List {
    using Value = PyObject*;
    static bool convert(const ModuleState& state, PyObject* object, Value& value);
};

// A PyGraph's store.
struct Graph {
    using Value = const GraphWrap*;
    static bool convert(const ModuleState& state, PyObject* object, Value& value);
};

// The texts of a sequence of equally long tuples of str, row by row. What
// holds the texts is kept (an element tuple, or every text of an element
// list), so that they stay valid whatever the sequence or its lists do
// afterwards, also while the interpreter lock is released.
class TextRows {
public:
    std::size_t size() const { return rows_; }
    std::span<const std::string_view> row(std::size_t at) const {
        return std::span<const std::string_view>(texts_).subspan(at * width_, width_);
    }

private:
    friend bool convert_text_rows(PyObject* object, std::size_t width, bool lists_too, TextRows& rows);
    std::size_t width_ = 0;
    std::size_t rows_ = 0;
    std::vector<PyRef> owners_;
    std::vector<std::string_view> texts_;
};

// With `lists_too`, element lists are taken like tuples.
bool convert_text_rows(PyObject* object, std::size_t width, bool lists_too, TextRows& rows);

template <std::size_t Width>
struct TupleSequence {
    using Value = TextRows;
    static bool convert(const ModuleState&, PyObject* object, Value& value) {
        return convert_text_rows(object, Width, false, value);
    }
};

// Like TupleSequence, also taking lists as elements (as JSON gives them).
template <std::size_t Width>
struct RowSequence {
    using Value = TextRows;
    static bool convert(const ModuleState&, PyObject* object, Value& value) {
        return convert_text_rows(object, Width, true, value);
    }
};

namespace detail {

template <class... Converters, std::size_t... At>
bool convert_all(const ModuleState& state, std::span<const char* const> parameters, std::span<PyObject*> slots,
                 std::tuple<typename Converters::Value...>& values, std::index_sequence<At...>) {
    // Left to right, stopping at the first failure; a parameter left out
    // keeps its empty value.
    [[maybe_unused]] const auto convert_one = [&](auto converter, auto& value, std::size_t at) {
        if (slots[at] == nullptr || decltype(converter)::convert(state, slots[at], value)) return true;
        wrap_argument_error(parameters[at]);
        return false;
    };
    return (convert_one(Converters{}, std::get<At>(values), At) && ...);
}

}  // namespace detail

// The entry point of a function or method with the given signature: binds,
// converts, then calls impl(state, self, values...) inside the firewall.
template <const auto& signature, auto impl, class... Converters>
PyObject* entry(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) noexcept {
    static_assert(signature.parameters.size() == sizeof...(Converters));
    const ModuleState& state = state_of_receiver(self);
    return firewall(state, [&]() -> PyObject* {
        std::array<PyObject*, sizeof...(Converters)> slots{};
        if (!bind_arguments(signature.name, signature.parameters, signature.required, args, nargsf, kwnames, slots)) {
            return nullptr;
        }
        std::tuple<typename Converters::Value...> values;
        if (!detail::convert_all<Converters...>(state, signature.parameters, slots, values,
                                                std::index_sequence_for<Converters...>{})) {
            return nullptr;
        }
        return std::apply([&](auto&... value) { return impl(state, self, value...); }, values);
    });
}

// The entry point as the method table stores it.
template <const auto& signature, auto impl, class... Converters>
PyCFunction method_entry() {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&entry<signature, impl, Converters...>));
}

}  // namespace quorl::host
