#include "dag/dag_rewrite.hpp"

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "dag/candidate_buckets.hpp"
#include "dag/cobound.hpp"
#include "dag/inbound.hpp"
#include "dag/join.hpp"
#include "dag/magnet.hpp"
#include "dag/trace.hpp"
#include "graph/floors.hpp"

namespace quorl {

namespace {

struct Rewrite {
    GraphWrap work;
    std::vector<LevelledNode> levelled;  // the first levelling, written back at the end
    std::uint64_t passes = 0;
    GeneratedIds ids;
    CandidateBuckets buckets;
};

Result<bool> join_step(Rewrite& rewrite, std::int32_t floor, bool compact, bool allow_hashes) {
    Result<std::optional<InboundChoice>> choice =
        select_inbound(rewrite.work, rewrite.buckets.joins_on(floor), floor, allow_hashes);
    if (!choice) return std::unexpected(std::move(choice.error()));
    if (!*choice) return false;
    Result<std::string> magnet = get_magnet(rewrite.work, (*choice)->node, allow_hashes);
    if (!magnet) return std::unexpected(std::move(magnet.error()));
    Result<void> resolved = compact
                                ? resolve_join_compact(rewrite.work, **choice, *magnet, rewrite.ids)
                                : resolve_join_expanded(rewrite.work, **choice, *magnet, rewrite.ids);
    if (!resolved) return std::unexpected(std::move(resolved.error()));
    return true;
}

// Resolves the deepest conflict: on one floor a cobound edge before a join,
// and a declined cobound choice hands its floor to the joins of that floor.
// True when something was resolved.
Result<bool> run_pass(Rewrite& rewrite, bool compact, bool allow_hashes) {
    ++rewrite.passes;
    rewrite.buckets.rebuild(rewrite.work);
    const std::optional<std::int32_t> deepest_cobound = rewrite.buckets.deepest_cobound();
    const std::optional<std::int32_t> deepest_join = rewrite.buckets.deepest_join();

    if (deepest_cobound && (!deepest_join || *deepest_cobound >= *deepest_join)) {
        const std::int32_t floor = *deepest_cobound;
        Result<std::optional<CoboundChoice>> choice =
            select_cobound(rewrite.work, rewrite.buckets.cobound_on(floor), floor, allow_hashes);
        if (!choice) return std::unexpected(std::move(choice.error()));
        if (*choice) {
            Result<void> fixed =
                fix_cobound(rewrite.work, (*choice)->edge, (*choice)->floor, rewrite.ids, allow_hashes);
            if (!fixed) return std::unexpected(std::move(fixed.error()));
            return true;
        }
        if (deepest_join && *deepest_join == floor) return join_step(rewrite, floor, compact, allow_hashes);
        return false;
    }
    if (deepest_join) return join_step(rewrite, *deepest_join, compact, allow_hashes);
    return false;
}

}  // namespace

Result<GraphWrap> to_dag_with_mode(const GraphWrap& graph, std::string_view root_id, const Exclusion& excluded,
                                   bool compact, bool allow_hashes, const StopCheck& stop) {
    Rewrite rewrite{graph, {}, 0, {}, {}};
    {
        Failable<std::vector<LevelledNode>> levelled = level_nodes(rewrite.work, root_id, excluded);
        if (!levelled) return parse_error(std::move(levelled.error()));
        rewrite.levelled = std::move(*levelled);
    }
    for (NodeIndex node = 0; node < rewrite.work.node_bound(); ++node) {
        const NodeData* data = rewrite.work.node(node);
        if (data != nullptr && !data->meta.floor) rewrite.ids.remove_node(rewrite.work, node);
    }

    while (true) {
        if (stop.stop_requested()) return interrupted_error();
        Result<bool> resolved = run_pass(rewrite, compact, allow_hashes);
        if (!resolved) return std::unexpected(std::move(resolved.error()));
        if (!*resolved) break;
        emit_counts(rewrite.work);
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
