#include "dag/dag_rewrite.hpp"

#include <algorithm>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "dag/candidate_buckets.hpp"
#include "dag/cobound.hpp"
#include "dag/inbound.hpp"
#include "dag/join.hpp"
#include "dag/magnet.hpp"
#include "dag/rewrite_context.hpp"
#include "dag/rewrite_size.hpp"
#include "dag/trace.hpp"
#include "graph/floors.hpp"
#include "limits/memory_budget.hpp"

namespace quorl {

namespace {

constexpr std::size_t kSpareSlots = 4096;

// The incremental search's walk over the conflicts of the first levelling:
// deepest floor first, on one floor the cobound pairs before the joins, each
// floor's entries ranked once, when the walk reaches them.
struct RankedFloor {
    // Nothing ranked yet, whatever an earlier rewrite left in the scratch.
    explicit RankedFloor(RankingScratch& scratch) : order(scratch.order), inbound(scratch.inbound) { order.clear(); }

    std::int64_t floor = -1;          // below 0: the walk is over
    bool joins = true;                // the floor's joins, else its cobound pairs
    std::vector<std::size_t>& order;  // positions in the floor's bucket, best first
    std::size_t next = 0;
    std::vector<EdgeIndex>& inbound;  // scratch for checking a join's inbound edges

    // Before the cobound pairs of `deepest`, the deepest floor holding any
    // conflict (-1 for none).
    void start(std::int64_t deepest) {
        floor = deepest + 1;
        joins = true;
    }

    // To the next floor and kind of conflict; false when none is left.
    bool step() {
        if (floor < 0) return false;
        joins = !joins;
        if (!joins && --floor < 0) return false;
        order.clear();
        next = 0;
        return true;
    }
};

struct Rewrite {
    Rewrite(bool allow_hashes, const StopCheck& stop, ConflictSearch search, const TraceSwitches& trace,
            RewriteScratch* scratch)
        : search(search), context(allow_hashes, stop, trace, scratch), ranked(context.ranking) {}
    Rewrite(const Rewrite&) = delete;
    Rewrite& operator=(const Rewrite&) = delete;
    // The caller of a stopped rewrite is waiting to report the stop.
    ~Rewrite() {
        if (context.stop.stopped()) release_in_background(std::move(work));
    }

    GraphWrap work;
    std::vector<LevelledNode> levelled;  // the first levelling, written back at the end
    std::uint64_t passes = 0;
    GeneratedIds ids;
    ConflictSearch search;
    RewriteContext context;
    RankedFloor ranked;
    CandidateBuckets& buckets = context.buckets;
};

// What the expanded form holds at the end: its records, and its text twice
// (written, and handed to the caller).
std::uint64_t expanded_form_bytes(const RewriteSize& size) {
    const long double bytes = static_cast<long double>(size.expanded_nodes) * GraphWrap::node_record_bytes() +
                              static_cast<long double>(size.expanded_edges) * GraphWrap::edge_record_bytes() +
                              2.0L * static_cast<long double>(size.expanded_text_bytes);
    return bytes >= 1.8e19L ? UINT64_MAX : static_cast<std::uint64_t>(bytes);
}

// Fails when the working copy that expanded resolution will have built by
// its end cannot fit: counted ahead from its nodes' and edges' records and
// its text, a lower bound of what it will hold. A rewrite that will stop at
// the pass guard first is left to fail there.
Result<void> check_expanded_size(Rewrite& rewrite, std::uint64_t copy_bytes, bool allow_hashes) {
    // The count below is exact and walks every incidence. When a bound from
    // the graph's sizes fits as it stands, so does the count (it is smaller),
    // and the check below would pass without reading the machine's memory:
    // leaving the count out changes nothing. Most molecules are decided so.
    if (const std::optional<RewriteSize> bound = expanded_size_bound(rewrite.work, rewrite.levelled, allow_hashes)) {
        const std::uint64_t most = expanded_form_bytes(*bound);
        if (most <= copy_bytes || rewrite.context.held.budget()->fits_unread(most - copy_bytes)) return {};
    }
    const RewriteSize size = count_rewrite(rewrite.work, rewrite.levelled, allow_hashes);
    if (size.conflicts >= kRewritePassGuard) return {};
    const std::uint64_t needed = expanded_form_bytes(size);
    if (needed <= copy_bytes || rewrite.context.held.fits(needed - copy_bytes)) return {};

    MemoryBudget& budget = *rewrite.context.held.budget();
    const std::uint64_t held_elsewhere = budget.held() - copy_bytes;
    const std::uint64_t total = needed > UINT64_MAX - held_elsewhere ? UINT64_MAX : held_elsewhere + needed;
    const std::string nodes = size.expanded_nodes == UINT64_MAX ? "more than " + std::to_string(UINT64_MAX)
                                                                : std::to_string(size.expanded_nodes);
    const std::string needs = total == UINT64_MAX ? format_bytes(total) : "at least " + format_bytes(total);
    std::string message = "the expanded form of this graph needs " + needs + " (" + nodes +
                          " nodes), more than the memory budget of " + format_bytes(budget.limit());
    // Compact resolution holds about the graph once more, its mirrors and its text.
    const std::uint64_t compact_text = size.compact_text_bytes;
    const std::uint64_t compact_needed =
        copy_bytes + size.compact_nodes * GraphWrap::node_record_bytes() + 2 * compact_text;
    if (allow_hashes && rewrite.context.held.fits(compact_needed)) {
        message += "; compact=True writes it in about " + format_bytes(compact_text);
    }
    return out_of_memory_error(std::move(message));
}

Result<bool> resolve_join(Rewrite& rewrite, const InboundChoice& choice, bool compact) {
    Result<std::string_view> magnet = cached_magnet(rewrite.work, choice.node, rewrite.context);
    if (!magnet) return std::unexpected(std::move(magnet.error()));
    Result<void> resolved =
        compact ? resolve_join_compact(rewrite.work, choice, *magnet, rewrite.ids, rewrite.context)
                : resolve_join_expanded(rewrite.work, choice, *magnet, rewrite.ids, rewrite.context);
    if (!resolved) return std::unexpected(std::move(resolved.error()));
    return true;
}

Result<bool> join_step(Rewrite& rewrite, std::int32_t floor, bool compact) {
    Result<std::optional<InboundChoice>> choice =
        select_inbound(rewrite.work, rewrite.buckets.joins_on(floor), floor, rewrite.context);
    if (!choice) return std::unexpected(std::move(choice.error()));
    if (!*choice) return false;
    return resolve_join(rewrite, **choice, compact);
}

// The straightforward pass: rescans the working copy and resolves the deepest
// conflict, on one floor a cobound edge before a join; a declined cobound
// choice hands its floor to the joins of that floor. True when something was
// resolved.
Result<bool> run_full_scan_pass(Rewrite& rewrite, bool compact) {
    rewrite.buckets.rebuild(rewrite.work);
    const std::optional<std::int32_t> deepest_cobound = rewrite.buckets.deepest_cobound();
    const std::optional<std::int32_t> deepest_join = rewrite.buckets.deepest_join();

    if (deepest_cobound && (!deepest_join || *deepest_cobound >= *deepest_join)) {
        const std::int32_t floor = *deepest_cobound;
        Result<std::optional<CoboundChoice>> choice =
            select_cobound(rewrite.work, rewrite.buckets.cobound_on(floor), floor, rewrite.context);
        if (!choice) return std::unexpected(std::move(choice.error()));
        if (*choice) {
            Result<void> fixed =
                fix_cobound(rewrite.work, (*choice)->edge, (*choice)->floor, rewrite.ids, rewrite.context);
            if (!fixed) return std::unexpected(std::move(fixed.error()));
            return true;
        }
        if (deepest_join && *deepest_join == floor) return join_step(rewrite, floor, compact);
        return false;
    }
    if (deepest_join) return join_step(rewrite, *deepest_join, compact);
    return false;
}

// The incremental pass resolves what the full-scan pass would, without the
// rescan and without scoring a floor's entries more than once. Why that is
// exact:
// - A resolution makes no new conflict and changes no other entry (see
//   canonize/root_depth_bounds.hpp): a cobound repair removes its edge and
//   hangs one virtual node below each end, each with one edge up; a join
//   resolution re-attaches only the join's inbound edges, each to a new
//   mirror with one edge up, and moves or copies only the region below the
//   join, a tree by then. So the conflicts are those of the first pass's
//   buckets; a bucket only loses the entries resolved, and the others keep
//   their edges, indices and adjacency order (the store links new edges in
//   front and unlinks without reordering). Walking those buckets deepest
//   floor first, cobound pairs before joins on a floor, meets the floors as
//   the full scan does; a non-empty bucket is never declined, so the full
//   scan's hand-over of a declined floor does not arise.
// - A score reads only magnets, which are cached on the nodes and not
//   recomputed within a rewrite once computed, parent digests made from
//   them, ids, modalities and edge keys. None of them changes while a floor
//   is resolved, and the first scoring of a floor, made on the same pass as
//   the full scan's, computes every magnet that a later step reads, and every
//   one the ranking reads (see rank_inbound); the full scan's later scorings
//   of the floor would compute, store and report nothing.
// - The full scan keeps the first best entry in bucket order; the ranking is
//   a stable sort of the bucket by the same comparison, a total preorder on
//   one rewrite's scores (every magnet is made with the same hashing
//   setting).
// The assertions check the first point as the walk goes: each entry taken is
// still the conflict it was, and (in debug builds) none is left at the end.
Result<bool> run_incremental_pass(Rewrite& rewrite, bool compact) {
    RankedFloor& ranked = rewrite.ranked;
    if (rewrite.passes == 1) {
        rewrite.buckets.rebuild(rewrite.work);
        ranked.start(std::max(rewrite.buckets.deepest_cobound().value_or(-1),
                              rewrite.buckets.deepest_join().value_or(-1)));
    }
    while (ranked.next == ranked.order.size()) {
        if (!ranked.step()) {
#ifndef NDEBUG
            // A rescan of the grown copy costs more than the first one: only
            // debug builds (the sanitizers') make it.
            rewrite.buckets.rebuild(rewrite.work);
            QUORL_ASSERT(rewrite.buckets.empty());
#endif
            return false;
        }
        const auto floor = static_cast<std::int32_t>(ranked.floor);
        // No conflict lies deeper than this floor, and no step makes one (see
        // above) or changes what hangs below it: from here on the walks of the
        // rewrite's trees may reuse the texts of the nodes deeper than it. The
        // full scan walks every tree in full.
        rewrite.context.tree_scratch.settled.deeper_than = floor;
        Result<void> ranking =
            ranked.joins ? rank_inbound(rewrite.work, rewrite.buckets.joins_on(floor),
                                        rewrite.buckets.cobound_on(floor - 1), rewrite.buckets.joins_on(floor - 1),
                                        rewrite.context, ranked.order)
                         : rank_cobound(rewrite.work, rewrite.buckets.cobound_on(floor), rewrite.context, ranked.order);
        if (!ranking) return std::unexpected(std::move(ranking.error()));
    }

    const auto floor = static_cast<std::int32_t>(ranked.floor);
    const std::size_t position = ranked.order[ranked.next++];
    if (!ranked.joins) {
        const CoboundPair& pair = rewrite.buckets.cobound_on(floor)[position];
        QUORL_ASSERT(is_cobound_on(rewrite.work, pair.edge, floor));
        Result<void> fixed = fix_cobound(rewrite.work, pair.edge, pair.floor, rewrite.ids, rewrite.context);
        if (!fixed) return std::unexpected(std::move(fixed.error()));
        return true;
    }
    const JoinEntry& join = rewrite.buckets.joins_on(floor)[position];
    QUORL_ASSERT(collect_join_edges(rewrite.work, join.node, floor, ranked.inbound) &&
                 ranked.inbound == join.inbound_edges);
    return resolve_join(rewrite, InboundChoice{join.inbound_edges, join.floor, join.node}, compact);
}

Result<bool> run_pass(Rewrite& rewrite, bool compact) {
    ++rewrite.passes;
    return rewrite.search == ConflictSearch::FullScan ? run_full_scan_pass(rewrite, compact)
                                                      : run_incremental_pass(rewrite, compact);
}

}  // namespace

Result<GraphWrap> to_dag_with_mode(const GraphWrap& graph, std::string_view root_id, const Exclusion& excluded,
                                   bool compact, bool allow_hashes, const StopCheck& stop, ConflictSearch search,
                                   const TraceSwitches& trace, RewriteScratch* scratch,
                                   std::optional<std::uint64_t> graph_bytes) {
    Rewrite rewrite(allow_hashes, stop, search, trace, scratch);
#ifndef NDEBUG
    QUORL_ASSERT(!graph_bytes || *graph_bytes == graph.held_bytes());  // costs a pass: debug builds only
#endif
    const bool counted = rewrite.context.held.budget() != nullptr;
    const std::uint64_t copy_bytes = !counted ? 0 : graph_bytes ? *graph_bytes : graph.held_bytes();
    if (!rewrite.context.held.try_take(copy_bytes)) {
        return out_of_memory_error("a working copy of this graph (" + format_bytes(copy_bytes) +
                                   ") does not fit in what is left of the memory budget of " +
                                   format_bytes(rewrite.context.held.budget()->limit()));
    }
    // A copy holds exactly its slots, so the first node or edge a step adds
    // would move them all, and the next doubling again. Small graphs, which
    // the copies of expanded joins typically grow several times over, get
    // that room up front, a large one only a little, for its memory's sake:
    // the slots, reserved in the empty store, which keeps them when the graph
    // is copied in. The id index comes with the copy, with room left at its
    // load limit; a join reserves what it adds. (Room reserved for it here
    // would be replaced by the copy's table, and after the copy would cost a
    // rehash on every rewrite, most of which add few nodes or none.)
    const std::size_t spare_nodes = std::min<std::size_t>(3 * graph.node_bound(), kSpareSlots);
    const std::size_t spare_edges = std::min<std::size_t>(3 * graph.edge_bound(), kSpareSlots);
    if (scratch != nullptr) {
        rewrite.work = std::move(scratch->spare_store);
        rewrite.work.forget_keeping_memory();
    }
    if (!rewrite.work.reserve_slots(graph.node_bound() + spare_nodes, graph.edge_bound() + spare_edges,
                                    rewrite.context.stop)) {
        return interrupted_error();
    }
    rewrite.work = graph;
    {
        Failable<std::vector<LevelledNode>> levelled = level_nodes(rewrite.work, root_id, excluded);
        if (!levelled) return parse_error(std::move(levelled.error()));
        rewrite.levelled = std::move(*levelled);
    }
    // The nodes the levelling did not reach are removed. When it reached as
    // many nodes as are live, it reached them all, and none is left.
    if (rewrite.levelled.size() != rewrite.work.node_count()) {
        // Removing a node keeps its slot: the bound stays.
        const NodeIndex bound = rewrite.work.node_bound();
        for (NodeIndex node = 0; node < bound; ++node) {
            const NodeData* data = rewrite.work.node(node);
            if (data != nullptr && !data->meta.floor) rewrite.ids.remove_node(rewrite.work, node);
        }
    }
    if (!compact && rewrite.context.held.budget() != nullptr) {
        if (Result<void> fits = check_expanded_size(rewrite, copy_bytes, allow_hashes); !fits) {
            return std::unexpected(std::move(fits.error()));
        }
    }

    // Trace events report every pass's scores, which only the full scan makes.
    if (rewrite.context.trace.events) rewrite.search = ConflictSearch::FullScan;
    while (true) {
        if (rewrite.context.stop.check_now()) return interrupted_error();
        Result<bool> resolved = run_pass(rewrite, compact);
        if (!resolved) return std::unexpected(std::move(resolved.error()));
        if (!*resolved) break;
        emit_counts(rewrite.context.trace, rewrite.work);
        if (rewrite.passes == kRewritePassGuard) return unsupported_error(std::string(kRewriteGuardMessage));
    }

    // Nodes of the first levelling get their floors back, also where a node
    // made during the rewrite took the slot of a removed one.
    for (const auto [node, floor] : rewrite.levelled) {
        if (NodeData* data = rewrite.work.node(node)) data->meta.floor = floor;
    }
    return std::move(rewrite.work);
}

}  // namespace quorl
