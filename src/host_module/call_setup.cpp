#include "host_module/call_setup.hpp"

namespace quorl::host {

GraphWrap graph_of_rows(const TextRows& nodes, const TextRows& edges) {
    GraphWrap graph;
    for (std::size_t at = 0; at < nodes.size(); ++at) {
        const auto node = nodes.row(at);
        graph.ensure_node(node[0], node[1]);
    }
    for (std::size_t at = 0; at < edges.size(); ++at) {
        const auto edge = edges.row(at);
        graph.add_edge_with_modality(edge[0], edge[1], edge[2]);
    }
    return graph;
}

std::optional<TraceSwitches> trace_switches_of_call() {
    // With QUORL_TRACE off, as it mostly is, every switch is off: one read of
    // the environment instead of the two that reading both switches takes.
    if (!trace_enabled()) return TraceSwitches{};
    const TraceSwitches trace = TraceSwitches::from_environment();
    PyObject* out = PySys_GetObject("stdout");  // borrowed
    if (out == nullptr || out == Py_None) return trace;
    if (!PyRef::steal(PyObject_CallMethod(out, "flush", nullptr))) return std::nullopt;
    return trace;
}

}  // namespace quorl::host
