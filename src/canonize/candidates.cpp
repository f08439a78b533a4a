#include "canonize/candidates.hpp"

#include <utility>

namespace quorl {

namespace {

constexpr std::string_view kDegreeRule = "$degree";

std::int32_t degree_of(const GraphWrap& graph, NodeIndex node) {
    std::int32_t degree = 0;
    graph.for_each_incident(node, [&](EdgeIndex, NodeIndex) { ++degree; });
    return degree;
}

// True when `a` ranks below `b`. std::string_view compares as unsigned bytes,
// a proper prefix first.
bool entry_less(const ScoringEntry& a, const ScoringEntry& b) {
    if (a.root_depth != b.root_depth) return a.root_depth < b.root_depth;
    return std::string_view(*a.tree_text) < std::string_view(*b.tree_text);
}

std::unexpected<QuorlError> unknown_rule_error(std::string_view candidate_rule) {
    return unsupported_error("candidate rule '" + std::string(candidate_rule) + "' not implemented");
}

}  // namespace

Result<std::vector<ScoredNode>> score_candidates(const GraphWrap& graph, std::string_view candidate_rule) {
    std::vector<ScoredNode> scores;
    scores.reserve(graph.node_count());
    for (NodeIndex n = 0; n < graph.node_bound(); ++n) {
        const NodeData* data = graph.node(n);
        if (data == nullptr) continue;
        if (candidate_rule != kDegreeRule) return unknown_rule_error(candidate_rule);
        scores.push_back(ScoredNode{data->id, CandidateScore{degree_of(graph, n)}});
    }
    return scores;
}

std::vector<std::string> select_candidates(std::vector<ScoredNode> scores) {
    std::vector<std::string> selected;
    const CandidateScore* best = nullptr;
    for (ScoredNode& scored : scores) {
        if (best != nullptr && scored.score < *best) continue;
        if (best == nullptr || *best < scored.score) {
            best = &scored.score;
            selected.clear();
        }
        selected.push_back(std::move(scored.id));
    }
    return selected;
}

Result<std::vector<NodeIndex>> select_candidate_nodes(const GraphWrap& graph, const PackedIncidences& incidences,
                                                      std::string_view candidate_rule) {
    std::vector<NodeIndex> selected;
    if (auto chosen = select_candidate_nodes(graph, incidences, candidate_rule, selected); !chosen) {
        return std::unexpected(std::move(chosen.error()));
    }
    return selected;
}

Result<void> select_candidate_nodes(const GraphWrap& graph, const PackedIncidences& incidences,
                                    std::string_view candidate_rule, std::vector<NodeIndex>& selected) {
    selected.clear();
    // Without live nodes there is no score to compute, so no rule is refused.
    if (graph.node_count() == 0) return {};
    if (candidate_rule != kDegreeRule) return unknown_rule_error(candidate_rule);
    // The score is the one-element list [degree], so the greatest score is the
    // greatest degree, and the scores' order is ascending node index.
    selected.reserve(graph.node_count());  // one allocation, not one per doubling
    std::uint32_t best = 0;
    for (NodeIndex n = 0; n < graph.node_bound(); ++n) {
        if (!graph.has_node(n)) continue;
        const std::uint32_t degree = incidences.degree(n);
        if (!selected.empty() && degree < best) continue;
        if (selected.empty() || best < degree) {
            best = degree;
            selected.clear();
        }
        selected.push_back(n);
    }
    return {};
}

std::vector<std::string> winning_candidates(std::vector<ScoringEntry> entries) {
    std::vector<std::string> winners;
    const ScoringEntry* best = nullptr;
    for (ScoringEntry& entry : entries) {
        if (best != nullptr && entry_less(entry, *best)) continue;
        if (best == nullptr || entry_less(*best, entry)) {
            best = &entry;
            winners.clear();
        }
        winners.push_back(std::move(entry.candidate_id));
    }
    return winners;
}

}  // namespace quorl
