#include "host_module/graph_types.hpp"

#include <new>
#include <string_view>
#include <type_traits>
#include <utility>

#include "host_module/arguments.hpp"

namespace quorl::host {

namespace {

// An instance of one of the classes: the object header, then what it owns.
template <class Content>
struct HostObject {
    PyObject_HEAD
    Content content;
};

template <class Content>
Content& content_of(PyObject* self) {
    return reinterpret_cast<HostObject<Content>*>(self)->content;
}

template <class Content>
PyObject* new_instance(PyTypeObject* type, Content content) {
    // Construction happens after the allocation succeeded and must not fail half way.
    static_assert(std::is_nothrow_move_constructible_v<Content>);
    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) return nullptr;
    new (&content_of<Content>(self)) Content(std::move(content));
    return self;
}

template <class Content>
void dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    content_of<Content>(self).~Content();
    type->tp_free(self);
    Py_DECREF(type);  // instances of heap types hold a reference to their type
}

// PyGraph

PyObject* node_count(PyObject* self, void*) { return PyLong_FromUnsignedLong(graph_of(self).node_count()); }

PyObject* edge_count(PyObject* self, void*) { return PyLong_FromUnsignedLong(graph_of(self).edge_count()); }

// A new tuple of str from UTF-8 texts; stops at the first that fails.
template <class... Texts>
PyRef text_tuple(const Texts&... texts) {
    PyRef tuple = PyRef::steal(PyTuple_New(sizeof...(Texts)));
    if (!tuple) return {};
    Py_ssize_t filled = 0;
    const auto append = [&](std::string_view text) {
        PyObject* item = text_object(text);
        if (item == nullptr) return false;
        PyTuple_SET_ITEM(tuple.get(), filled++, item);
        return true;
    };
    if (!(append(texts) && ...)) return {};
    return tuple;
}

// A new list of `count` tuples, the i-th made by row(i), for the live slots
// below `bound`.
template <class IsLive, class Row>
PyObject* tuple_list(std::uint32_t count, std::uint32_t bound, IsLive is_live, Row row) {
    PyRef list = PyRef::steal(PyList_New(count));
    if (!list) return nullptr;
    Py_ssize_t filled = 0;
    for (std::uint32_t at = 0; at < bound; ++at) {
        if (!is_live(at)) continue;
        PyRef tuple = row(at);
        if (!tuple) return nullptr;
        PyList_SET_ITEM(list.get(), filled++, tuple.release());
    }
    QUORL_ASSERT(filled == static_cast<Py_ssize_t>(count));
    return list.release();
}

PyObject* node_labels(const ModuleState&, PyObject* self) {
    const GraphWrap& graph = graph_of(self);
    return tuple_list(
        graph.node_count(), graph.node_bound(), [&](NodeIndex node) { return graph.has_node(node); },
        [&](NodeIndex node) {
            const NodeData& data = graph.node_at(node);
            return text_tuple(data.id, data.label);
        });
}

PyObject* edges(const ModuleState&, PyObject* self) {
    const GraphWrap& graph = graph_of(self);
    return tuple_list(
        graph.edge_count(), graph.edge_bound(), [&](EdgeIndex edge) { return graph.has_edge(edge); },
        [&](EdgeIndex edge) {
            const EdgeData& data = graph.edge_at(edge);
            const auto [first, second] = graph.endpoints(edge);
            return text_tuple(data.id, graph.node_at(first).id, graph.node_at(second).id, data.modality);
        });
}

constexpr Signature<0> kNodeLabels{"PyGraph.node_labels", {}};
constexpr Signature<0> kEdges{"PyGraph.edges", {}};

PyMethodDef graph_methods[] = {
    {"node_labels", method_entry<kNodeLabels, node_labels>(), METH_FASTCALL | METH_KEYWORDS,
     "node_labels($self)\n--\n\n"},
    {"edges", method_entry<kEdges, edges>(), METH_FASTCALL | METH_KEYWORDS, "edges($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef graph_attributes[] = {
    {"node_count", node_count, nullptr, nullptr, nullptr},
    {"edge_count", edge_count, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot graph_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(&dealloc<GraphWrap>)},
    {Py_tp_methods, graph_methods},
    {Py_tp_getset, graph_attributes},
    {0, nullptr},
};

// No tp_new: calling the class raises "cannot create '_quorl.PyGraph' instances".
PyType_Spec graph_spec = {"_quorl.PyGraph", sizeof(HostObject<GraphWrap>), 0,
                          Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE,
                          graph_slots};

// PyCGraph

// str() and repr() alike give the text itself.
PyObject* cgraph_text(PyObject* self) { return text_object(content_of<std::string>(self)); }

PyObject* as_str(const ModuleState&, PyObject* self) { return cgraph_text(self); }

constexpr Signature<0> kAsStr{"PyCGraph.as_str", {}};

PyMethodDef cgraph_methods[] = {
    {"as_str", method_entry<kAsStr, as_str>(), METH_FASTCALL | METH_KEYWORDS, "as_str($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot cgraph_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(&dealloc<std::string>)},
    {Py_tp_methods, cgraph_methods},
    {Py_tp_str, reinterpret_cast<void*>(&cgraph_text)},
    {Py_tp_repr, reinterpret_cast<void*>(&cgraph_text)},
    {0, nullptr},
};

PyType_Spec cgraph_spec = {"_quorl.PyCGraph", sizeof(HostObject<std::string>), 0,
                           Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE,
                           cgraph_slots};

PyRef create_type(PyObject* module, PyType_Spec& type_spec) {
    return PyRef::steal(PyType_FromModuleAndSpec(module, &type_spec, nullptr));
}

}  // namespace

PyRef create_graph_type(PyObject* module) { return create_type(module, graph_spec); }

PyRef create_cgraph_type(PyObject* module) { return create_type(module, cgraph_spec); }

PyObject* new_graph(const ModuleState& state, GraphWrap graph) {
    return new_instance(state.graph_type, std::move(graph));
}

PyObject* new_cgraph(const ModuleState& state, std::string text) {
    return new_instance(state.cgraph_type, std::move(text));
}

const GraphWrap& graph_of(PyObject* graph) { return content_of<GraphWrap>(graph); }

PyObject* text_object(std::string_view text) {
    return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
}

PyObject* id_list(const std::vector<std::string>& ids) {
    return list_of(ids, [](const std::string& id) { return text_object(id); });
}

}  // namespace quorl::host
