// The scoring pass: one tree string per candidate root.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "canonize/candidates.hpp"
#include "dag/candidate_buckets.hpp"
#include "dag/trace.hpp"
#include "error/quorl_error.hpp"
#include "graph/exclusion.hpp"
#include "graph/graph_wrap.hpp"
#include "limits/memory_budget.hpp"

namespace quorl {

struct CallScratches;

// For each candidate in order: rewrites the graph rooted there (nothing
// excluded from the rewrite) and writes its tree string with `excluded_ids`
// left out of the walk, the modality order set. One entry per candidate, in
// candidate order. A rewrite failure is returned unchanged, a tree writer
// failure as a Parse error. Holds one rewritten copy at a time; `stop` is
// polled before every candidate. `search` and `trace` go to every rewrite.
Result<std::vector<ScoringEntry>> collect_candidate_scores(
    const GraphWrap& graph, const std::vector<std::string>& candidates, const IdSet& excluded_ids, bool compact,
    bool allow_hashes, const StopCheck& stop = {}, ConflictSearch search = ConflictSearch::Incremental,
    const TraceSwitches& trace = TraceSwitches::from_environment());

// Takes a rewritten form into `hold` while its caller writes its texts (the
// rewrite's own account ends when it returns); fails with an out-of-memory
// error when it does not fit. Nothing is counted without a budget.
Result<void> hold_rewritten_form(MemoryHold& hold, const GraphWrap& rewritten);

// A winner's tree string written with nothing excluded, with its groups (for
// group compression), and its node order when asked for.
struct CanonicalForm {
    std::string text;
    std::vector<TextSpan> groups;
    std::vector<std::string> node_order;
};

// What the scoring pass and the final pass together give: of the candidates
// whose scoring entry (written with the shared ids left out) is greatest, the
// smallest form written with nothing excluded, the earliest candidate on a
// tie; or the error the first failing candidate's rewrite gives. Equal to
// collect_candidate_scores followed by a final pass over every winner, but it
// rewrites only the candidates whose entry can still be greatest, and writes
// a candidate's final form only when its entry is the greatest so far.
// Precondition: at least one candidate, `scoring` is the graph's; no node id
// can equal a generated id (ids_may_meet_generated_ids); tracing is off (the
// reference road emits the rewrites' trace events). `graph_bytes`, when
// given, is the graph's held_bytes(), which a caller under a memory budget
// has counted already. The walks, rewrites and depth bounds work in `scratches`.
Result<CanonicalForm> best_candidate_form(const GraphWrap& graph, const ScoringCandidates& scoring, bool compact,
                                          bool allow_hashes, bool with_node_order, const StopCheck& stop,
                                          std::optional<std::uint64_t> graph_bytes, CallScratches& scratches);

}  // namespace quorl
