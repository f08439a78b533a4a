// What one rewrite call settles once and lends to each of its steps.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "dag/candidate_buckets.hpp"
#include "dag/trace.hpp"
#include "error/quorl_error.hpp"
#include "graph/graph_wrap.hpp"
#include "limits/memory_budget.hpp"
#include "tree/tree_traversal.hpp"

namespace quorl {

// A join's region as expanded resolution lists it (see join.cpp), kept with
// the rewrite so that its vectors keep their room from one join to the next.
struct JoinRegion {
    struct Ends {
        std::uint32_t first;
        std::uint32_t second;
    };

    std::vector<NodeIndex> nodes;      // ascending
    std::vector<EdgeIndex> edges;      // ascending
    std::vector<Ends> ends;            // by position in `edges`: its ends' positions in `nodes`
    std::vector<std::int32_t> floors;  // by position in `nodes`: the distance from the join
    std::size_t join_position = 0;     // of the join in `nodes`
    // Scratch of the search: by node index, -1 outside a search; by position
    // in the search's visit order, the distance from the join.
    std::vector<std::int32_t> position;
    std::vector<std::int32_t> distance;
    std::vector<NodeIndex> copy_of;  // by position in `nodes`: the node's copy
    std::vector<std::uint32_t> sorting;  // scratch of the sorts of `nodes` and `edges`
};

// The ranking of one floor's conflicts at a time (see the incremental pass).
struct RankingScratch {
    std::vector<std::size_t> order;  // positions in the floor's bucket, best first
    std::vector<EdgeIndex> inbound;  // a join's inbound edges, collected again to check them
};

// The buffers a rewrite's steps reuse from one step to the next. A caller
// that rewrites one candidate after another lends one to every rewrite, which
// then grows none of its own.
struct RewriteScratch {
    // Lent to every tree the rewrite writes (magnets, compact joins), so a
    // magnet costs the region it describes, not the whole working copy.
    TreeScratch tree;
    JoinRegion region;
    // The rewrite's conflicts, rebuilt from the working copy before any is read.
    CandidateBuckets buckets;
    RankingScratch ranking;
    // A rewritten form its caller is done with: the next rewrite's working
    // copy takes its slots' memory, as a new store in all else.
    GraphWrap spare_store;

    // As a new scratch before a rewrite: no settled subtrees, and texts whose
    // label pool grows from nothing (what writing a magnet holds reads it).
    // Every walk clears what the previous one reached, every region search
    // leaves its positions at -1, and the buckets are rebuilt in full before
    // they are read, so nothing else carries over.
    void start_rewrite() {
        tree.traversal.texts.clear_as_new();
        tree.settled.deeper_than.reset();
        for (std::vector<FinishedNode>& texts : tree.settled.by_order) texts.clear();
    }
};

struct RewriteContext {
    // With `lent`, the steps use its buffers; otherwise buffers of their own.
    RewriteContext(bool allow_hashes, const StopCheck& stop, const TraceSwitches& trace,
                   RewriteScratch* lent = nullptr)
        : allow_hashes(allow_hashes),
          trace(trace),
          stop(stop),
          held(stop.memory_budget()),
          scratch_(lent != nullptr ? *lent : own_scratch_.emplace()),
          tree_scratch(scratch_.tree),
          region(scratch_.region),
          buckets(scratch_.buckets),
          ranking(scratch_.ranking) {
        if (lent != nullptr) lent->start_rewrite();
    }
    RewriteContext(const RewriteContext&) = delete;
    RewriteContext& operator=(const RewriteContext&) = delete;

    const bool allow_hashes;
    const TraceSwitches trace;
    // Polled inside the steps' loops; once it has stopped, a step returns
    // interrupted_error() instead of whatever else it would report.
    StopPoll stop;
    // What the working copy holds in the call's memory budget: the copy itself,
    // and what the steps add to it (copied regions, mirrors' origins, cached magnets).
    MemoryHold held;

private:
    std::optional<RewriteScratch> own_scratch_;
    RewriteScratch& scratch_;

public:
    TreeScratch& tree_scratch;
    JoinRegion& region;
    CandidateBuckets& buckets;
    RankingScratch& ranking;
};

}  // namespace quorl
