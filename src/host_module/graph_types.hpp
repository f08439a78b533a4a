// The module's two classes: PyGraph, which owns a graph store, and PyCGraph,
// which owns a canonical text. Neither can be created or changed from Python.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <iterator>
#include <string>
#include <string_view>
#include <vector>

#include "graph/graph_wrap.hpp"
#include "host_module/module_state.hpp"
#include "host_module/py_ref.hpp"

namespace quorl::host {

// The classes, bound to the module that creates them.
PyRef create_graph_type(PyObject* module);
PyRef create_cgraph_type(PyObject* module);

// New instances taking over their content.
PyObject* new_graph(const ModuleState& state, GraphWrap graph);
PyObject* new_cgraph(const ModuleState& state, std::string text);

// The store of a PyGraph instance.
const GraphWrap& graph_of(PyObject* graph);

// A new list holding item(value) for every value; null when an item could not be made.
template <class Values, class Item>
PyObject* list_of(const Values& values, Item&& item) {
    PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(std::size(values))));
    if (!list) return nullptr;
    Py_ssize_t at = 0;
    for (const auto& value : values) {
        PyObject* object = item(value);
        if (object == nullptr) return nullptr;
        PyList_SET_ITEM(list.get(), at++, object);
    }
    return list.release();
}

// A new str of UTF-8 text, and a new list of such str.
PyObject* text_object(std::string_view text);
PyObject* id_list(const std::vector<std::string>& ids);

}  // namespace quorl::host
