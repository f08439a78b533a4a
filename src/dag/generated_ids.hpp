// The ids of the nodes a rewrite makes, and the nodes it removes.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "graph/exclusion.hpp"
#include "graph/graph_wrap.hpp"

namespace quorl {

// The ids follow templates: "*v{n}" for virtual nodes, "#m{group}_{j}" for
// mirrors and "{id}@#m{group}_{j}" for copies below a mirror. A generated id
// never meets the id of another node of the working copy, nor one that a node
// removed from it held (the input's ids included; the scoring pass excludes
// nodes by id): while the template's id is taken, "'" is appended. Template
// ids end in a digit, so the variants of two template ids never meet; and as
// every generated id starts with "*" or "#" or holds "@", an input whose ids
// do neither never causes a variant. The ids of generated nodes reach no text,
// no ordering key and no trace line (those read input nodes only), so a
// variant leaves every output as the template id would.
class GeneratedIds {
public:
    // Per rewrite: the next virtual node's number, the next mirror group.
    std::uint64_t virtual_counter = 0;
    std::uint64_t mirror_group = 0;

    // Adds a node under `id`, a template id, or that id's first free
    // variant; `fill(NodeData&)` writes the rest of its record (see
    // GraphWrap::add_node_if_new).
    template <class Fill>
    NodeIndex add_node(GraphWrap& graph, std::string&& id, Fill&& fill);
    // Removes a live node with its edges; its id stays taken.
    void remove_node(GraphWrap& graph, NodeIndex node);

private:
    // Ids of removed nodes that a generated id could meet.
    IdSet retired_;
};

template <class Fill>
NodeIndex GeneratedIds::add_node(GraphWrap& graph, std::string&& id, Fill&& fill) {
    for (;; id += '\'') {
        if (!retired_.empty() && retired_.contains(id)) continue;
        if (const auto added = graph.add_node_if_new(id, fill)) return *added;
    }
}

}  // namespace quorl
