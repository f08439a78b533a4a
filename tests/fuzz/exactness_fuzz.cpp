// Decodes bytes into a small labelled multigraph (the format of
// fuzz_graph.hpp) and compares the drivers with the reference road: the text
// under all eight flag sets and the node order under all four must be the
// same, the same error included. The rewrite's incremental conflict search
// is compared with its full scan too, rooted at the first nodes: the same
// store, its magnet caches aside (the incremental search makes only the
// magnets its own steps read, the full scan every one it scores). Walks that
// read the graph's packed incidences must write what walks of its store
// write, from every root. Calls that run out of their budget are left
// out (the drivers may finish where the reference road is still rewriting
// candidates it would not need).
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "canonize/canonize.hpp"
#include "dag/dag_rewrite.hpp"
#include "fuzz_graph.hpp"
#include "graph/packed_incidences.hpp"
#include "graph_snapshot.hpp"
#include "tree/tree_string.hpp"
#include "tree/tree_traversal.hpp"

namespace {

using quorl::fuzz::Budget;
using quorl::fuzz::check_same_outcome;
using quorl::fuzz::Clock;

constexpr std::string_view kCandidateRule = "$degree";
constexpr std::string_view kBranchRule = "$depth > tree.parent_modality > $lexic";
constexpr quorl::NodeIndex kRewriteRoots = 3;

quorl::Result<std::string> rewritten(const quorl::GraphWrap& graph, quorl::NodeIndex root, bool compact,
                                     bool allow_hashes, quorl::ConflictSearch search, Budget& budget) {
    auto dag = quorl::to_dag_with_mode(graph, graph.node_at(root).id, quorl::Exclusion{}, compact, allow_hashes,
                                       budget.stop_check(), search);
    if (!dag) return std::unexpected(std::move(dag.error()));
    for (quorl::NodeIndex node = 0; node < dag->node_bound(); ++node) {
        if (quorl::NodeData* data = dag->node(node)) {
            data->meta.magnet.reset();
            data->meta.magnet_digest.reset();
            data->meta.magnet_digest_alt.reset();
            data->meta.magnet_flag = false;
        }
    }
    return quorl::fuzz::snapshot(*dag);
}

// The text, depth and groups of a walk from `root`, reading the packed
// incidences when given.
std::string walk_text(const quorl::GraphWrap& graph, quorl::NodeIndex root, const quorl::PackedIncidences* packed) {
    quorl::TreeScratch scratch = quorl::scratch_for_one_walk(graph);
    std::optional<quorl::LentPackedIncidences> lent;
    if (packed != nullptr) lent.emplace(scratch, *packed);
    const auto text = quorl::to_tree_string_with_groups(graph, graph.node_at(root).id, quorl::Exclusion{}, nullptr,
                                                        &scratch);
    if (!text) return "error " + text.error();
    std::string seen = text->text + " " + std::to_string(text->depth);
    for (const quorl::TextSpan& group : text->groups) seen += " " + std::to_string(group.begin);
    return seen;
}

void check_packed_walks(const quorl::GraphWrap& graph) {
    const quorl::PackedIncidences packed(graph, quorl::PackedIncidences::WalkData::Pack);
    for (quorl::NodeIndex root = 0; root < graph.node_bound(); ++root) {
        if (graph.has_node(root)) QUORL_FUZZ_CHECK(walk_text(graph, root, &packed) == walk_text(graph, root, nullptr));
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto input_deadline = Clock::now() + quorl::fuzz::kTimePerInput;
    const quorl::GraphWrap graph = quorl::fuzz::decode_graph(data, size);
    // Each call gets its own budget, started just before it.
    const auto budget = [&] { return Budget(input_deadline); };
    check_packed_walks(graph);
    // Compact resolution first: it is cheap, expanded resolution may use up the time.
    for (const bool compact : {true, false}) {
        for (quorl::NodeIndex root = 0; root < std::min(graph.node_bound(), kRewriteRoots); ++root) {
            if (!graph.has_node(root)) continue;
            for (const bool allow_hashes : {false, true}) {
                Budget fast = budget();
                const auto incremental =
                    rewritten(graph, root, compact, allow_hashes, quorl::ConflictSearch::Incremental, fast);
                Budget reference = budget();
                check_same_outcome(incremental, rewritten(graph, root, compact, allow_hashes,
                                                          quorl::ConflictSearch::FullScan, reference));
            }
        }
        for (const bool allow_hashes : {false, true}) {
            for (const bool compress : {false, true}) {
                Budget fast = budget();
                const auto text = quorl::to_cgraph(graph, kCandidateRule, kBranchRule, allow_hashes, compress,
                                                   compact, fast.stop_check());
                Budget reference = budget();
                check_same_outcome(text, quorl::to_cgraph_reference(graph, kCandidateRule, kBranchRule, allow_hashes,
                                                                    compress, compact, reference.stop_check()));
            }
            Budget fast = budget();
            const auto order =
                quorl::canonical_node_order(graph, kCandidateRule, kBranchRule, allow_hashes, compact, fast.stop_check());
            Budget reference = budget();
            check_same_outcome(order, quorl::canonical_node_order_reference(graph, kCandidateRule, kBranchRule,
                                                                            allow_hashes, compact,
                                                                            reference.stop_check()));
        }
    }
    return 0;
}
