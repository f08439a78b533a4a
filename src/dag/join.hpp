// Join resolution: a join node gets one mirror node per inbound edge.
#pragma once

#include <cstdint>
#include <string_view>

#include "dag/generated_ids.hpp"
#include "dag/inbound.hpp"
#include "dag/rewrite_context.hpp"
#include "error/quorl_error.hpp"
#include "graph/graph_wrap.hpp"
#include "limits/memory_budget.hpp"

namespace quorl {

// Both resolutions read `magnet` before they change the graph, so it may be a
// view of the join's own magnet cache (see cached_magnet).

// Compact resolution: each inbound edge j of the join is re-attached as
// "#{id}_{j}" to its own mirror "#m{group}_{j}" (group: the mirror group of
// `ids`; the join's label, the magnet as origin); the mirror whose tree string
// read from its parent is smallest takes the join's lower edges as
// "{id}_main", and the join node is removed. Advances the mirror group. Fails with "no inbound candidates" for an empty
// inbound list and "inbound edge missing" for a dead inbound edge. The
// mirrors' origins are taken out of the context's memory hold before they
// are made; when they do not fit, it fails with an out-of-memory error.
Result<void> resolve_join_compact(GraphWrap& graph, const InboundChoice& join, std::string_view magnet,
                                  GeneratedIds& ids, RewriteContext& context);

// Expanded resolution: the join's region (what a walk from the join reaches
// without entering a floor above it) is rewritten on its own, rooted at the
// join. Each inbound edge j is then re-attached to its own mirror
// "#m{group}_{j}" (label ".", the magnet as origin), which gets a copy of the
// rewritten region whose ids carry the suffix "@{mirror id}" and whose floors
// continue below the mirror, linked by the edge "{join id}_link_{j}". The
// join node and its region stay, cut off from the inbound edges. Advances
// the mirror group. Fails with "inbound edge missing" for a dead inbound edge.
// The copies are taken out of the context's memory hold, the working copy's
// share of the memory budget, before they are made; when they do not fit, it
// fails with an out-of-memory error and adds nothing.
Result<void> resolve_join_expanded(GraphWrap& graph, const InboundChoice& join, std::string_view magnet,
                                   GeneratedIds& ids, RewriteContext& context);

}  // namespace quorl
