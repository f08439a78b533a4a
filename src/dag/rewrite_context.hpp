// What one rewrite call settles once and lends to each of its steps.
#pragma once

#include <cstdint>
#include <vector>

#include "dag/trace.hpp"
#include "error/quorl_error.hpp"
#include "limits/memory_budget.hpp"
#include "tree/tree_traversal.hpp"

namespace quorl {

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
    // Distances from a join within its region, by node index; -1 between joins.
    std::vector<std::int32_t> region_distance;
};

}  // namespace quorl
