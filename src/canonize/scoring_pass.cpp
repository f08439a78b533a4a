#include "canonize/scoring_pass.hpp"

#include <algorithm>
#include <memory>
#include <numeric>
#include <optional>
#include <unordered_map>
#include <utility>

#include "canonize/call_scratches.hpp"
#include "canonize/ring_rotations.hpp"
#include "canonize/root_depth_bounds.hpp"
#include "dag/dag_rewrite.hpp"
#include "dag/rewrite_context.hpp"
#include "tree/tree_string.hpp"
#include "tree/tree_traversal.hpp"

namespace quorl {

Result<void> hold_rewritten_form(MemoryHold& hold, const GraphWrap& rewritten) {
    if (hold.budget() == nullptr) return {};
    return take_or_fail(hold, rewritten.held_bytes(), "holding a rewritten form of this graph");
}

Result<std::vector<ScoringEntry>> collect_candidate_scores(const GraphWrap& graph,
                                                           const std::vector<std::string>& candidates,
                                                           const IdSet& excluded_ids, bool compact,
                                                           bool allow_hashes, const StopCheck& stop,
                                                           ConflictSearch search, const TraceSwitches& trace) {
    const Exclusion nothing_excluded;
    // An empty set excludes nothing; saying so spares the writer a lookup per node.
    const Exclusion excluded = excluded_ids.empty() ? Exclusion() : Exclusion::of_ids(excluded_ids);
    // Symmetric graphs give many candidates the same text: keep it once. The
    // keys view the shared texts, which never change.
    std::unordered_map<std::string_view, std::shared_ptr<const std::string>> distinct_texts;
    std::vector<ScoringEntry> entries;
    entries.reserve(candidates.size());
    StopPoll writing(stop);
    for (const std::string& candidate : candidates) {
        if (stop.stop_requested()) return interrupted_error();
        auto dag = to_dag_with_mode(graph, candidate, nothing_excluded, compact, allow_hashes, stop, search, trace);
        if (!dag) return std::unexpected(std::move(dag.error()));
        MemoryHold dag_bytes(stop.memory_budget());
        if (Result<void> held = hold_rewritten_form(dag_bytes, *dag); !held) return std::unexpected(held.error());
        auto written = to_tree_string_with_groups(*dag, candidate, excluded, &writing);
        if (!written) return polled_failure(writing, std::move(written.error()));
        auto found = distinct_texts.find(written->text);
        if (found == distinct_texts.end()) {
            auto text = std::make_shared<const std::string>(std::move(written->text));
            const std::string_view key = *text;
            found = distinct_texts.emplace(key, std::move(text)).first;
        }
        entries.push_back(ScoringEntry{candidate, written->depth, found->second, std::move(written->groups)});
    }
    return entries;
}

namespace {

// Narrows the candidates' depth ranges until every candidate that can still
// reach the greatest depth known for certain has an exact range or has been
// refined, or only one can; returns that depth. Refines in turn the candidate
// that can reach deepest (likely a winner, whose depth rules out others) and
// the most central one (whose levelling tightens the others' bounds most).
Result<std::int64_t> settle_depths(CandidateDepths& depths, std::size_t count, const StopCheck& stop) {
    bool central_turn = false;
    while (true) {
        if (stop.stop_requested()) return interrupted_error();
        std::int64_t surely_reached = 0;
        for (std::size_t i = 0; i < count; ++i) surely_reached = std::max(surely_reached, depths.range(i).lo);
        std::optional<std::size_t> deepest;
        std::optional<std::size_t> central;
        std::size_t reaching = 0;
        for (std::size_t i = 0; i < count; ++i) {
            const DepthRange range = depths.range(i);
            if (range.hi < surely_reached) continue;
            ++reaching;
            if (range.exact() || depths.refined(i)) continue;
            if (!deepest || range.hi > depths.range(*deepest).hi) deepest = i;
            if (!central || depths.eccentricity_lo(i) < depths.eccentricity_lo(*central)) central = i;
        }
        // A refine only narrows ranges, so it can rule out a candidate only
        // while two can reach surely_reached: the last one is rewritten
        // whatever its range (its lo is surely_reached).
        if (!deepest || reaching == 1) return surely_reached;
        depths.refine(central_turn ? *central : *deepest);
        central_turn = !central_turn;
    }
}

// std::sort sorts this many by insertion alone.
constexpr std::size_t kFewCandidates = 16;

// The candidates that can reach `surely_reached` in the order in which they
// are rewritten: the deepest possible first, so that the best entry found
// early rules out the rest; then the greatest known start of text (none
// last), likely the best text among equally deep ones; candidate order among
// equals. The others cannot win (see best_candidate_form) and are not listed.
void deepest_first(const CandidateDepths& depths, const std::vector<std::optional<std::string>>& text_starts,
                   std::int64_t surely_reached, std::vector<std::size_t>& order) {
    order.clear();
    for (std::size_t i = 0; i < text_starts.size(); ++i) {
        if (depths.range(i).hi >= surely_reached) order.push_back(i);
    }
    // Candidate order breaks the remaining ties, so every sort gives the same
    // order. A few candidates are sorted by insertion, without the buffer of a
    // merge sort; many by a merge sort, since a quicksort's partitions
    // degrade on the depths along a long path (deepest at both ends).
    const auto before = [&](std::size_t a, std::size_t b) {
        if (depths.range(a).hi != depths.range(b).hi) return depths.range(a).hi > depths.range(b).hi;
        if (text_starts[a] != text_starts[b]) return text_starts[a] > text_starts[b];
        return a < b;
    };
    if (order.size() <= kFewCandidates) {
        std::sort(order.begin(), order.end(), before);
    } else {
        std::stable_sort(order.begin(), order.end(), before);
    }
}
struct BestEntry {
    std::int32_t depth;
    std::string text;
};

// <0, 0, >0 as the entry (depth, text) ranks below, equal to or above `best`.
int compare_entry(std::int32_t depth, std::string_view text, const BestEntry& best) {
    if (depth != best.depth) return depth < best.depth ? -1 : 1;
    const int order = text.compare(best.text);
    return order < 0 ? -1 : (order > 0 ? 1 : 0);
}

// What a candidate's final walk, made with nothing excluded, records besides its text.
enum class FinalRecords {
    Groups,     // a text call's: the text is compressed by them
    NodeOrder,  // an order call's new best entry: the order goes with the text
    // An order call's tie: its order is wanted only if its text wins, and is
    // then read from the child lists the walk records.
    TextOnly,
};

Result<CanonicalForm> final_walk(const GraphWrap& dag, const std::string& candidate, const GraphWrap& input,
                                 FinalRecords records, StopPoll& writing, TreeScratch& walks) {
    const Exclusion nothing_excluded;
    CanonicalForm form;
    if (records == FinalRecords::NodeOrder) {
        auto written = to_tree_string_with_node_order(dag, candidate, nothing_excluded, input, &writing, &walks);
        if (!written) return polled_failure(writing, std::move(written.error()));
        form.text = std::move(written->tree.text);
        form.node_order = std::move(written->node_order);
        return form;
    }
    auto written = to_tree_string_with_groups(
        dag, candidate, nothing_excluded, &writing, &walks,
        {.groups = records == FinalRecords::Groups, .child_lists = records == FinalRecords::TextOnly});
    if (!written) return polled_failure(writing, std::move(written.error()));
    form.text = std::move(written->text);
    form.groups = std::move(written->groups);
    return form;
}

// Whether a scoring walk of `dag` that leaves nodes out surely neither fails
// nor makes the pass fail to keep its entry: the budget holds, without
// reading the machine's memory, what writing the walk's text holds, and the
// pass keeps that text and the final walk's, each at most a third of the
// bound long and held in at most twice its length.
bool scoring_walk_cannot_fail(const GraphWrap& dag, const StopCheck& stop) {
    const MemoryBudget* budget = stop.memory_budget();
    return budget == nullptr || budget->fits_unread(2 * written_bytes_bound(dag));
}

// The form of the only candidate that can win, from one walk with nothing
// excluded: what the pass returns for it, since it compares its entry with
// none. Where the caller calls this, the scoring walk that leaves the shared
// nodes out could not fail, nor could keeping the texts; so that walk is not
// made, and an order call's text, which nothing reads, is checked to fit as
// writing it would check, and not written.
Result<CanonicalForm> sole_candidate_form(const GraphWrap& dag, const std::string& candidate, const GraphWrap& input,
                                          bool with_node_order, StopPoll& writing, TreeScratch& walks) {
    if (!with_node_order) return final_walk(dag, candidate, input, FinalRecords::Groups, writing, walks);
    auto listed = to_tree_node_order_checked(dag, candidate, Exclusion(), input, &writing, &walks);
    if (!listed) return polled_failure(writing, std::move(listed.error()));
    CanonicalForm form;
    form.node_order = std::move(*listed);
    return form;
}

}  // namespace

Result<CanonicalForm> best_candidate_form(const GraphWrap& graph, const ScoringCandidates& scoring, bool compact,
                                          bool allow_hashes, bool with_node_order, const StopCheck& stop,
                                          std::optional<std::uint64_t> graph_bytes, CallScratches& scratches) {
    const std::vector<NodeIndex>& nodes = scoring.nodes;
    const std::vector<bool>& shared = scoring.shared;
    const bool shares_nodes = std::find(shared.begin(), shared.end(), true) != shared.end();
    QUORL_ASSERT(!nodes.empty());

    CandidateDepths depths(scoring.incidences, nodes, shared, compact, &scratches.depths);
    // Every candidate's rewrite would run in turn and the first failure would
    // end the pass; the guard's error is the only failure a rewrite of these
    // graphs can give, and it reads the same for every candidate, so asking
    // whether any candidate fails decides the outcome, skipped ones included.
    if (depths.some_rewrite_exceeds_guard()) return unsupported_error(std::string(kRewriteGuardMessage));
    if (stop.stop_requested()) return interrupted_error();

    const Result<std::int64_t> settled = settle_depths(depths, nodes.size(), stop);
    if (!settled) return std::unexpected(settled.error());
    const std::int64_t surely_reached = *settled;
    // How the texts of the candidates that can reach that depth start. They
    // order those candidates and rule some out against a best text found
    // before, so while only one can reach it nothing reads them.
    std::vector<std::optional<std::string>>& text_starts = scratches.candidate_text_starts;
    text_starts.assign(nodes.size(), std::nullopt);
    const auto can_reach = [&](std::size_t i) { return depths.range(i).hi >= surely_reached; };
    std::size_t reaching = 0;
    for (std::size_t i = 0; i < nodes.size(); ++i) reaching += can_reach(i) ? 1 : 0;
    if (reaching > 1) {
        scratches.text_starts.near.assign(graph.node_bound(), 0);
        for (std::size_t i = 0; i < nodes.size(); ++i) {
            if (can_reach(i)) text_starts[i] = scoring_text_start(graph, nodes[i], shared, scratches.text_starts);
        }
    }
    std::vector<std::size_t>& order = scratches.candidate_order;
    deepest_first(depths, text_starts, surely_reached, order);
    const RingRotations rotations(graph, nodes, [&](std::size_t i) { return depths.single_cycle(i); });
    // By class of rotations, the smallest position of a candidate rewritten.
    std::vector<std::size_t> rewritten_of_class(rotations.class_count(), SIZE_MAX);

    const Exclusion nothing_excluded;
    // The shared nodes by slot: every candidate's rewrite keeps the graph's
    // slots, and no node id can equal a generated id.
    const Exclusion excluded = shares_nodes ? Exclusion::of_named_nodes(shared, graph) : Exclusion();
    StopPoll writing(stop);
    // Lent to every walk that writes a candidate's text or order, and to every
    // candidate's rewrite; when new, sized for a walk of the whole graph, so
    // that most calls grow them no further. The rewrites' one is made at the
    // first rewrite: candidates rooted in a tree (all of them on a path) need none.
    TreeScratch& whole_walks = scratches.walks ? *scratches.walks : scratches.walks.emplace(scratch_for_one_walk(graph));
    // The walks of the graph itself (candidates rooted in a tree) read its
    // packed incidences when they were packed with their walk data.
    const LentPackedIncidences lent_incidences(whole_walks, scoring.incidences);
    std::optional<RewriteScratch>& rewrite_steps = scratches.rewrites;
    std::optional<BestEntry> best;
    CanonicalForm kept;
    std::size_t kept_position = 0;
    std::optional<MemoryHold> kept_bytes;  // of best's and kept's texts
    for (const std::size_t i : order) {
        const DepthRange range = depths.range(i);
        // Some candidate is written at least surely_reached deep: a candidate
        // that cannot reach that depth has a smaller entry and cannot win, so
        // `order` leaves it out. Nor can one that cannot reach the depth of
        // the best entry so far.
        if (best && range.hi < best->depth) continue;
        // Nor can one no deeper than the best entry whose text surely starts
        // below the best text: as deep, it ranks below on its text.
        if (best && range.hi <= best->depth && text_starts[i] && starts_below(*text_starts[i], best->text)) continue;

        // Nor can one that a rotation of its ring maps a candidate already
        // rewritten onto: it has that one's entry and final text, so it can
        // only take the node order over, by an earlier position.
        if (const std::optional<std::uint32_t> rotation_class = rotations.class_of(i)) {
            std::size_t& rewritten = rewritten_of_class[*rotation_class];
            if (rewritten != SIZE_MAX && (!with_node_order || rewritten < i)) continue;
            rewritten = std::min(rewritten, i);
        }

        const std::string& candidate = graph.node_at(nodes[i]).id;
        if (stop.stop_requested()) return interrupted_error();
        // Rooted in a tree the rewrite resolves nothing: it removes the other
        // components, which no walk from the root reaches, and leaves the
        // root's own as it is (same slots, incidence lists and records), so
        // the writers give the same texts and order on the graph itself.
        std::optional<GraphWrap> rewritten;
        MemoryHold rewritten_bytes(stop.memory_budget());
        // The caller of a walk that stopped is waiting to report the stop;
        // otherwise the form, once its walks are done, lends its slots'
        // memory to the next rewrite's working copy.
        struct GivenBack {
            std::optional<GraphWrap>& form;
            const StopPoll& walks;
            std::optional<RewriteScratch>& steps;
            ~GivenBack() {
                if (!form) return;
                if (walks.stopped()) {
                    release_in_background(std::move(*form));
                } else {
                    steps->spare_store = std::move(*form);
                }
            }
        } given_back{rewritten, writing, rewrite_steps};
        if (!depths.in_tree(i)) {
            if (!rewrite_steps) rewrite_steps.emplace(scratch_for_one_walk(graph), JoinRegion{});
            // What every rewrite under a budget counts the graph's copy as, counted once.
            if (!graph_bytes && stop.memory_budget() != nullptr) graph_bytes = graph.held_bytes();
            auto done = to_dag_with_mode(graph, candidate, nothing_excluded, compact, allow_hashes, stop,
                                         ConflictSearch::Incremental, TraceSwitches{}, &*rewrite_steps, graph_bytes);
            if (!done) return std::unexpected(std::move(done.error()));
            rewritten = std::move(*done);
            if (Result<void> held = hold_rewritten_form(rewritten_bytes, *rewritten); !held) {
                return std::unexpected(held.error());
            }
        }
        const GraphWrap* dag = rewritten ? &*rewritten : &graph;
        // The only candidate that can win: its entry would be compared with
        // none, so a scoring walk that leaves shared nodes out, and an order
        // call's text, could change the outcome only by failing, which they
        // cannot here (their stop polls only ask when to stop). A text call
        // without shared nodes writes its text in the scoring walk as it is.
        if (reaching == 1 && (shares_nodes || with_node_order) && scoring_walk_cannot_fail(*dag, stop)) {
            return sole_candidate_form(*dag, candidate, graph, with_node_order, writing, whole_walks);
        }
        // Without shared ids the scoring walk is the final one: an order call
        // has it record the child lists its node order is read from, a text
        // call the groups its text is compressed by (orders are not).
        const bool order_from_scoring_walk = with_node_order && !shares_nodes;
        const TextRecords scoring_records{.groups = !with_node_order && !shares_nodes,
                                          .child_lists = order_from_scoring_walk};
        auto scored = to_tree_string_with_groups(*dag, candidate, excluded, &writing, &whole_walks, scoring_records);
        if (!scored) return polled_failure(writing, std::move(scored.error()));
        const int rank = best ? compare_entry(scored->depth, scored->text, *best) : 1;
        if (rank < 0) continue;

        // The final pass would rewrite this candidate again, as here, and
        // write it with nothing excluded: with nothing to exclude that is the
        // text just written.
        CanonicalForm form;
        // The node order of a candidate that ties is wanted only when its text
        // wins; a new best keeps its order, written in the same walk as its text.
        bool ordered = !with_node_order;
        if (!shares_nodes) {
            form.text = scored->text;
            form.groups = std::move(scored->groups);
        } else {
            const FinalRecords records = !with_node_order ? FinalRecords::Groups
                                         : rank > 0       ? FinalRecords::NodeOrder
                                                          : FinalRecords::TextOnly;
            Result<CanonicalForm> written = final_walk(*dag, candidate, graph, records, writing, whole_walks);
            if (!written) return std::unexpected(std::move(written.error()));
            form = std::move(*written);
            ordered = ordered || records == FinalRecords::NodeOrder;
        }
        // Among winners the final pass keeps the smallest text, the earliest
        // winner on a tie.
        if (rank == 0) {
            const int order_of_texts = std::string_view(form.text).compare(kept.text);
            if (order_of_texts > 0 || (order_of_texts == 0 && i > kept_position)) continue;
        }
        if (!ordered) {
            // The latest walk excluded nothing and recorded its child lists:
            // the scoring walk without shared nodes, else the final one.
            form.node_order = node_order_of_walk(*dag, whole_walks, graph);
        }
        if (rank > 0) best = BestEntry{scored->depth, std::move(scored->text)};
        kept = std::move(form);
        kept_position = i;
        kept_bytes.emplace(stop.memory_budget());
        const std::uint64_t kept_texts = heap_bytes(best->text) + heap_bytes(kept.text);
        if (Result<void> held = take_or_fail(*kept_bytes, kept_texts, "keeping the best text of this graph"); !held) {
            return std::unexpected(held.error());
        }
    }
    QUORL_ASSERT(best.has_value());
    return kept;
}

}  // namespace quorl
