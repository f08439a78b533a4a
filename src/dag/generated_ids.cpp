#include "dag/generated_ids.hpp"

#include <utility>

namespace quorl {

namespace {

bool may_meet_generated_id(std::string_view id) {
    return id.starts_with('*') || id.starts_with('#') || id.find('@') != std::string_view::npos;
}

}  // namespace

void GeneratedIds::remove_node(GraphWrap& graph, NodeIndex node) {
    std::string id = graph.node_at(node).id;
    graph.remove_node(id);
    if (may_meet_generated_id(id)) retired_.insert(std::move(id));
}

}  // namespace quorl
