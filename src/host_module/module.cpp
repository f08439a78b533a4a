// The module `_quorl`: its functions and its initialisation.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <string_view>
#include <utility>

#include "dot/dot_reader.hpp"
#include "error/quorl_error.hpp"
#include "graph/graph_wrap.hpp"
#include "host_module/arguments.hpp"
#include "host_module/graph_types.hpp"
#include "host_module/host_errors.hpp"
#include "host_module/module_state.hpp"
#include "host_module/py_ref.hpp"

namespace quorl::host {

namespace {

// Every failure of the reader, read failures included, is a parse error.
PyObject* graph_or_error(const ModuleState& state, Failable<GraphWrap> graph) {
    if (!graph) return map_err(state, QuorlError(ErrorKind::Parse, std::move(graph.error())));
    return new_graph(state, std::move(*graph));
}

PyObject* parse_dot(const ModuleState& state, PyObject*, std::string_view path) {
    // The path keeps its length, so a NUL inside it reaches the reader.
    return graph_or_error(state, parse_dot_file(path));
}

PyObject* parse_dot_string(const ModuleState& state, PyObject*, std::string_view content) {
    return graph_or_error(state, parse_dot_content(content));
}

PyObject* graph_from_edges(const ModuleState& state, PyObject*, const TextRows& nodes, const TextRows& edges) {
    GraphWrap graph;
    for (std::size_t at = 0; at < nodes.size(); ++at) {
        const auto node = nodes.row(at);
        graph.ensure_node(node[0], node[1]);
    }
    for (std::size_t at = 0; at < edges.size(); ++at) {
        const auto edge = edges.row(at);
        graph.add_edge_with_modality(edge[0], edge[1], edge[2]);
    }
    return new_graph(state, std::move(graph));
}

constexpr Signature<1> kParseDot{"parse_dot", {"path"}};
constexpr Signature<1> kParseDotString{"parse_dot_string", {"content"}};
constexpr Signature<2> kGraphFromEdges{"graph_from_edges", {"nodes", "edges"}};

constexpr int kFastcall = METH_FASTCALL | METH_KEYWORDS;

// In registration order, after the two classes.
PyMethodDef module_functions[] = {
    {"parse_dot", method_entry<kParseDot, parse_dot, Text>(), kFastcall, "parse_dot(path)\n--\n\n"},
    {"parse_dot_string", method_entry<kParseDotString, parse_dot_string, Text>(), kFastcall,
     "parse_dot_string(content)\n--\n\n"},
    {"graph_from_edges", method_entry<kGraphFromEdges, graph_from_edges, TupleSequence<2>, TupleSequence<3>>(),
     kFastcall, "graph_from_edges(nodes, edges)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

// Sets the module attribute and appends its name to __all__.
bool register_name(PyObject* module, PyObject* all, const char* name, const PyRef& value) {
    if (!value || PyModule_AddObjectRef(module, name, value.get()) < 0) return false;
    PyRef name_object = PyRef::steal(PyUnicode_FromString(name));
    return name_object && PyList_Append(all, name_object.get()) == 0;
}

int exec_module(PyObject* module) {
    ModuleState& state = state_of_module(module);
    state.internal_error = PyErr_NewException("_quorl.InternalError", PyExc_BaseException, nullptr);
    if (state.internal_error == nullptr) return -1;

    PyRef all = PyRef::steal(PyList_New(0));
    if (!all || PyModule_AddObjectRef(module, "__all__", all.get()) < 0) return -1;

    PyRef graph_type = create_graph_type(module);
    if (!register_name(module, all.get(), "PyGraph", graph_type)) return -1;
    state.graph_type = reinterpret_cast<PyTypeObject*>(graph_type.release());

    PyRef cgraph_type = create_cgraph_type(module);
    if (!register_name(module, all.get(), "PyCGraph", cgraph_type)) return -1;
    state.cgraph_type = reinterpret_cast<PyTypeObject*>(cgraph_type.release());

    PyRef module_name = PyRef::steal(PyModule_GetNameObject(module));
    if (!module_name) return -1;
    for (PyMethodDef* function = module_functions; function->ml_name != nullptr; ++function) {
        PyRef object = PyRef::steal(PyCFunction_NewEx(function, module, module_name.get()));
        if (!register_name(module, all.get(), function->ml_name, object)) return -1;
    }
    return 0;
}

int traverse_module(PyObject* module, visitproc visit, void* arg) {
    ModuleState& state = state_of_module(module);
    Py_VISIT(state.graph_type);
    Py_VISIT(state.cgraph_type);
    Py_VISIT(state.internal_error);
    return 0;
}

int clear_module(PyObject* module) {
    ModuleState& state = state_of_module(module);
    Py_CLEAR(state.graph_type);
    Py_CLEAR(state.cgraph_type);
    Py_CLEAR(state.internal_error);
    return 0;
}

void free_module(void* module) { clear_module(static_cast<PyObject*>(module)); }

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(&exec_module)},
    {0, nullptr},
};

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT, "_quorl", "", sizeof(ModuleState), nullptr, module_slots,
    traverse_module,       clear_module, free_module,
};

}  // namespace

}  // namespace quorl::host

PyMODINIT_FUNC PyInit__quorl(void) { return PyModuleDef_Init(&quorl::host::module_definition); }
