// The rewrite of a levelled graph into its rooted directed form.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "dag/candidate_buckets.hpp"
#include "dag/trace.hpp"
#include "error/quorl_error.hpp"
#include "graph/exclusion.hpp"
#include "graph/graph_wrap.hpp"

namespace quorl {

struct RewriteScratch;

// The pass on which a rewrite that is still resolving fails: a rewrite may
// resolve at most kRewritePassGuard - 1 conflicts.
inline constexpr std::uint64_t kRewritePassGuard = 10001;
inline constexpr std::string_view kRewriteGuardMessage = "dag rewrite loop exceeded guard limit";

// Rewrites a copy of `graph` rooted at `root_id`: cobound edges become pairs
// of virtual nodes and join nodes are split into mirrors, deepest floor first.
// `compact` picks compact over expanded join resolution; `allow_hashes` makes
// magnets MD5 digests. The input is only read. `stop` is polled between
// passes and inside their loops. `search` picks how each pass finds its
// conflicts; both give the same result, trace lines and errors. `trace`
// says which trace events the rewrite writes. A caller rewriting one root
// after another lends `scratch`, the steps' buffers (see RewriteScratch);
// the result does not depend on it. Under a memory budget the rewrite counts
// the graph's held_bytes(), which such a caller may pass as `graph_bytes`.
Result<GraphWrap> to_dag_with_mode(const GraphWrap& graph, std::string_view root_id, const Exclusion& excluded,
                                   bool compact, bool allow_hashes, const StopCheck& stop = {},
                                   ConflictSearch search = ConflictSearch::Incremental,
                                   const TraceSwitches& trace = TraceSwitches::from_environment(),
                                   RewriteScratch* scratch = nullptr,
                                   std::optional<std::uint64_t> graph_bytes = std::nullopt);

}  // namespace quorl
