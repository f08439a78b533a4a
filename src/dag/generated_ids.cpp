#include "dag/generated_ids.hpp"

#include <utility>

namespace quorl {

namespace {

bool may_meet_generated_id(std::string_view id) {
    return id.starts_with('*') || id.starts_with('#') || id.find('@') != std::string_view::npos;
}

}  // namespace

NodeIndex GeneratedIds::add_node(GraphWrap& graph, NodeData node) {
    for (;; node.id += '\'') {
        if (!retired_.empty() && retired_.contains(node.id)) continue;
        if (const auto added = graph.add_node_if_new(node)) return *added;
    }
}

void GeneratedIds::remove_node(GraphWrap& graph, NodeIndex node) {
    std::string id = graph.node_at(node).id;
    graph.remove_node(id);
    if (may_meet_generated_id(id)) retired_.insert(std::move(id));
}

}  // namespace quorl
