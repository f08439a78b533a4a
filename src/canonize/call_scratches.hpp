// The buffers one canonising call lends its steps, kept by each thread from
// one call to the next.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "canonize/candidates.hpp"
#include "canonize/pruning.hpp"
#include "canonize/root_depth_bounds.hpp"
#include "dag/rewrite_context.hpp"
#include "tree/tree_traversal.hpp"

namespace quorl {

// Each member is made when first needed, or filled anew by the step it is lent to.
struct CallScratches {
    ScoringCandidates scoring;  // the latest call's candidates, whose buffers the next call's refill
    SharedNodeSearch shared_search;
    CandidateDepths::Tables depths;
    TextStartScratch text_starts;
    // The scoring pass's lists by candidate: how its text starts, and the order of rewriting.
    std::vector<std::optional<std::string>> candidate_text_starts;
    std::vector<std::size_t> candidate_order;
    std::optional<TreeScratch> walks;
    std::optional<RewriteScratch> rewrites;
};

// The scratches this thread kept from its latest call (empty ones at first),
// taken out for this call: a call made meanwhile on the thread (from a signal
// handler that the host's stop poll runs) gets scratches of its own.
CallScratches take_kept_scratches();

// Keeps a call's scratches for the thread's next call when they are small.
// Only a call that returned a result gives them back: one that stopped or
// failed part way may have left a walk or a region search unfinished.
void keep_scratches(CallScratches&& scratches);

}  // namespace quorl
