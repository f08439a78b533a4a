// The scoring pass: one tree string per candidate root.
#pragma once

#include <string>
#include <vector>

#include "canonize/candidates.hpp"
#include "error/quorl_error.hpp"
#include "graph/exclusion.hpp"
#include "graph/graph_wrap.hpp"

namespace quorl {

// For each candidate in order: rewrites the graph rooted there (nothing
// excluded from the rewrite) and writes its tree string with `excluded_ids`
// left out of the walk, the modality order set. One entry per candidate, in
// candidate order. A rewrite failure is returned unchanged, a tree writer
// failure as a Parse error. Holds one rewritten copy at a time; `stop` is
// polled before every candidate.
Result<std::vector<ScoringEntry>> collect_candidate_scores(const GraphWrap& graph,
                                                           const std::vector<std::string>& candidates,
                                                           const IdSet& excluded_ids, bool compact,
                                                           bool allow_hashes, const StopCheck& stop = {});

}  // namespace quorl
