#include "canonize/call_scratches.hpp"

#include <cstddef>
#include <utility>

namespace quorl {

namespace {

// Most calls canonise molecules, and making a call's scratches anew cost it
// about as much as one of its walks. A kept scratch acts as a new one wherever
// it is lent: every walk of the whole tree starts its label pool anew and
// clears what the walk before it reached (traverse_whole_tree), every rewrite
// starts its scratch as new (RewriteScratch::start_rewrite), and the scoring
// steps size and fill their tables anew, so what an earlier call left in them
// changes no result and no memory-budget figure.
CallScratches& kept_scratches() {
    thread_local CallScratches kept;
    return kept;
}

// Scratches of at most this many node slots are kept: a few hundred kilobytes.
constexpr std::size_t kKeptScratchNodes = 4096;

bool small_enough_to_keep(const CallScratches& scratches) {
    const auto small = [](const TreeScratch& scratch) { return scratch.visited.size() <= kKeptScratchNodes; };
    return scratches.scoring.incidences.node_bound() <= kKeptScratchNodes &&
           scratches.depths.distance.size() <= kKeptScratchNodes &&
           scratches.text_starts.near.size() <= kKeptScratchNodes && (!scratches.walks || small(*scratches.walks)) &&
           (!scratches.rewrites || (small(scratches.rewrites->tree) &&
                                    scratches.rewrites->region.position.size() <= kKeptScratchNodes &&
                                    scratches.rewrites->spare_store.node_bound() <= kKeptScratchNodes));
}

}  // namespace

CallScratches take_kept_scratches() { return std::exchange(kept_scratches(), {}); }

void keep_scratches(CallScratches&& scratches) {
    if (small_enough_to_keep(scratches)) kept_scratches() = std::move(scratches);
}

}  // namespace quorl
