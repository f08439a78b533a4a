// What one rewrite call settles once and lends to each of its steps.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

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
};

struct RewriteContext {
    RewriteContext(bool allow_hashes, const StopCheck& stop, const TraceSwitches& trace)
        : allow_hashes(allow_hashes), trace(trace), stop(stop), held(stop.memory_budget()) {}

    const bool allow_hashes;
    const TraceSwitches trace;
    // Polled inside the steps' loops; once it has stopped, a step returns
    // interrupted_error() instead of whatever else it would report.
    StopPoll stop;
    // What the working copy holds in the call's memory budget: the copy itself,
    // and what the steps add to it (copied regions, mirrors' origins, cached magnets).
    MemoryHold held;
    // Lent to every tree the rewrite writes (magnets, compact joins), so a
    // magnet costs the region it describes, not the whole working copy.
    TreeScratch tree_scratch;
    JoinRegion region;
};

}  // namespace quorl
