#include "canonize/canonize.hpp"

#include <algorithm>
#include <memory>
#include <optional>
#include <utility>

#include "canonize/candidates.hpp"
#include "canonize/group_compression.hpp"
#include "canonize/pruning.hpp"
#include "canonize/root_depth_bounds.hpp"
#include "canonize/scoring_pass.hpp"
#include "dag/dag_rewrite.hpp"
#include "dag/trace.hpp"
#include "limits/memory_budget.hpp"
#include "tree/tree_string.hpp"

namespace quorl {

namespace {

struct ScoringSetup {
    GraphWrap working;
    std::vector<std::string> selected;
    IdSet shared;
};

// Scores and selects the candidate roots and prunes what they share, on a
// copy of the graph (pruning writes claim fields, never on the caller's graph).
Result<ScoringSetup> scoring_setup(const GraphWrap& graph, std::string_view candidate_rule) {
    ScoringSetup setup{graph, {}, {}};
    auto scores = score_candidates(setup.working, candidate_rule);
    if (!scores) return std::unexpected(std::move(scores.error()));
    setup.selected = select_candidates(std::move(*scores));
    setup.shared = prune_graph(setup.working, setup.selected);
    // Nothing reads the claims once the shared ids are known; dropped, they
    // are not copied into every candidate's rewrite.
    for (NodeIndex node = 0; node < setup.working.node_bound(); ++node) {
        if (NodeData* data = setup.working.node(node)) {
            data->meta.prune_source.reset();
            data->meta.prune_sources = {};
        }
    }
    return setup;
}

// Writes every winner's tree string again with nothing excluded and keeps the
// smallest (unsigned bytes, a proper prefix first; the earlier winner on a
// tie). When asked for, each winner's node order comes from the same walk as
// its text.
Result<CanonicalForm> smallest_form(const GraphWrap& working, const std::vector<std::string>& winners,
                                    bool allow_hashes, bool compact, bool with_node_order, const StopCheck& stop) {
    const Exclusion nothing_excluded;
    StopPoll writing(stop);
    std::optional<CanonicalForm> kept;
    for (const std::string& winner : winners) {
        if (stop.stop_requested()) return interrupted_error();
        auto dag = to_dag_with_mode(working, winner, nothing_excluded, compact, allow_hashes, stop);
        if (!dag) return std::unexpected(std::move(dag.error()));
        MemoryHold dag_bytes(stop.memory_budget());
        if (Result<void> held = hold_rewritten_form(dag_bytes, *dag); !held) return std::unexpected(held.error());
        CanonicalForm form;
        if (with_node_order) {
            auto written = to_tree_string_with_node_order(*dag, winner, nothing_excluded, working, &writing);
            if (!written) return polled_failure(writing, std::move(written.error()));
            form = {std::move(written->tree.text), {}, std::move(written->node_order)};
        } else {
            auto written = to_tree_string_with_groups(*dag, winner, nothing_excluded, &writing);
            if (!written) return polled_failure(writing, std::move(written.error()));
            form = {std::move(written->text), std::move(written->groups), {}};
        }
        if (kept && !(std::string_view(form.text) < std::string_view(kept->text))) continue;
        kept = std::move(form);
    }
    QUORL_ASSERT(kept.has_value());
    return std::move(*kept);
}

// The straightforward road: every selected candidate rewritten and written,
// every winner rewritten and written again.
Result<CanonicalForm> reference_form(const ScoringSetup& setup, bool allow_hashes, bool compact,
                                     bool with_node_order, const StopCheck& stop) {
    auto entries = collect_candidate_scores(setup.working, setup.selected, setup.shared, compact, allow_hashes, stop);
    if (!entries) return std::unexpected(std::move(entries.error()));
    return smallest_form(setup.working, winning_candidates(std::move(*entries)), allow_hashes, compact,
                         with_node_order, stop);
}

Result<CanonicalForm> canonical_form(const GraphWrap& graph, std::string_view candidate_rule, bool allow_hashes,
                                     bool compact, bool with_node_order, bool reference, const StopCheck& stop) {
    if (graph.node_count() == 0) return CanonicalForm{};
    // The working copy scoring_setup makes, and each candidate's rewrite of it: two copies at least.
    MemoryHold held(stop.memory_budget());
    const std::uint64_t graph_bytes = held.budget() != nullptr ? graph.held_bytes() : 0;
    if (!held.fits(2 * graph_bytes)) {
        return out_of_memory_error("the memory budget of " + format_bytes(held.budget()->limit()) +
                                   " is too small for this graph itself: canonising it holds two copies of it, " +
                                   format_bytes(2 * graph_bytes));
    }
    held.try_take(graph_bytes);
    auto setup = scoring_setup(graph, candidate_rule);
    if (!setup) return std::unexpected(std::move(setup.error()));
    // A traced call emits every rewrite's events, so it takes the full road;
    // so does a graph whose ids may meet the rewrite's generated ids, which
    // the candidate bounds do not model.
    if (reference || trace_enabled() || ids_may_meet_generated_ids(setup->working)) {
        return reference_form(*setup, allow_hashes, compact, with_node_order, stop);
    }
    return best_candidate_form(setup->working, setup->selected, setup->shared, compact, allow_hashes,
                               with_node_order, stop);
}

Result<std::string> cgraph_text(const GraphWrap& graph, std::string_view candidate_rule, bool allow_hashes,
                                bool compress, bool compact, bool reference, const StopCheck& stop) {
    auto form = canonical_form(graph, candidate_rule, allow_hashes, compact, false, reference, stop);
    if (!form) return std::unexpected(std::move(form.error()));
    if (compress) {
        // The compressed text is at most as long as the text, which is held beside it.
        const std::uint64_t both = 2 * std::uint64_t{form->text.size()};
        if (auto fits = check_fits(stop.memory_budget(), both, "compressing the text of this graph"); !fits) {
            return std::unexpected(std::move(fits.error()));
        }
        return compress_groups(form->text, form->groups);
    }
    return std::move(form->text);
}

Result<std::vector<std::string>> node_order(const GraphWrap& graph, std::string_view candidate_rule,
                                            bool allow_hashes, bool compact, bool reference, const StopCheck& stop) {
    auto form = canonical_form(graph, candidate_rule, allow_hashes, compact, true, reference, stop);
    if (!form) return std::unexpected(std::move(form.error()));
    return std::move(form->node_order);
}

}  // namespace

// The branch rule is accepted and read by no step.
Result<std::string> to_cgraph(const GraphWrap& graph, std::string_view candidate_rule, std::string_view,
                              bool allow_hashes, bool compress, bool compact, const StopCheck& stop) {
    return cgraph_text(graph, candidate_rule, allow_hashes, compress, compact, false, stop);
}

Result<std::vector<std::string>> canonical_node_order(const GraphWrap& graph, std::string_view candidate_rule,
                                                      std::string_view, bool allow_hashes, bool compact,
                                                      const StopCheck& stop) {
    return node_order(graph, candidate_rule, allow_hashes, compact, false, stop);
}

Result<std::string> to_cgraph_reference(const GraphWrap& graph, std::string_view candidate_rule, std::string_view,
                                        bool allow_hashes, bool compress, bool compact, const StopCheck& stop) {
    return cgraph_text(graph, candidate_rule, allow_hashes, compress, compact, true, stop);
}

Result<std::vector<std::string>> canonical_node_order_reference(const GraphWrap& graph,
                                                                std::string_view candidate_rule, std::string_view,
                                                                bool allow_hashes, bool compact,
                                                                const StopCheck& stop) {
    return node_order(graph, candidate_rule, allow_hashes, compact, true, stop);
}

}  // namespace quorl
