// The candidate rule, the selection of candidate roots and the choice of the
// winning candidates among their scoring entries.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "error/quorl_error.hpp"
#include "graph/exclusion.hpp"
#include "graph/graph_wrap.hpp"
#include "graph/packed_incidences.hpp"
#include "tree/subtree_texts.hpp"

namespace quorl {

// Ordered lexicographically as signed integers, a proper prefix first
// (std::vector's own ordering).
using CandidateScore = std::vector<std::int32_t>;

struct ScoredNode {
    std::string id;
    CandidateScore score;
};

// One score per live node, in ascending node index order. The only rule is
// "$degree" (matched exactly): the score is [number of incident edges, each
// parallel edge once, a self-loop once]. Any other rule on a graph with live
// nodes fails as Unsupported.
Result<std::vector<ScoredNode>> score_candidates(const GraphWrap& graph, std::string_view candidate_rule);

// The ids whose score equals the greatest score, in score-list order.
std::vector<std::string> select_candidates(std::vector<ScoredNode> scores);

// The nodes of select_candidates(score_candidates(graph, rule)), in the same
// order, or the same error; without an id or a score per node. `incidences`
// are the graph's.
Result<std::vector<NodeIndex>> select_candidate_nodes(const GraphWrap& graph, const PackedIncidences& incidences,
                                                      std::string_view candidate_rule);
// The same into `selected`, whose memory it reuses.
Result<void> select_candidate_nodes(const GraphWrap& graph, const PackedIncidences& incidences,
                                    std::string_view candidate_rule, std::vector<NodeIndex>& selected);

// The candidate roots of a scoring pass and the nodes their scoring texts
// leave out, by node index (with the graph's incidences) for the scoring pass
// and the depth bounds, and by id for the straightforward road's writers.
struct ScoringCandidates {
    std::vector<std::string> ids;  // the straightforward road's; best_candidate_form reads `nodes`
    std::vector<NodeIndex> nodes;  // nodes[i] has the id ids[i]
    IdSet shared_ids;          // the straightforward road's; best_candidate_form reads `shared`
    std::vector<bool> shared;  // by node index
    PackedIncidences incidences;
};

// A candidate root's rank: the depth and text of its tree string. Equal texts
// of one scoring pass share one buffer.
struct ScoringEntry {
    std::string candidate_id;
    std::int32_t root_depth = 0;
    std::shared_ptr<const std::string> tree_text;
    std::vector<TextSpan> groups;  // the writer's groups in the text (TreeText::groups)
};

// The ids of the entries equal to the greatest entry, in entry order. Entries
// rank by root depth, then by tree text as unsigned bytes (a proper prefix
// first); the candidate id takes no part.
std::vector<std::string> winning_candidates(std::vector<ScoringEntry> entries);

}  // namespace quorl
