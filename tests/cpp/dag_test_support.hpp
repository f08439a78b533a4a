// Graph builders, a line dump of a store and trace capture for the tests of
// the DAG rewrite.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>
#include <optional>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "graph/graph_wrap.hpp"

namespace quorl::testing {

// Sanitized builds run about fifty times slower and reserve far more address
// space than they use; tests of pass limits and memory limits skip there.
#if defined(__SANITIZE_ADDRESS__)
inline constexpr bool kSanitized = true;
#else
inline constexpr bool kSanitized = false;
#endif

struct NodeDef {
    std::string id;
    std::string label;
};

struct EdgeDef {
    std::string first;
    std::string second;
    std::string modality = "1";
};

// Nodes first (in the given order), then edges.
inline GraphWrap make_graph(const std::vector<NodeDef>& nodes, const std::vector<EdgeDef>& edges) {
    GraphWrap graph;
    for (const NodeDef& node : nodes) graph.ensure_node(node.id, node.label);
    for (const EdgeDef& edge : edges) graph.add_edge_with_modality(edge.first, edge.second, edge.modality);
    return graph;
}

// One line per live node ("index id [label] floor flags") and per live edge
// ("index id first-second :modality"), in index order.
inline std::vector<std::string> dump(const GraphWrap& graph) {
    std::vector<std::string> lines;
    for (NodeIndex n = 0; n < graph.node_bound(); ++n) {
        const NodeData* node = graph.node(n);
        if (node == nullptr) continue;
        std::ostringstream line;
        line << "n" << n << " " << node->id << " [" << node->label << "]";
        if (node->meta.floor) line << " f" << *node->meta.floor;
        if (node->meta.is_mirror) line << " mirror#" << node->meta.mirror_seq.value_or(0);
        if (node->meta.is_virtual) line << " virtual";
        if (node->meta.origin) line << " {" << *node->meta.origin << "}";
        lines.push_back(line.str());
    }
    for (EdgeIndex e = 0; e < graph.edge_bound(); ++e) {
        if (!graph.has_edge(e)) continue;
        const auto [first, second] = graph.endpoints(e);
        lines.push_back("e" + std::to_string(e) + " " + graph.edge_at(e).id + " " + graph.node_at(first).id + "-" +
                        graph.node_at(second).id + " :" + graph.edge_at(e).modality);
    }
    return lines;
}

// Sets an environment variable for the life of the object (nullopt unsets it).
class ScopedEnv {
public:
    ScopedEnv(const char* name, std::optional<std::string> value) : name_(name) {
        if (const char* old = std::getenv(name)) old_ = old;
        set(value);
    }
    ~ScopedEnv() { set(old_); }
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
    void set(const std::optional<std::string>& value) {
        if (value) {
            ::setenv(name_, value->c_str(), 1);
        } else {
            ::unsetenv(name_);
        }
    }
    const char* name_;
    std::optional<std::string> old_;
};

// The lines written to standard output while `body` runs.
inline std::vector<std::string> captured_lines(const std::function<void()>& body) {
    ::testing::internal::CaptureStdout();
    body();
    std::istringstream output(::testing::internal::GetCapturedStdout());
    std::vector<std::string> lines;
    for (std::string line; std::getline(output, line);) lines.push_back(line);
    return lines;
}

}  // namespace quorl::testing
