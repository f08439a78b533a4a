// Magnets: texts that stand for the region of the graph below a node.
#pragma once

#include <string>
#include <string_view>

#include "dag/rewrite_context.hpp"
#include "error/quorl_error.hpp"
#include "graph/graph_wrap.hpp"

namespace quorl {

// The node's magnet: "_{tree string}_" of the node read downwards (every node
// on its floor or above is blocked), or with `allow_hashes` "_{md5 hex}_" of
// that text. Cached on the node for one hashing setting until re-flooring: a
// cached magnet is served even if the region below has changed since.
// Fails with "magnet requires floored graph" for a node without a floor.
// Precondition: `node` is live.
Result<std::string> get_magnet(GraphWrap& graph, NodeIndex node, RewriteContext& context);
// The same magnet read where the node's cache keeps it, without a copy. The
// view lasts while the cache does and no node is added to or removed from the
// graph: either may move the node's record, and a short text lives inside it.
Result<std::string_view> cached_magnet(GraphWrap& graph, NodeIndex node, RewriteContext& context);
// The same with a context of its own (the trace switches read now, no stop).
Result<std::string> get_magnet(GraphWrap& graph, NodeIndex node, bool allow_hashes);

}  // namespace quorl
