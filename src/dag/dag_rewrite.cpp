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

struct Rewrite {
    Rewrite(bool allow_hashes, const StopCheck& stop, ConflictSearch search)
        : search(search), context(allow_hashes, stop) {}

    GraphWrap work;
    std::vector<LevelledNode> levelled;  // the first levelling, written back at the end
    std::uint64_t passes = 0;
    GeneratedIds ids;
    CandidateBuckets buckets;
    ConflictSearch search;
    std::vector<EdgeIndex> added_edges;  // by the last step, for the incremental search
    RewriteContext context;
};

// Fails when the working copy that expanded resolution will have built by
// its end cannot fit: counted ahead from its nodes' and edges' records and
// its text, a lower bound of what it will hold. A rewrite that will stop at
// the pass guard first is left to fail there.
Result<void> check_expanded_size(Rewrite& rewrite, std::uint64_t copy_bytes, bool allow_hashes) {
    const RewriteSize size = count_rewrite(rewrite.work, rewrite.levelled, allow_hashes);
    if (size.conflicts >= kRewritePassGuard) return {};
    // The text is held twice at the end: written, and handed to the caller.
    const std::uint64_t needed = [&] {
        const long double bytes = static_cast<long double>(size.expanded_nodes) * GraphWrap::node_record_bytes() +
                                  static_cast<long double>(size.expanded_edges) * GraphWrap::edge_record_bytes() +
                                  2.0L * static_cast<long double>(size.expanded_text_bytes);
        return bytes >= 1.8e19L ? UINT64_MAX : static_cast<std::uint64_t>(bytes);
    }();
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

Result<bool> join_step(Rewrite& rewrite, std::int32_t floor, bool compact) {
    Result<std::optional<InboundChoice>> choice =
        select_inbound(rewrite.work, rewrite.buckets.joins_on(floor), floor, rewrite.context);
    if (!choice) return std::unexpected(std::move(choice.error()));
    if (!*choice) return false;
    Result<std::string> magnet = get_magnet(rewrite.work, (*choice)->node, rewrite.context);
    if (!magnet) return std::unexpected(std::move(magnet.error()));
    Result<void> resolved =
        compact ? resolve_join_compact(rewrite.work, **choice, *magnet, rewrite.ids, rewrite.context)
                : resolve_join_expanded(rewrite.work, **choice, *magnet, rewrite.ids, rewrite.context);
    if (!resolved) return std::unexpected(std::move(resolved.error()));
    return true;
}

void find_conflicts(Rewrite& rewrite) {
    if (rewrite.search == ConflictSearch::FullScan || rewrite.passes == 1) {
        rewrite.buckets.rebuild(rewrite.work);
    } else {
        rewrite.buckets.update(rewrite.work, rewrite.added_edges);
    }
    rewrite.added_edges.clear();
}

// No conflict lies deeper than the floor a pass resolves, and no step makes
// one (see root_depth_bounds.hpp) or changes what hangs below that floor:
// from here on the walks of the rewrite's trees may reuse the texts of the
// nodes deeper than it. The reference road walks every tree in full.
void settle_deeper_than(Rewrite& rewrite, std::int32_t floor) {
    if (rewrite.search == ConflictSearch::Incremental) rewrite.context.tree_scratch.settled.deeper_than = floor;
}

// Resolves the deepest conflict: on one floor a cobound edge before a join,
// and a declined cobound choice hands its floor to the joins of that floor.
// True when something was resolved.
Result<bool> run_pass(Rewrite& rewrite, bool compact) {
    ++rewrite.passes;
    find_conflicts(rewrite);
    const std::optional<std::int32_t> deepest_cobound = rewrite.buckets.deepest_cobound();
    const std::optional<std::int32_t> deepest_join = rewrite.buckets.deepest_join();

    if (deepest_cobound && (!deepest_join || *deepest_cobound >= *deepest_join)) {
        const std::int32_t floor = *deepest_cobound;
        settle_deeper_than(rewrite, floor);
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
    if (deepest_join) {
        settle_deeper_than(rewrite, *deepest_join);
        return join_step(rewrite, *deepest_join, compact);
    }
    return false;
}

}  // namespace

Result<GraphWrap> to_dag_with_mode(const GraphWrap& graph, std::string_view root_id, const Exclusion& excluded,
                                   bool compact, bool allow_hashes, const StopCheck& stop, ConflictSearch search) {
    Rewrite rewrite(allow_hashes, stop, search);
    const std::uint64_t copy_bytes = rewrite.context.held.budget() != nullptr ? graph.held_bytes() : 0;
    if (!rewrite.context.held.try_take(copy_bytes)) {
        return out_of_memory_error("a working copy of this graph (" + format_bytes(copy_bytes) +
                                   ") does not fit in what is left of the memory budget of " +
                                   format_bytes(rewrite.context.held.budget()->limit()));
    }
    rewrite.work = graph;
    // A copy holds exactly its slots, so the first node or edge a step adds
    // would move them all, and the next doubling again. Small graphs, which
    // the copies of expanded joins typically grow several times over, get
    // that room up front; a large one only a little, for its memory's sake.
    rewrite.work.reserve_more_slots(std::min<std::size_t>(3 * graph.node_bound(), kSpareSlots),
                                    std::min<std::size_t>(3 * graph.edge_bound(), kSpareSlots));
    {
        Failable<std::vector<LevelledNode>> levelled = level_nodes(rewrite.work, root_id, excluded);
        if (!levelled) return parse_error(std::move(levelled.error()));
        rewrite.levelled = std::move(*levelled);
    }
    for (NodeIndex node = 0; node < rewrite.work.node_bound(); ++node) {
        const NodeData* data = rewrite.work.node(node);
        if (data != nullptr && !data->meta.floor) rewrite.ids.remove_node(rewrite.work, node);
    }
    if (!compact && rewrite.context.held.budget() != nullptr) {
        if (Result<void> fits = check_expanded_size(rewrite, copy_bytes, allow_hashes); !fits) {
            return std::unexpected(std::move(fits.error()));
        }
    }

    rewrite.work.list_added_edges(&rewrite.added_edges);
    while (true) {
        if (rewrite.context.stop.check_now()) return interrupted_error();
        Result<bool> resolved = run_pass(rewrite, compact);
        if (!resolved) return std::unexpected(std::move(resolved.error()));
        if (!*resolved) break;
        if (rewrite.context.trace.events) emit_counts(rewrite.work);
        if (rewrite.passes == kRewritePassGuard) return unsupported_error(std::string(kRewriteGuardMessage));
    }
    rewrite.work.list_added_edges(nullptr);

    // Nodes of the first levelling get their floors back, also where a node
    // made during the rewrite took the slot of a removed one.
    for (const auto [node, floor] : rewrite.levelled) {
        if (NodeData* data = rewrite.work.node(node)) data->meta.floor = floor;
    }
    return std::move(rewrite.work);
}

}  // namespace quorl
