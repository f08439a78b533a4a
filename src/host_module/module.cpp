// The module `_quorl`: its functions and its initialisation.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "canonize/canonize.hpp"
#include "dag/trace.hpp"
#include "dot/dot_reader.hpp"
#include "error/quorl_error.hpp"
#include "graph/components.hpp"
#include "graph/graph_wrap.hpp"
#include "graph/polled_buffers.hpp"
#include "host_module/arguments.hpp"
#include "host_module/call_setup.hpp"
#include "host_module/chunk_calls.hpp"
#include "host_module/engine_call.hpp"
#include "host_module/graph_types.hpp"
#include "host_module/host_errors.hpp"
#include "host_module/module_state.hpp"
#include "host_module/py_ref.hpp"
#include "limits/memory_budget.hpp"

namespace quorl::host {

namespace {

// Every failure of the reader, read failures included, is a parse error.
PyObject* graph_or_error(const ModuleState& state, Failable<GraphWrap> graph) {
    if (!graph) return map_err(state, QuorlError(ErrorKind::Parse, std::move(graph.error())));
    return new_graph(state, std::move(*graph));
}

// Reads without the interpreter lock, so that other threads run while a read
// waits on a pipe; a signal that interrupts the wait is answered at once.
PyObject* read_dot_file(const ModuleState& state, std::string_view path, std::uint64_t max_bytes) {
    EngineCall call(state, SignalPollClock::duration::zero());
    if (!call.ready()) return nullptr;
    // The path keeps its length, so a NUL inside it reaches the reader.
    Failable<GraphWrap> graph =
        call.run_released([&](const StopCheck& stop) { return parse_dot_file(path, max_bytes, stop); });
    if (!graph && PyErr_Occurred() != nullptr) return nullptr;  // stopped: a signal handler raised, or the flag
    return graph_or_error(state, std::move(graph));
}

PyObject* parse_dot(const ModuleState& state, PyObject*, std::string_view path) {
    return read_dot_file(state, path, kDefaultMaxDotBytes);
}

PyObject* parse_dot_limited(const ModuleState& state, PyObject*, std::string_view path,
                            std::optional<std::uint64_t> max_bytes) {
    return read_dot_file(state, path, max_bytes.value_or(kDefaultMaxDotBytes));
}

PyObject* parse_dot_string(const ModuleState& state, PyObject*, std::string_view content) {
    return graph_or_error(state, parse_dot_content(content));
}

PyObject* graph_from_edges(const ModuleState& state, PyObject*, const TextRows& nodes, const TextRows& edges) {
    return new_graph(state, graph_of_rows(nodes, edges));
}

// Private to the package: graph_from_edges that also takes lists as rows and
// builds the store without the interpreter lock, so that threads turning
// plain lists into graphs do not wait for each other.
PyObject* graph_from_rows(const ModuleState& state, PyObject*, const TextRows& nodes, const TextRows& edges) {
    GraphWrap graph = [&] {
        const ReleasedLock released;
        return graph_of_rows(nodes, edges);
    }();
    return new_graph(state, std::move(graph));
}

PyObject* canonical_text(const ModuleState& state, const GraphWrap* graph,
                         std::optional<std::string_view> candidate_rule, std::optional<std::string_view> branch_rule,
                         std::optional<bool> allow_hashes, std::optional<bool> compress, std::optional<bool> compact,
                         const CallLimits& limits) {
    const std::optional<TraceSwitches> trace = trace_switches_of_call();
    if (!trace) return nullptr;
    EngineCall call(state);
    if (!call.ready()) return nullptr;
    LimitedCall limited(limits);
    Result<std::string> text = call.run_released([&](const StopCheck& stop) {
        return to_cgraph(*graph, candidate_rule.value_or(kDefaultCandidateRule),
                         branch_rule.value_or(kDefaultBranchRule), allow_hashes.value_or(kDefaultAllowHashes),
                         compress.value_or(kDefaultCompress), compact.value_or(kDefaultCompact), limited.bound(stop),
                         *trace);
    });
    if (!text) return limited.raise(state, text.error());
    return new_cgraph(state, std::move(*text));
}

PyObject* canonical_order(const ModuleState& state, const GraphWrap* graph,
                          std::optional<std::string_view> candidate_rule, std::optional<std::string_view> branch_rule,
                          std::optional<bool> allow_hashes, std::optional<bool> compact, const CallLimits& limits) {
    const std::optional<TraceSwitches> trace = trace_switches_of_call();
    if (!trace) return nullptr;
    EngineCall call(state);
    if (!call.ready()) return nullptr;
    LimitedCall limited(limits);
    Result<std::vector<std::string>> order = call.run_released([&](const StopCheck& stop) {
        return canonical_node_order(*graph, candidate_rule.value_or(kDefaultCandidateRule),
                                    branch_rule.value_or(kDefaultBranchRule),
                                    allow_hashes.value_or(kDefaultAllowHashes), compact.value_or(kDefaultCompact),
                                    limited.bound(stop), *trace);
    });
    if (!order) return limited.raise(state, order.error());
    return id_list(*order);
}

// The public entry points run under the machine's share of memory and no deadline.
PyObject* to_cgraph_py(const ModuleState& state, PyObject*, const GraphWrap* graph,
                       std::optional<std::string_view> candidate_rule, std::optional<std::string_view> branch_rule,
                       std::optional<bool> allow_hashes, std::optional<bool> compress, std::optional<bool> compact) {
    return canonical_text(state, graph, candidate_rule, branch_rule, allow_hashes, compress, compact, {});
}

PyObject* canonical_node_order_py(const ModuleState& state, PyObject*, const GraphWrap* graph,
                                  std::optional<std::string_view> candidate_rule,
                                  std::optional<std::string_view> branch_rule, std::optional<bool> allow_hashes,
                                  std::optional<bool> compact) {
    return canonical_order(state, graph, candidate_rule, branch_rule, allow_hashes, compact, {});
}

// The package's roads, with limits given per call.
PyObject* to_cgraph_limited(const ModuleState& state, PyObject*, const GraphWrap* graph,
                            std::optional<std::string_view> candidate_rule,
                            std::optional<std::string_view> branch_rule, std::optional<bool> allow_hashes,
                            std::optional<bool> compress, std::optional<bool> compact,
                            std::optional<std::uint64_t> max_memory, std::optional<double> timeout) {
    return canonical_text(state, graph, candidate_rule, branch_rule, allow_hashes, compress, compact,
                          {max_memory, timeout});
}

PyObject* canonical_node_order_limited(const ModuleState& state, PyObject*, const GraphWrap* graph,
                                       std::optional<std::string_view> candidate_rule,
                                       std::optional<std::string_view> branch_rule, std::optional<bool> allow_hashes,
                                       std::optional<bool> compact, std::optional<std::uint64_t> max_memory,
                                       std::optional<double> timeout) {
    return canonical_order(state, graph, candidate_rule, branch_rule, allow_hashes, compact, {max_memory, timeout});
}

// Private to the package, which canonises every component on its own: None
// for a graph of at most one component (the common case, at the cost of one
// scan), else the component number of every node in node_labels() order.
PyObject* component_numbers_py(const ModuleState&, PyObject*, const GraphWrap* graph) {
    const std::vector<std::uint32_t> numbers = component_numbers(*graph);
    std::uint32_t components = 0;
    for (const std::uint32_t number : numbers) components = std::max(components, number + 1);
    if (components <= 1) Py_RETURN_NONE;
    return list_of(numbers, [](std::uint32_t number) { return PyLong_FromUnsignedLong(number); });
}

constexpr Signature<1> kParseDot{"parse_dot", {"path"}};
constexpr Signature<1> kParseDotString{"parse_dot_string", {"content"}};
constexpr Signature<2> kGraphFromEdges{"graph_from_edges", {"nodes", "edges"}};
constexpr Signature<6> kToCgraph{
    "to_cgraph_py", {"graph", "candidate_rule", "branch_rule", "allow_hashes", "compress", "compact"}};
// Only the graph is required; the rest default as when None is given.
constexpr Signature<5> kCanonicalNodeOrder{
    "canonical_node_order_py", {"graph", "candidate_rule", "branch_rule", "allow_hashes", "compact"}, 1};

constexpr Signature<2> kParseDotLimited{"_parse_dot_limited", {"path", "max_bytes"}};
constexpr Signature<8> kToCgraphLimited{"_to_cgraph_limited",
                                        {"graph", "candidate_rule", "branch_rule", "allow_hashes", "compress",
                                         "compact", "max_memory", "timeout"}};
constexpr Signature<7> kCanonicalNodeOrderLimited{
    "_canonical_node_order_limited",
    {"graph", "candidate_rule", "branch_rule", "allow_hashes", "compact", "max_memory", "timeout"}};
constexpr Signature<1> kComponentNumbers{"_component_numbers", {"graph"}};
constexpr Signature<2> kGraphFromRows{"_graph_from_rows", {"nodes", "edges"}};
constexpr Signature<6> kTextsOfChunk{
    "_texts_of_chunk", {"items", "allow_hashes", "compress", "compact", "max_memory", "timeout"}};
constexpr Signature<5> kOrdersOfChunk{
    "_orders_of_chunk", {"items", "allow_hashes", "compact", "max_memory", "timeout"}};

constexpr int kFastcall = METH_FASTCALL | METH_KEYWORDS;

// In registration order, after the two classes.
PyMethodDef module_functions[] = {
    {"parse_dot", method_entry<kParseDot, parse_dot, Text>(), kFastcall, "parse_dot(path)\n--\n\n"},
    {"parse_dot_string", method_entry<kParseDotString, parse_dot_string, Text>(), kFastcall,
     "parse_dot_string(content)\n--\n\n"},
    {"graph_from_edges", method_entry<kGraphFromEdges, graph_from_edges, TupleSequence<2>, TupleSequence<3>>(),
     kFastcall, "graph_from_edges(nodes, edges)\n--\n\n"},
    {"to_cgraph_py",
     method_entry<kToCgraph, to_cgraph_py, Graph, OptionalText, OptionalText, Flag, Flag, Flag>(), kFastcall,
     "to_cgraph_py(graph, candidate_rule, branch_rule, allow_hashes, compress, compact)\n--\n\n"},
    {"canonical_node_order_py",
     method_entry<kCanonicalNodeOrder, canonical_node_order_py, Graph, OptionalText, OptionalText, Flag, Flag>(),
     kFastcall,
     "canonical_node_order_py(graph, candidate_rule=None, branch_rule=None, allow_hashes=None, compact=None)"
     "\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

// Module attributes for the package's own use, not listed in __all__: the
// components of a graph, and the entry points with per-call limits.
PyMethodDef private_functions[] = {
    {"_component_numbers", method_entry<kComponentNumbers, component_numbers_py, Graph>(), kFastcall,
     "_component_numbers(graph)\n--\n\n"},
    {"_graph_from_rows", method_entry<kGraphFromRows, graph_from_rows, RowSequence<2>, RowSequence<3>>(), kFastcall,
     "_graph_from_rows(nodes, edges)\n--\n\n"},
    {"_parse_dot_limited", method_entry<kParseDotLimited, parse_dot_limited, Text, OptionalByteCount>(), kFastcall,
     "_parse_dot_limited(path, max_bytes)\n--\n\n"},
    {"_to_cgraph_limited",
     method_entry<kToCgraphLimited, to_cgraph_limited, Graph, OptionalText, OptionalText, Flag, Flag, Flag,
                  OptionalByteCount, OptionalSeconds>(),
     kFastcall,
     "_to_cgraph_limited(graph, candidate_rule, branch_rule, allow_hashes, compress, compact, max_memory, timeout)"
     "\n--\n\n"},
    {"_canonical_node_order_limited",
     method_entry<kCanonicalNodeOrderLimited, canonical_node_order_limited, Graph, OptionalText, OptionalText, Flag,
                  Flag, OptionalByteCount, OptionalSeconds>(),
     kFastcall,
     "_canonical_node_order_limited(graph, candidate_rule, branch_rule, allow_hashes, compact, max_memory, timeout)"
     "\n--\n\n"},
    {"_texts_of_chunk",
     method_entry<kTextsOfChunk, texts_of_chunk, List, Flag, Flag, Flag, OptionalByteCount, OptionalSeconds>(),
     kFastcall, "_texts_of_chunk(items, allow_hashes, compress, compact, max_memory, timeout)\n--\n\n"},
    {"_orders_of_chunk",
     method_entry<kOrdersOfChunk, orders_of_chunk, List, Flag, Flag, OptionalByteCount, OptionalSeconds>(),
     kFastcall, "_orders_of_chunk(items, allow_hashes, compact, max_memory, timeout)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

// Sets the module attribute and appends its name to __all__.
bool register_name(PyObject* module, PyObject* all, const char* name, const PyRef& value) {
    if (!value || PyModule_AddObjectRef(module, name, value.get()) < 0) return false;
    PyRef name_object = PyRef::steal(PyUnicode_FromString(name));
    return name_object && PyList_Append(all, name_object.get()) == 0;
}

int exec_module(PyObject* module) {
    // So that a call of millions of nodes answers Ctrl-C within its polls.
    merge_small_blocks_when_freed();
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
    // Catchable by name; not one of the names that __all__ lists.
    if (PyModule_AddObjectRef(module, "InternalError", state.internal_error) < 0) return -1;
    for (PyMethodDef* function = private_functions; function->ml_name != nullptr; ++function) {
        PyRef object = PyRef::steal(PyCFunction_NewEx(function, module, module_name.get()));
        if (!object || PyModule_AddObjectRef(module, function->ml_name, object.get()) < 0) return -1;
    }

    // Private, not in __all__: how the package stops calls running on its worker threads.
    PyRef stop_flag_type = create_stop_flag_type(module);
    if (!stop_flag_type || PyModule_AddObjectRef(module, "_StopFlag", stop_flag_type.get()) < 0) return -1;
    state.stop_flag_type = reinterpret_cast<PyTypeObject*>(stop_flag_type.release());
    PyRef current_stop_flag = create_current_stop_flag();
    if (!current_stop_flag || PyModule_AddObjectRef(module, "_current_stop_flag", current_stop_flag.get()) < 0) {
        return -1;
    }
    state.current_stop_flag = current_stop_flag.release();
    return 0;
}

int traverse_module(PyObject* module, visitproc visit, void* arg) {
    ModuleState& state = state_of_module(module);
    Py_VISIT(state.graph_type);
    Py_VISIT(state.cgraph_type);
    Py_VISIT(state.internal_error);
    Py_VISIT(state.stop_flag_type);
    Py_VISIT(state.current_stop_flag);
    return 0;
}

int clear_module(PyObject* module) {
    ModuleState& state = state_of_module(module);
    Py_CLEAR(state.graph_type);
    Py_CLEAR(state.cgraph_type);
    Py_CLEAR(state.internal_error);
    Py_CLEAR(state.stop_flag_type);
    Py_CLEAR(state.current_stop_flag);
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
