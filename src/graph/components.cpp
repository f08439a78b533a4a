#include "graph/components.hpp"

namespace quorl {

std::vector<std::uint32_t> component_numbers(const GraphWrap& graph) {
    constexpr std::uint32_t kUnassigned = kNoIndex;
    std::vector<std::uint32_t> component_of_slot(graph.node_bound(), kUnassigned);
    std::vector<NodeIndex> stack;
    std::uint32_t components = 0;
    for (NodeIndex start = 0; start < graph.node_bound(); ++start) {
        if (!graph.has_node(start) || component_of_slot[start] != kUnassigned) continue;
        const std::uint32_t component = components++;
        component_of_slot[start] = component;
        stack.push_back(start);
        while (!stack.empty()) {
            const NodeIndex node = stack.back();
            stack.pop_back();
            graph.for_each_incident(node, [&](EdgeIndex, NodeIndex neighbour) {
                if (component_of_slot[neighbour] != kUnassigned) return;
                component_of_slot[neighbour] = component;
                stack.push_back(neighbour);
            });
        }
    }
    std::vector<std::uint32_t> numbers;
    numbers.reserve(graph.node_count());
    for (NodeIndex node = 0; node < graph.node_bound(); ++node) {
        if (graph.has_node(node)) numbers.push_back(component_of_slot[node]);
    }
    return numbers;
}

}  // namespace quorl
