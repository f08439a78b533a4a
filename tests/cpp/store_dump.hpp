// A full text of a graph store, to tell whether a call changed it.
#pragma once

#include <string>

#include "graph/graph_wrap.hpp"

namespace quorl::testing {

// Every slot of the store with the metadata the canonisation stages write,
// the counts and the edge counter: equal dumps mean an unchanged store.
inline std::string store_text(const GraphWrap& graph) {
    std::string text = "nodes " + std::to_string(graph.node_count()) + " edges " +
                       std::to_string(graph.edge_count()) + " counter " + std::to_string(graph.edge_counter()) + "\n";
    for (NodeIndex n = 0; n < graph.node_bound(); ++n) {
        const NodeData* data = graph.node(n);
        if (data == nullptr) {
            text += "-\n";
            continue;
        }
        text += data->id + " " + data->label + " floor " +
                (data->meta.floor ? std::to_string(*data->meta.floor) : "none") + " source " +
                data->meta.prune_source.value_or("none") + " sources";
        for (const std::string& source : data->meta.prune_sources) text += " " + source;
        text += data->meta.is_mirror ? " mirror" : "";
        text += data->meta.is_virtual ? " virtual" : "";
        text += " lists";
        for (const End list : {End::First, End::Second}) {
            for (EdgeIndex e = graph.list_head(n, list); e != kNoIndex; e = graph.next_in_list(e, list)) {
                text += " " + std::to_string(e);
            }
            text += " |";
        }
        text += "\n";
    }
    for (EdgeIndex e = 0; e < graph.edge_bound(); ++e) {
        const EdgeData* data = graph.edge(e);
        if (data == nullptr) {
            text += "-\n";
            continue;
        }
        const auto [first, second] = graph.endpoints(e);
        text += data->id + " " + std::to_string(first) + "-" + std::to_string(second) + " " + data->modality + "\n";
    }
    for (NodeIndex n = 0; n < graph.node_bound(); ++n) {
        const NodeData* data = graph.node(n);
        if (data != nullptr && graph.find_node(data->id) != n) text += "index broken at " + data->id + "\n";
    }
    return text;
}

}  // namespace quorl::testing
