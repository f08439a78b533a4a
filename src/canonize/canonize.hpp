// The canonical text of a graph and the canonical order of its nodes.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "dag/trace.hpp"
#include "error/quorl_error.hpp"
#include "graph/graph_wrap.hpp"

namespace quorl {

// The canonical (CGraph) text; empty for a graph without nodes. The input is
// only read. `stop` is polled between candidates and between rewrite passes.
// `trace` says which trace events the call writes; the host reads it under
// the interpreter lock, C++ callers get the environment's switches now.
Result<std::string> to_cgraph(const GraphWrap& graph, std::string_view candidate_rule, std::string_view branch_rule,
                              bool allow_hashes, bool compress, bool compact, const StopCheck& stop = {},
                              const TraceSwitches& trace = TraceSwitches::from_environment());

// The node ids in canonical order, from the same root as to_cgraph's text.
Result<std::vector<std::string>> canonical_node_order(const GraphWrap& graph, std::string_view candidate_rule,
                                                      std::string_view branch_rule, bool allow_hashes, bool compact,
                                                      const StopCheck& stop = {},
                                                      const TraceSwitches& trace = TraceSwitches::from_environment());

// The same results by the straightforward road: every selected candidate
// rewritten and written, every winner rewritten and written again. The drivers
// above must give exactly what these give (tests compare them); they are kept
// as the reference, not for callers. Their rewrites rescan the working copy
// for conflicts in every pass.
Result<std::string> to_cgraph_reference(const GraphWrap& graph, std::string_view candidate_rule,
                                        std::string_view branch_rule, bool allow_hashes, bool compress, bool compact,
                                        const StopCheck& stop = {},
                                        const TraceSwitches& trace = TraceSwitches::from_environment());
Result<std::vector<std::string>> canonical_node_order_reference(
    const GraphWrap& graph, std::string_view candidate_rule, std::string_view branch_rule, bool allow_hashes,
    bool compact, const StopCheck& stop = {}, const TraceSwitches& trace = TraceSwitches::from_environment());

}  // namespace quorl
