#include "host_module/chunk_calls.hpp"

#include <algorithm>
#include <exception>
#include <string>
#include <utility>
#include <vector>

#include "canonize/canonize.hpp"
#include "graph/components.hpp"
#include "host_module/call_setup.hpp"
#include "host_module/engine_call.hpp"
#include "host_module/graph_types.hpp"

namespace quorl::host {

namespace {

// One item of a chunk, and what canonising it gave.
template <class Outcome>
struct ChunkItem {
    const GraphWrap* graph = nullptr;  // the store to canonise: a PyGraph's, or `built` once made
    std::optional<TextRows> nodes;     // a pair of rows, built into `built` without the lock
    std::optional<TextRows> edges;
    std::optional<GraphWrap> built;
    std::optional<LimitedCall> limits;     // made as the item's engine call starts
    std::optional<Result<Outcome>> outcome;  // absent: left to the caller
    std::exception_ptr escaped;
};

bool is_list_or_tuple(PyObject* object) { return PyList_CheckExact(object) || PyTuple_CheckExact(object); }

// Takes the item when the chunk can (see chunk_calls.hpp). Reading rows
// allocates objects, which may start a garbage collection and so run any
// finaliser: what is read is held by references of its own first.
template <class Outcome>
void read_item(const ModuleState& state, PyObject* object, ChunkItem<Outcome>& item) {
    if (PyObject_TypeCheck(object, state.graph_type)) {
        item.graph = &graph_of(object);
        return;
    }
    if (!is_list_or_tuple(object) || Py_SIZE(object) != 2) return;
    const PyRef nodes = PyRef::borrow(PySequence_Fast_GET_ITEM(object, 0));
    const PyRef edges = PyRef::borrow(PySequence_Fast_GET_ITEM(object, 1));
    if (!is_list_or_tuple(nodes.get()) || !is_list_or_tuple(edges.get())) return;
    TextRows node_rows;
    TextRows edge_rows;
    if (!convert_text_rows(nodes.get(), 2, true, node_rows) || !convert_text_rows(edges.get(), 3, true, edge_rows)) {
        PyErr_Clear();  // the caller's road raises the item's own exception
        return;
    }
    item.nodes.emplace(std::move(node_rows));
    item.edges.emplace(std::move(edge_rows));
}

bool has_several_components(const GraphWrap& graph) {
    const std::vector<std::uint32_t> numbers = component_numbers(graph);
    return std::ranges::any_of(numbers, [](std::uint32_t number) { return number != 0; });
}

template <class Outcome>
bool interrupted(const std::optional<Result<Outcome>>& outcome) {
    return outcome && !*outcome && outcome->error().kind() == ErrorKind::Interrupted;
}

// Canonises the items taken, without the lock; the index of the item the
// stop check stopped, if it stopped one. An item is stopped when the check
// had asked to stop before it started or while it ran.
template <class Outcome, class Canonise>
std::optional<std::size_t> canonise_items(std::vector<ChunkItem<Outcome>>& items, const CallLimits& limits,
                                          const StopCheck& stop, const EngineCall& call, Canonise& canonise) {
    for (std::size_t at = 0; at < items.size(); ++at) {
        if (call.stopped()) return at;
        ChunkItem<Outcome>& item = items[at];
        try {
            if (item.nodes) item.graph = &item.built.emplace(graph_of_rows(*item.nodes, *item.edges));
            // The package writes the text of each component of a graph and joins them.
            if (item.graph != nullptr && !has_several_components(*item.graph)) {
                LimitedCall& limited = item.limits.emplace(limits);
                item.outcome = canonise(*item.graph, limited.bound(stop));
            }
        } catch (...) {
            item.escaped = std::current_exception();
        }
        // Freed here rather than once the lock is held again, where freeing would keep the other threads waiting.
        item.built.reset();
        item.graph = nullptr;
        if (interrupted(item.outcome) && call.stopped()) return at;
    }
    return std::nullopt;
}

// The entry of an item that was not stopped; null with the pending exception
// when making it failed.
template <class Outcome, class ToObject>
PyRef entry_of(const ModuleState& state, ChunkItem<Outcome>& item, ToObject& to_object) {
    if (item.escaped) {
        raise_escaped(state, item.escaped);
        return take_raised_exception();
    }
    if (!item.outcome) return PyRef::borrow(Py_None);
    if (!*item.outcome) {
        item.limits->raise(state, item.outcome->error());
        return take_raised_exception();
    }
    PyRef object = PyRef::steal(to_object(**item.outcome));
    return object ? std::move(object) : take_raised_exception();
}

template <class Outcome, class Canonise, class ToObject>
PyObject* canonise_chunk(const ModuleState& state, PyObject* items, const CallLimits& limits, Canonise&& canonise,
                         ToObject&& to_object) {
    const std::optional<TraceSwitches> trace = trace_switches_of_call();
    if (!trace) return nullptr;
    // The items as they are now, whatever a finaliser does to the list while they are read;
    // held until the call returns, they keep the PyGraphs alive while the lock is released.
    const auto count = static_cast<std::size_t>(PyList_GET_SIZE(items));
    std::vector<PyRef> held;
    held.reserve(count);
    for (std::size_t at = 0; at < count; ++at) held.push_back(PyRef::borrow(PyList_GET_ITEM(items, at)));
    std::vector<ChunkItem<Outcome>> read(count);
    for (std::size_t at = 0; at < count; ++at) read_item(state, held[at].get(), read[at]);

    EngineCall call(state);
    if (!call.ready()) return nullptr;
    const auto canonise_traced = [&](const GraphWrap& graph, const StopCheck& stop) {
        return canonise(graph, stop, *trace);
    };
    const std::optional<std::size_t> stopped_at = call.run_released(
        [&](const StopCheck& stop) { return canonise_items(read, limits, stop, call, canonise_traced); });
    PyRef stop_exception;
    if (call.stopped()) {
        // What stopped the chunk: KeyboardInterrupt for the stop flag, else the signal handler's exception.
        stop_exception = take_raised_exception();
        if (!stop_exception) {
            PyErr_SetNone(PyExc_KeyboardInterrupt);
            stop_exception = take_raised_exception();
        }
        // Every item was done before the stop came: no item carries it, so the call does.
        if (!stopped_at) {
            set_raised_exception(std::move(stop_exception));
            return nullptr;
        }
    }

    PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(count)));
    if (!list) return nullptr;
    for (std::size_t at = 0; at < count; ++at) {
        PyRef entry = !stopped_at || at < *stopped_at ? entry_of(state, read[at], to_object)
                      : at == *stopped_at             ? std::move(stop_exception)
                                                      : PyRef::borrow(Py_None);
        if (!entry) {
            if (PyErr_Occurred() != nullptr) return nullptr;
            return raise_internal_fault(state, "a chunk item failed without an exception");
        }
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(at), entry.release());
    }
    return list.release();
}

}  // namespace

PyObject* texts_of_chunk(const ModuleState& state, PyObject*, PyObject* items, std::optional<bool> allow_hashes,
                         std::optional<bool> compress, std::optional<bool> compact,
                         std::optional<std::uint64_t> max_memory, std::optional<double> timeout) {
    return canonise_chunk<std::string>(
        state, items, {max_memory, timeout},
        [&](const GraphWrap& graph, const StopCheck& stop, const TraceSwitches& trace) {
            return to_cgraph(graph, kDefaultCandidateRule, kDefaultBranchRule,
                             allow_hashes.value_or(kDefaultAllowHashes), compress.value_or(kDefaultCompress),
                             compact.value_or(kDefaultCompact), stop, trace);
        },
        [](const std::string& text) { return text_object(text); });
}

PyObject* orders_of_chunk(const ModuleState& state, PyObject*, PyObject* items, std::optional<bool> allow_hashes,
                          std::optional<bool> compact, std::optional<std::uint64_t> max_memory,
                          std::optional<double> timeout) {
    return canonise_chunk<std::vector<std::string>>(
        state, items, {max_memory, timeout},
        [&](const GraphWrap& graph, const StopCheck& stop, const TraceSwitches& trace) {
            return canonical_node_order(graph, kDefaultCandidateRule, kDefaultBranchRule,
                                        allow_hashes.value_or(kDefaultAllowHashes),
                                        compact.value_or(kDefaultCompact), stop, trace);
        },
        [](const std::vector<std::string>& order) { return id_list(order); });
}

}  // namespace quorl::host
