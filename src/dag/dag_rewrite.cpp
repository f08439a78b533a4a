#include "dag/dag_rewrite.hpp"

#include <limits>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "dag/cobound.hpp"
#include "dag/inbound.hpp"
#include "dag/join.hpp"
#include "dag/magnet.hpp"
#include "dag/trace.hpp"
#include "graph/floors.hpp"

namespace quorl {

namespace {

constexpr std::uint64_t kPassGuard = 10001;

// The conflicts of the working copy by floor, rebuilt at the start of every
// pass by one pass over the nodes and one over the edges. Inner vectors and
// scratch arrays keep their capacity between passes.
class CandidateBuckets {
public:
    void rebuild(const GraphWrap& graph) {
        for (auto& bucket : cobound_) bucket.clear();
        for (auto& bucket : joins_) bucket.clear();
        deepest_cobound_.reset();
        deepest_join_.reset();

        // Node slots are large; a compact copy of the floors keeps the edge
        // pass and the inbound walks out of them.
        floors_.assign(graph.node_bound(), kNoFloor);
        inbound_counts_.assign(graph.node_bound(), 0);
        for (NodeIndex node = 0; node < graph.node_bound(); ++node) {
            const NodeData* data = graph.node(node);
            if (data != nullptr && data->meta.floor) floors_[node] = *data->meta.floor;
        }

        // Cobound pairs in edge index order; an edge to a deeper node on a
        // floor not below 0 is one of that node's inbound edges.
        for (EdgeIndex edge = 0; edge < graph.edge_bound(); ++edge) {
            if (!graph.has_edge(edge)) continue;
            const auto [first, second] = graph.endpoints(edge);
            const std::int64_t first_floor = floors_[first];
            const std::int64_t second_floor = floors_[second];
            if (first_floor == kNoFloor || second_floor == kNoFloor) continue;
            if (first_floor == second_floor) {
                if (first_floor < 0) continue;
                const auto floor = static_cast<std::int32_t>(first_floor);
                bucket_at(cobound_, floor).push_back(CoboundPair{edge, floor});
                if (!deepest_cobound_ || floor > *deepest_cobound_) deepest_cobound_ = floor;
            } else {
                const NodeIndex deeper = first_floor > second_floor ? first : second;
                if (floors_[deeper] >= 0) ++inbound_counts_[deeper];
            }
        }

        // Join entries in node index order, inbound edges in adjacency order.
        for (NodeIndex node = 0; node < graph.node_bound(); ++node) {
            if (inbound_counts_[node] < 2) continue;
            const std::int64_t floor = floors_[node];
            JoinEntry join{{}, static_cast<std::int32_t>(floor), node};
            join.inbound_edges.reserve(inbound_counts_[node]);
            graph.for_each_incident(node, [&](EdgeIndex edge, NodeIndex other) {
                if (floors_[other] != kNoFloor && floors_[other] < floor) join.inbound_edges.push_back(edge);
            });
            bucket_at(joins_, join.floor).push_back(std::move(join));
            if (!deepest_join_ || floor > *deepest_join_) deepest_join_ = static_cast<std::int32_t>(floor);
        }
    }

    std::optional<std::int32_t> deepest_cobound() const { return deepest_cobound_; }
    std::optional<std::int32_t> deepest_join() const { return deepest_join_; }
    const std::vector<CoboundPair>& cobound_on(std::int32_t floor) const { return cobound_[index_of(floor)]; }
    const std::vector<JoinEntry>& joins_on(std::int32_t floor) const { return joins_[index_of(floor)]; }

private:
    // Below every signed 32-bit floor.
    static constexpr std::int64_t kNoFloor = std::numeric_limits<std::int64_t>::min();

    static std::size_t index_of(std::int32_t floor) { return static_cast<std::size_t>(floor); }

    template <class Item>
    static std::vector<Item>& bucket_at(std::vector<std::vector<Item>>& buckets, std::int32_t floor) {
        if (index_of(floor) >= buckets.size()) buckets.resize(index_of(floor) + 1);
        return buckets[index_of(floor)];
    }

    std::vector<std::vector<CoboundPair>> cobound_;
    std::vector<std::vector<JoinEntry>> joins_;
    std::optional<std::int32_t> deepest_cobound_;
    std::optional<std::int32_t> deepest_join_;
    std::vector<std::int64_t> floors_;
    std::vector<std::uint32_t> inbound_counts_;
};

// A join waiting for its region to be rewritten on its own (expanded resolution).
struct PendingExpansion {
    InboundChoice join;
    std::string magnet;
};

// One driver call. Expanded resolution nests driver calls, one per join
// level; they are frames on an explicit stack, so the nesting depth is
// bounded by memory, not by the C++ call stack.
struct DriverFrame {
    GraphWrap work;
    FloorTable floors;
    std::uint64_t passes = 0;
    std::uint64_t virtual_counter = 0;
    std::uint64_t mirror_group = 0;
    CandidateBuckets buckets;
    std::optional<PendingExpansion> pending;
};

// Copies the graph, levels the copy from the root and drops every node the
// levelling did not reach.
Result<DriverFrame> start_frame(const GraphWrap& graph, std::string_view root_id, const Exclusion& excluded) {
    DriverFrame frame{graph, {}, 0, 0, 0, {}, std::nullopt};
    Failable<FloorTable> floors = compute_floors(frame.work, root_id, excluded);
    if (!floors) return parse_error(std::move(floors.error()));
    frame.floors = std::move(*floors);

    std::vector<std::string> unreached;
    for (NodeIndex node = 0; node < frame.work.node_bound(); ++node) {
        const NodeData* data = frame.work.node(node);
        if (data != nullptr && !data->meta.floor) unreached.push_back(data->id);
    }
    for (const std::string& id : unreached) frame.work.remove_node(id);
    return frame;
}

enum class PassOutcome { Resolved, Expanding, Ended };

Result<PassOutcome> join_step(DriverFrame& frame, std::int32_t floor, bool compact, bool allow_hashes) {
    Result<std::optional<InboundChoice>> choice =
        select_inbound(frame.work, frame.buckets.joins_on(floor), floor, allow_hashes);
    if (!choice) return std::unexpected(std::move(choice.error()));
    if (!*choice) return PassOutcome::Ended;
    Result<std::string> magnet = get_magnet(frame.work, (*choice)->node, allow_hashes);
    if (!magnet) return std::unexpected(std::move(magnet.error()));
    if (!compact) {
        frame.pending = PendingExpansion{std::move(**choice), std::move(*magnet)};
        return PassOutcome::Expanding;
    }
    Result<void> resolved = resolve_join_compact(frame.work, **choice, *magnet, frame.mirror_group);
    if (!resolved) return std::unexpected(std::move(resolved.error()));
    return PassOutcome::Resolved;
}

// Resolves the deepest conflict: on one floor a cobound edge before a join,
// and a declined cobound choice hands its floor to the joins of that floor.
Result<PassOutcome> run_pass(DriverFrame& frame, bool compact, bool allow_hashes) {
    ++frame.passes;
    frame.buckets.rebuild(frame.work);
    const std::optional<std::int32_t> deepest_cobound = frame.buckets.deepest_cobound();
    const std::optional<std::int32_t> deepest_join = frame.buckets.deepest_join();

    if (deepest_cobound && (!deepest_join || *deepest_cobound >= *deepest_join)) {
        const std::int32_t floor = *deepest_cobound;
        Result<std::optional<CoboundChoice>> choice =
            select_cobound(frame.work, frame.buckets.cobound_on(floor), floor, allow_hashes);
        if (!choice) return std::unexpected(std::move(choice.error()));
        if (*choice) {
            Result<void> fixed =
                fix_cobound(frame.work, (*choice)->edge, (*choice)->floor, frame.virtual_counter, allow_hashes);
            if (!fixed) return std::unexpected(std::move(fixed.error()));
            return PassOutcome::Resolved;
        }
        if (deepest_join && *deepest_join == floor) return join_step(frame, floor, compact, allow_hashes);
        return PassOutcome::Ended;
    }
    if (deepest_join) return join_step(frame, *deepest_join, compact, allow_hashes);
    return PassOutcome::Ended;
}

Result<void> end_resolving_pass(const DriverFrame& frame) {
    emit_counts(frame.work);
    if (frame.passes == kPassGuard) return unsupported_error("dag rewrite loop exceeded guard limit");
    return {};
}

// Nodes of the first levelling get their floors back, also where a node made
// during the rewrite took the slot of a removed one.
void restore_floors(DriverFrame& frame) {
    for (std::size_t floor = 0; floor < frame.floors.size(); ++floor) {
        for (const NodeIndex node : frame.floors[floor]) {
            if (NodeData* data = frame.work.node(node)) data->meta.floor = static_cast<std::int32_t>(floor);
        }
    }
}

}  // namespace

Result<GraphWrap> to_dag_with_mode(const GraphWrap& graph, std::string_view root_id, const Exclusion& excluded,
                                   bool compact, bool allow_hashes, const StopCheck& stop) {
    std::vector<DriverFrame> frames;
    {
        Result<DriverFrame> outer = start_frame(graph, root_id, excluded);
        if (!outer) return std::unexpected(std::move(outer.error()));
        frames.push_back(std::move(*outer));
    }
    // The rewritten region a finished nested call hands to the frame below it.
    std::optional<GraphWrap> sub_form;

    while (true) {
        DriverFrame& frame = frames.back();
        if (sub_form) {
            const PendingExpansion& pending = *frame.pending;
            Result<void> attached =
                attach_region_copies(frame.work, pending.join, pending.magnet, *sub_form, frame.mirror_group);
            if (!attached) return std::unexpected(std::move(attached.error()));
            frame.pending.reset();
            sub_form.reset();
            if (Result<void> ended = end_resolving_pass(frame); !ended) return std::unexpected(ended.error());
        }

        if (stop.stop_requested()) return interrupted_error();
        Result<PassOutcome> outcome = run_pass(frame, compact, allow_hashes);
        if (!outcome) return std::unexpected(std::move(outcome.error()));

        switch (*outcome) {
            case PassOutcome::Resolved:
                if (Result<void> ended = end_resolving_pass(frame); !ended) return std::unexpected(ended.error());
                break;
            case PassOutcome::Expanding: {
                const InboundChoice& join = frame.pending->join;
                const std::vector<bool> outside = outside_join_region(frame.work, join.node, join.floor);
                Result<DriverFrame> nested = start_frame(frame.work, frame.work.node_at(join.node).id,
                                                         Exclusion::of_nodes(outside));
                if (!nested) return std::unexpected(std::move(nested.error()));
                frames.push_back(std::move(*nested));  // invalidates `frame`
                break;
            }
            case PassOutcome::Ended:
                restore_floors(frame);
                if (frames.size() == 1) return std::move(frame.work);
                sub_form = std::move(frame.work);
                frames.pop_back();
                break;
        }
    }
}

}  // namespace quorl
