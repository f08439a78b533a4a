#include "canonize/canonize.hpp"

#include <algorithm>
#include <memory>
#include <optional>
#include <utility>

#include "canonize/call_scratches.hpp"
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
    // The reference road's copy of the graph, on which pruning writes its
    // claim fields; without it the caller's graph is the working graph.
    std::optional<GraphWrap> copy;
    ScoringCandidates scoring;

    const GraphWrap& working(const GraphWrap& graph) const { return copy ? *copy : graph; }
};

// Scores and selects the candidate roots and prunes what they share, on a
// copy of the graph (pruning writes claim fields, never on the caller's graph).
// The copy keeps the graph's slots, so the graph's incidences are its own.
Result<ScoringSetup> reference_setup(const GraphWrap& graph, std::string_view candidate_rule) {
    ScoringSetup setup{graph, {{}, {}, {}, {}, PackedIncidences(graph)}};
    GraphWrap& copy = *setup.copy;
    ScoringCandidates& scoring = setup.scoring;
    auto scores = score_candidates(copy, candidate_rule);
    if (!scores) return std::unexpected(std::move(scores.error()));
    scoring.ids = select_candidates(std::move(*scores));
    scoring.shared_ids = prune_graph(copy, scoring.ids);
    // Nothing reads the claims once the shared ids are known; dropped, they
    // are not copied into every candidate's rewrite.
    for (NodeIndex node = 0; node < copy.node_bound(); ++node) {
        if (NodeData* data = copy.node(node)) {
            data->meta.prune_source.reset();
            data->meta.prune_sources = {};
        }
    }
    for (const std::string& id : scoring.ids) scoring.nodes.push_back(*copy.find_node(id));
    scoring.shared.assign(copy.node_bound(), false);
    for (const std::string& id : scoring.shared_ids) scoring.shared[*copy.find_node(id)] = true;
    return setup;
}

bool carries_claims(const GraphWrap& graph) {
    for (NodeIndex node = 0; node < graph.node_bound(); ++node) {
        const NodeData* data = graph.node(node);
        if (data != nullptr && (data->meta.prune_source || !data->meta.prune_sources.empty())) return true;
    }
    return false;
}

// The same candidates and shared ids as reference_setup, by node index and
// without a copy: the copy differs from the graph only in the claims written
// on it and dropped again, which no rewrite or writer reads. A graph that
// carries claims of its own (only a direct pruning call leaves them) still
// gets the copy that drops them, since they would count in the memory held
// by its rewrites.
// The candidates are filled into the buffers of `reused`, an earlier call's.
Result<ScoringSetup> scoring_setup(const GraphWrap& graph, std::string_view candidate_rule,
                                   ScoringCandidates&& reused, SharedNodeSearch& search) {
    if (carries_claims(graph)) return reference_setup(graph, candidate_rule);
    ScoringSetup setup{std::nullopt, std::move(reused)};
    ScoringCandidates& scoring = setup.scoring;
    // On a large graph the walks rooted in a tree read the packed copy, which
    // holds a small part of the store; on a small one it is in the caches
    // anyway and packing would cost more than it saves. Only candidates in a
    // tree are walked on the graph itself (the others on their rewritten
    // forms): a connected graph is a tree exactly when it has fewer edges
    // than nodes, and a graph with fewer edges than nodes has a tree among
    // its components. Other graphs' walks read their store.
    constexpr std::uint32_t kWalkDataNodes = 2048;
    const bool walked_itself = graph.node_count() >= kWalkDataNodes && graph.edge_count() < graph.node_count();
    scoring.incidences.refill(graph,
                              walked_itself ? PackedIncidences::WalkData::Pack : PackedIncidences::WalkData::Leave);
    if (auto selected = select_candidate_nodes(graph, scoring.incidences, candidate_rule, scoring.nodes); !selected) {
        return std::unexpected(std::move(selected.error()));
    }
    scoring.ids.clear();
    scoring.shared_ids.clear();
    shared_nodes(scoring.incidences, scoring.nodes, search, scoring.shared);
    return setup;
}

// The ids of the candidates and of the shared nodes, which the
// straightforward road roots its rewrites at and leaves out by id;
// scoring_setup gives them by index only, as the scoring pass reads them (a
// long path has a candidate per node, whose ids it would copy for nothing).
void name_candidates(const GraphWrap& graph, ScoringCandidates& scoring) {
    scoring.ids.clear();
    scoring.ids.reserve(scoring.nodes.size());
    for (const NodeIndex node : scoring.nodes) scoring.ids.push_back(graph.node_at(node).id);
    scoring.shared_ids.clear();
    for (NodeIndex node = 0; node < scoring.shared.size(); ++node) {
        if (scoring.shared[node]) scoring.shared_ids.insert(graph.node_at(node).id);
    }
}

// Writes every winner's tree string again with nothing excluded and keeps the
// smallest (unsigned bytes, a proper prefix first; the earlier winner on a
// tie). When asked for, each winner's node order comes from the same walk as
// its text.
Result<CanonicalForm> smallest_form(const GraphWrap& working, const std::vector<std::string>& winners,
                                    bool allow_hashes, bool compact, bool with_node_order, const StopCheck& stop,
                                    ConflictSearch search, const TraceSwitches& trace) {
    const Exclusion nothing_excluded;
    StopPoll writing(stop);
    std::optional<CanonicalForm> kept;
    for (const std::string& winner : winners) {
        if (stop.stop_requested()) return interrupted_error();
        auto dag = to_dag_with_mode(working, winner, nothing_excluded, compact, allow_hashes, stop, search, trace);
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
Result<CanonicalForm> reference_form(const GraphWrap& working, const ScoringSetup& setup, bool allow_hashes,
                                     bool compact, bool with_node_order, const StopCheck& stop, ConflictSearch search,
                                     const TraceSwitches& trace) {
    auto entries =
        collect_candidate_scores(working, setup.scoring.ids, setup.scoring.shared_ids, compact, allow_hashes, stop,
                                 search, trace);
    if (!entries) return std::unexpected(std::move(entries.error()));
    return smallest_form(working, winning_candidates(std::move(*entries)), allow_hashes, compact,
                         with_node_order, stop, search, trace);
}

// `reference` takes the straightforward road with every rewrite rescanning
// for its conflicts in every pass, so that the tests that compare the drivers
// with the reference drivers compare the incremental search too.
Result<CanonicalForm> canonical_form(const GraphWrap& graph, std::string_view candidate_rule, bool allow_hashes,
                                     bool compact, bool with_node_order, bool reference, const StopCheck& stop,
                                     const TraceSwitches& trace) {
    if (graph.node_count() == 0) return CanonicalForm{};
    // The working copy scoring_setup makes, and each candidate's rewrite of it: two copies at least.
    MemoryHold held(stop.memory_budget());
    const std::uint64_t graph_bytes = held.budget() != nullptr ? graph.held_bytes() : 0;
    if (!held.fits(2 * graph_bytes)) {
        return out_of_memory_error("the memory budget of " + format_bytes(held.budget()->limit()) +
                                   " is too small for this graph itself: canonising it holds two copies of it, " +
                                   format_bytes(2 * graph_bytes));
    }
    CallScratches scratches = take_kept_scratches();
    auto setup = reference ? reference_setup(graph, candidate_rule)
                           : scoring_setup(graph, candidate_rule, std::move(scratches.scoring),
                                           scratches.shared_search);
    if (!setup) return std::unexpected(std::move(setup.error()));
    // Only a working copy is held; without one a call holds less than the
    // check above allows for, so it fails at no point where it would with one.
    if (setup->copy) held.try_take(graph_bytes);
    const GraphWrap& working = setup->working(graph);
    // A traced call emits every rewrite's events, so it takes the full road;
    // so does a graph whose ids may meet the rewrite's generated ids, which
    // the candidate bounds do not model.
    Result<CanonicalForm> form = CanonicalForm{};
    if (reference || trace.events || ids_may_meet_generated_ids(working)) {
        const ConflictSearch search = reference ? ConflictSearch::FullScan : ConflictSearch::Incremental;
        if (!reference) name_candidates(working, setup->scoring);
        form = reference_form(working, *setup, allow_hashes, compact, with_node_order, stop, search, trace);
    } else {
        // Without a working copy the graph's held bytes are counted already.
        const std::optional<std::uint64_t> working_bytes =
            held.budget() != nullptr && !setup->copy ? std::optional(graph_bytes) : std::nullopt;
        form = best_candidate_form(working, setup->scoring, compact, allow_hashes, with_node_order, stop,
                                   working_bytes, scratches);
    }
    if (form) {
        scratches.scoring = std::move(setup->scoring);
        keep_scratches(std::move(scratches));
    }
    return form;
}

Result<std::string> cgraph_text(const GraphWrap& graph, std::string_view candidate_rule, bool allow_hashes,
                                bool compress, bool compact, bool reference, const StopCheck& stop,
                                const TraceSwitches& trace) {
    auto form = canonical_form(graph, candidate_rule, allow_hashes, compact, false, reference, stop, trace);
    if (!form) return std::unexpected(std::move(form.error()));
    if (compress) {
        // The compressed text is at most as long as the text, which is held beside it.
        const std::uint64_t both = 2 * std::uint64_t{form->text.size()};
        if (auto fits = check_fits(stop.memory_budget(), both, "compressing the text of this graph"); !fits) {
            return std::unexpected(std::move(fits.error()));
        }
        // Without groups there is nothing to replace: the text is its own compression.
        if (form->groups.empty()) return std::move(form->text);
        return compress_groups(form->text, form->groups);
    }
    return std::move(form->text);
}

Result<std::vector<std::string>> node_order(const GraphWrap& graph, std::string_view candidate_rule,
                                            bool allow_hashes, bool compact, bool reference, const StopCheck& stop,
                                            const TraceSwitches& trace) {
    auto form = canonical_form(graph, candidate_rule, allow_hashes, compact, true, reference, stop, trace);
    if (!form) return std::unexpected(std::move(form.error()));
    return std::move(form->node_order);
}

}  // namespace

// The branch rule is accepted and read by no step.
Result<std::string> to_cgraph(const GraphWrap& graph, std::string_view candidate_rule, std::string_view,
                              bool allow_hashes, bool compress, bool compact, const StopCheck& stop,
                              const TraceSwitches& trace) {
    return cgraph_text(graph, candidate_rule, allow_hashes, compress, compact, false, stop, trace);
}

Result<std::vector<std::string>> canonical_node_order(const GraphWrap& graph, std::string_view candidate_rule,
                                                      std::string_view, bool allow_hashes, bool compact,
                                                      const StopCheck& stop, const TraceSwitches& trace) {
    return node_order(graph, candidate_rule, allow_hashes, compact, false, stop, trace);
}

Result<std::string> to_cgraph_reference(const GraphWrap& graph, std::string_view candidate_rule, std::string_view,
                                        bool allow_hashes, bool compress, bool compact, const StopCheck& stop,
                                        const TraceSwitches& trace) {
    return cgraph_text(graph, candidate_rule, allow_hashes, compress, compact, true, stop, trace);
}

Result<std::vector<std::string>> canonical_node_order_reference(const GraphWrap& graph,
                                                                std::string_view candidate_rule, std::string_view,
                                                                bool allow_hashes, bool compact,
                                                                const StopCheck& stop,
                                                                const TraceSwitches& trace) {
    return node_order(graph, candidate_rule, allow_hashes, compact, true, stop, trace);
}

}  // namespace quorl
