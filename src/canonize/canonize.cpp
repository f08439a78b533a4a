#include "canonize/canonize.hpp"

#include <algorithm>
#include <memory>
#include <optional>
#include <utility>

#include "canonize/candidates.hpp"
#include "canonize/group_compression.hpp"
#include "canonize/pruning.hpp"
#include "canonize/scoring_pass.hpp"
#include "dag/dag_rewrite.hpp"
#include "dag/trace.hpp"
#include "limits/memory_budget.hpp"
#include "tree/tree_string.hpp"

namespace quorl {

namespace {

struct Winners {
    std::vector<std::string> roots;
    // Set when the scoring pass excluded nothing: then it wrote every winner
    // exactly as the final pass would, and winners tie on their texts, so
    // this is the final text (the first winner's).
    std::shared_ptr<const std::string> final_text;
};

// Scores and selects the candidate roots, prunes what they share, scores each
// on its own region and returns the winners. Leaves no claim fields on `working`.
Result<Winners> winning_roots(GraphWrap& working, std::string_view candidate_rule, bool allow_hashes, bool compact,
                              const StopCheck& stop) {
    auto scores = score_candidates(working, candidate_rule);
    if (!scores) return std::unexpected(std::move(scores.error()));
    const std::vector<std::string> selected = select_candidates(std::move(*scores));
    const IdSet shared = prune_graph(working, selected);
    // Nothing reads the claims once the shared ids are known; dropped, they
    // are not copied into every candidate's rewrite.
    for (NodeIndex node = 0; node < working.node_bound(); ++node) {
        if (NodeData* data = working.node(node)) {
            data->meta.prune_source.reset();
            data->meta.prune_sources = {};
        }
    }
    auto entries = collect_candidate_scores(working, selected, shared, compact, allow_hashes, stop);
    if (!entries) return std::unexpected(std::move(entries.error()));
    Winners winners{winning_candidates(*entries), nullptr};
    if (shared.empty()) {
        const auto first = std::ranges::find(*entries, winners.roots.front(), &ScoringEntry::candidate_id);
        winners.final_text = first->tree_text;
    }
    return winners;
}

struct CanonicalForm {
    std::string text;
    std::vector<std::string> node_order;  // filled only when asked for
};

// Writes every winner's tree string again with nothing excluded and keeps the
// smallest (unsigned bytes, a proper prefix first; the earlier winner on a
// tie). When asked for, each winner's node order comes from the same walk as
// its text.
Result<CanonicalForm> smallest_form(const GraphWrap& working, const std::vector<std::string>& winners,
                                    bool allow_hashes, bool compact, bool with_node_order, const StopCheck& stop) {
    const Exclusion nothing_excluded;
    std::optional<CanonicalForm> kept;
    for (const std::string& winner : winners) {
        if (stop.stop_requested()) return interrupted_error();
        auto dag = to_dag_with_mode(working, winner, nothing_excluded, compact, allow_hashes, stop);
        if (!dag) return std::unexpected(std::move(dag.error()));
        CanonicalForm form;
        if (with_node_order) {
            auto written = to_tree_string_with_node_order(*dag, winner, nothing_excluded);
            if (!written) return parse_error(std::move(written.error()));
            form = {std::move(written->tree.text), std::move(written->node_order)};
        } else {
            auto written = to_tree_string_with_depth_order(*dag, winner, nothing_excluded, true);
            if (!written) return parse_error(std::move(written.error()));
            form.text = std::move(written->text);
        }
        if (kept && !(std::string_view(form.text) < std::string_view(kept->text))) continue;
        kept = std::move(form);
    }
    QUORL_ASSERT(kept.has_value());
    return std::move(*kept);
}

Result<CanonicalForm> canonical_form(const GraphWrap& graph, std::string_view candidate_rule, bool allow_hashes,
                                     bool compact, bool with_node_order, const StopCheck& stop) {
    if (graph.node_count() == 0) return CanonicalForm{};
    // The working copy below, and each candidate's rewrite of it: two copies at least.
    MemoryHold held(stop.memory_budget());
    const std::uint64_t graph_bytes = held.budget() != nullptr ? graph.held_bytes() : 0;
    if (!held.fits(2 * graph_bytes)) {
        return out_of_memory_error("the memory budget of " + format_bytes(held.budget()->limit()) +
                                   " is too small for this graph itself: canonising it holds two copies of it, " +
                                   format_bytes(2 * graph_bytes));
    }
    held.try_take(graph_bytes);
    // Pruning writes claim fields: they go on a copy, never on the caller's graph.
    GraphWrap working = graph;
    auto winners = winning_roots(working, candidate_rule, allow_hashes, compact, stop);
    if (!winners) return std::unexpected(std::move(winners.error()));
    // Rewriting the winners again would only repeat the scoring pass's work,
    // except for the trace events that the rewrites emit.
    if (winners->final_text && !trace_enabled()) {
        if (!with_node_order) return CanonicalForm{*winners->final_text, {}};
        winners->roots.resize(1);
    }
    return smallest_form(working, winners->roots, allow_hashes, compact, with_node_order, stop);
}

}  // namespace

// The branch rule is accepted and read by no step.
Result<std::string> to_cgraph(const GraphWrap& graph, std::string_view candidate_rule, std::string_view,
                              bool allow_hashes, bool compress, bool compact, const StopCheck& stop) {
    auto form = canonical_form(graph, candidate_rule, allow_hashes, compact, false, stop);
    if (!form) return std::unexpected(std::move(form.error()));
    if (compress) return compress_groups(form->text);
    return std::move(form->text);
}

Result<std::vector<std::string>> canonical_node_order(const GraphWrap& graph, std::string_view candidate_rule,
                                                      std::string_view, bool allow_hashes, bool compact,
                                                      const StopCheck& stop) {
    auto form = canonical_form(graph, candidate_rule, allow_hashes, compact, true, stop);
    if (!form) return std::unexpected(std::move(form.error()));
    return std::move(form->node_order);
}

}  // namespace quorl
