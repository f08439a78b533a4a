// Decodes bytes into a small labelled multigraph and runs the whole
// canonisation on it: the canonical text under every combination of
// allow_hashes, compress and compact, and the canonical node order. Checks,
// besides sanitizer findings: the graph built twice gives the same text (when
// no label or modality holds a brace, the compressed text of one copy is the
// plain text of the other with its outermost brace groups compressed); no
// call changes its input graph; text and order fail together; the order lists
// the ids of the first listed node's component, each once as given, and is
// empty only for an empty graph.
// The input format is that of fuzz_graph.hpp.
#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "canonize/canonize.hpp"
#include "canonize/group_compression.hpp"
#include "fuzz_graph.hpp"
#include "graph_snapshot.hpp"

namespace {

using quorl::fuzz::Budget;
using quorl::fuzz::check_same_outcome;
using quorl::fuzz::Clock;
using quorl::fuzz::decode_graph;
using quorl::fuzz::interrupted;
using quorl::fuzz::snapshot;

constexpr std::string_view kCandidateRule = "$degree";
constexpr std::string_view kBranchRule = "$depth > tree.parent_modality > $lexic";

// Without braces in labels and modalities, the brace groups of a text are
// exactly the writer's: the outermost balanced ones.
bool holds_braces(const quorl::GraphWrap& graph) {
    const auto braced = [](std::string_view text) { return text.find_first_of("{}") != std::string_view::npos; };
    for (quorl::NodeIndex node = 0; node < graph.node_bound(); ++node) {
        if (graph.has_node(node) && braced(graph.node_at(node).label)) return true;
    }
    for (quorl::EdgeIndex edge = 0; edge < graph.edge_bound(); ++edge) {
        if (graph.has_edge(edge) && braced(graph.edge_at(edge).modality)) return true;
    }
    return false;
}

std::vector<quorl::TextSpan> outermost_groups(std::string_view text) {
    std::vector<quorl::TextSpan> groups;
    std::size_t depth = 0;
    std::size_t begin = 0;
    for (std::size_t at = 0; at < text.size(); ++at) {
        if (text[at] == '{' && depth++ == 0) begin = at + 1;
        if (text[at] == '}' && depth > 0 && --depth == 0) groups.push_back({begin, at - begin});
    }
    return groups;
}

// The ids of the nodes connected to `root`, the root's included.
std::set<std::string_view> component_ids(const quorl::GraphWrap& graph, quorl::NodeIndex root) {
    std::vector<bool> reached(graph.node_bound(), false);
    std::vector<quorl::NodeIndex> stack{root};
    reached[root] = true;
    std::set<std::string_view> ids;
    while (!stack.empty()) {
        const quorl::NodeIndex node = stack.back();
        stack.pop_back();
        ids.insert(graph.node_at(node).id);
        graph.for_each_incident(node, [&](quorl::EdgeIndex, quorl::NodeIndex other) {
            if (!reached[other]) {
                reached[other] = true;
                stack.push_back(other);
            }
        });
    }
    return ids;
}

void check_order(const quorl::GraphWrap& graph, const std::vector<std::string>& order) {
    // The root is a node of the graph, never a mirror or virtual node.
    QUORL_FUZZ_CHECK(graph.node_count() == 0 || !order.empty());
    if (order.empty()) return;
    const std::optional<quorl::NodeIndex> root = graph.find_node(order.front());
    QUORL_FUZZ_CHECK(root.has_value());
    // Mirrors, copies and compact join nodes all count as the input node they stand for.
    const std::set<std::string_view> listed(order.begin(), order.end());
    QUORL_FUZZ_CHECK(listed.size() == order.size());
    QUORL_FUZZ_CHECK(listed == component_ids(graph, *root));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto input_deadline = Clock::now() + quorl::fuzz::kTimePerInput;
    const quorl::GraphWrap graph = decode_graph(data, size);
    const quorl::GraphWrap same_graph = decode_graph(data, size);
    const std::string before = snapshot(graph);
    QUORL_FUZZ_CHECK(before == snapshot(same_graph));

    // Per combination of compact and allow_hashes: the plain text of one copy
    // of the graph, the compressed text of the other (the same graph gives the
    // same text), and the order.
    // Compact resolution first: it is cheap, expanded resolution may use up the time.
    for (const bool compact : {true, false}) {
        for (const bool allow_hashes : {false, true}) {
            Budget budget(input_deadline);
            const auto text = quorl::to_cgraph(graph, kCandidateRule, kBranchRule, allow_hashes, false, compact,
                                               budget.stop_check());
            QUORL_FUZZ_CHECK(snapshot(graph) == before);
            if (interrupted(text)) continue;

            Budget compressed_budget(input_deadline);
            const auto compressed = quorl::to_cgraph(same_graph, kCandidateRule, kBranchRule, allow_hashes, true,
                                                     compact, compressed_budget.stop_check());
            QUORL_FUZZ_CHECK(snapshot(same_graph) == before);
            if (!interrupted(compressed) && holds_braces(graph)) {
                QUORL_FUZZ_CHECK(compressed.has_value() == text.has_value());
            } else if (!interrupted(compressed)) {
                check_same_outcome(
                    text ? quorl::Result<std::string>(quorl::compress_groups(*text, outermost_groups(*text)))
                         : quorl::Result<std::string>(std::unexpected(text.error())),
                    compressed);
            }

            Budget order_budget(input_deadline);
            const auto order = quorl::canonical_node_order(graph, kCandidateRule, kBranchRule, allow_hashes, compact,
                                                           order_budget.stop_check());
            QUORL_FUZZ_CHECK(snapshot(graph) == before);
            if (interrupted(order)) continue;
            // The order comes from the same root choice as the text, so both fail or neither.
            QUORL_FUZZ_CHECK(order.has_value() == text.has_value());
            if (order) check_order(graph, *order);
        }
    }
    return 0;
}
