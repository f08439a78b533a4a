// Decodes bytes into a small labelled multigraph and runs the whole
// canonisation on it: the canonical text under every combination of
// allow_hashes, compress and compact, and the canonical node order. Checks,
// besides sanitizer findings: the graph built twice gives the same text (the
// compressed text of one copy is the plain text of the other, compressed);
// no call changes its input graph; text and order fail together; the order
// lists base ids (the part before the first "@") of the graph's nodes, each
// once, and is empty only for an empty graph.
// The input format is that of fuzz_graph.hpp.
#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdint>
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

std::string_view base_id(std::string_view id) { return id.substr(0, id.find('@')); }

void check_order(const quorl::GraphWrap& graph, const std::vector<std::string>& order) {
    std::set<std::string_view> base_ids;
    for (quorl::NodeIndex node = 0; node < graph.node_bound(); ++node) {
        if (graph.has_node(node)) base_ids.insert(base_id(graph.node_at(node).id));
    }
    std::set<std::string_view> listed;
    for (const std::string& id : order) {
        QUORL_FUZZ_CHECK(base_ids.contains(id));
        QUORL_FUZZ_CHECK(listed.insert(id).second);
    }
    // The root is a node of the graph, never a mirror or virtual node.
    QUORL_FUZZ_CHECK(graph.node_count() == 0 || !order.empty());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto input_deadline = Clock::now() + quorl::fuzz::kTimePerInput;
    const quorl::GraphWrap graph = decode_graph(data, size);
    const quorl::GraphWrap same_graph = decode_graph(data, size);
    const std::string before = snapshot(graph);
    QUORL_FUZZ_CHECK(before == snapshot(same_graph));

    // Per combination of compact and allow_hashes: the plain text of one copy
    // of the graph, the compressed text of the other (which must be the plain
    // text compressed: the same graph gives the same text), and the order.
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
            if (!interrupted(compressed)) {
                check_same_outcome(text ? quorl::Result<std::string>(quorl::compress_groups(*text))
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
