#include "canonize/root_depth_bounds.hpp"

#include <algorithm>

#include "dag/dag_rewrite.hpp"
#include "tree/tree_string.hpp"

namespace quorl {

namespace {


// Whether the T_c node that carries a node's lower edges is written: compact
// resolution keeps one mirror of a join, picked by tree strings, so when the
// join's parents differ in being written the answer is not known up front.
constexpr std::uint8_t kNo = 0;
constexpr std::uint8_t kMaybe = 1;
constexpr std::uint8_t kYes = 2;

}  // namespace

// What a candidate's scoring text surely starts with, when the graph around
// the candidate tells. Children are written shallowest first, then by
// modality, then by text, and a child with children of its own is written
// "(…)label": so the text starts with "(", the children written without
// children of their own in that order, each "text:modality" and ", " between
// them, then ", (" (just "(" after none) when another child follows, else
// ")" and the root's label, the whole text. Around the root the rewrite
// changes only what a conflict touches: a root's neighbour is a child kept as
// itself unless parallel edges make it a join (a mirror per edge, whose text
// is not known here), and it is written without children exactly when it has
// no edge within its floor (a virtual node each), no join below it (a mirror)
// and no other neighbour but shared ones whose only edge up it is (left out
// with all below them); its text is then its label, or "()" and its label
// when it has other edges. A self-loop at the root hangs virtual nodes under
// it.
std::optional<std::string> scoring_text_start(const GraphWrap& graph, NodeIndex root, const std::vector<bool>& shared,
                                              TextStartScratch& scratch) {
    std::vector<std::uint8_t>& near = scratch.near;
    std::vector<std::pair<NodeIndex, EdgeIndex>>& children = scratch.children;
    children.clear();
    bool conflict_at_root = false;
    graph.for_each_incident(root, [&](EdgeIndex edge, NodeIndex node) {
        if (node == root || near[node] != 0) conflict_at_root = true;
        near[node] = 1;
        children.emplace_back(node, edge);
    });
    const auto edges_up = [&](NodeIndex node) {
        std::uint32_t count = 0;
        graph.for_each_incident(node, [&](EdgeIndex, NodeIndex other) { count += near[other]; });
        return count;
    };
    std::vector<std::pair<std::string_view, std::string>>& leaves = scratch.leaves;
    leaves.clear();
    bool deeper = false;
    for (const auto& [child, edge] : children) {
        if (conflict_at_root) break;
        if (shared[child]) continue;
        bool without_children = true;
        std::uint32_t degree = 0;
        graph.for_each_incident(child, [&](EdgeIndex, NodeIndex other) {
            ++degree;
            if (other == root || !without_children) return;
            if (other == child || near[other] != 0 || !shared[other] || edges_up(other) != 1) without_children = false;
        });
        if (!without_children) {
            deeper = true;
            continue;
        }
        const std::string label = format_label(graph, child);
        leaves.emplace_back(graph.edge_at(edge).modality, degree == 1 ? label : "()" + label);
    }
    for (const auto& [child, edge] : children) near[child] = 0;
    if (conflict_at_root) return std::nullopt;
    std::sort(leaves.begin(), leaves.end());
    std::string text = "(";
    for (std::size_t i = 0; i < leaves.size(); ++i) {
        if (i > 0) text += ", ";
        text.append(leaves[i].second).append(":").append(leaves[i].first);
    }
    if (deeper) return text + (leaves.empty() ? "(" : ", (");
    return text + ")" + format_label(graph, root);
}

bool starts_below(std::string_view start, std::string_view text) {
    const auto [at_start, at_text] = std::mismatch(start.begin(), start.end(), text.begin(), text.end());
    return at_start != start.end() && at_text != text.end() &&
           static_cast<unsigned char>(*at_start) < static_cast<unsigned char>(*at_text);
}

bool ids_may_meet_generated_ids(const GraphWrap& graph) {
    // Every generated node id starts with '*' ("*v…") or holds a '#' ("#m…",
    // "…@#m…"); an input id that does neither is never one of them.
    for (NodeIndex node = 0; node < graph.node_bound(); ++node) {
        const NodeData* data = graph.node(node);
        if (data == nullptr) continue;
        if (data->id.starts_with('*') || data->id.find('#') != std::string::npos) return true;
    }
    return false;
}

CandidateDepths::CandidateDepths(const PackedIncidences& incidences, std::span<const NodeIndex> candidates,
                                 const std::vector<bool>& shared, bool compact, Tables* lent)
    : incidences_(incidences), candidates_(candidates), shared_(shared), compact_(compact), lent_(lent) {
    if (lent_ != nullptr) {
        component_of_ = std::move(lent_->component_of);
        components_ = std::move(lent_->components);
        members_ = std::move(lent_->members);
        member_begin_ = std::move(lent_->member_begin);
        member_fill_ = std::move(lent_->member_fill);
        component_shared_ = std::move(lent_->component_shared);
        states_ = std::move(lent_->states);
        distance_ = std::move(lent_->distance);
        queue_ = std::move(lent_->queue);
        scratch_ = std::move(lent_->scratch);
        written_joins_ = std::move(lent_->written_joins);
    }
    // Every table is filled anew (or filled as it is used, from empty), so
    // what an earlier instance left in lent ones is never read.
    component_of_.assign(incidences.node_bound(), kNoIndex);
    components_.clear();
    states_.assign(candidates.size(), CandidateState{});
    distance_.assign(incidences.node_bound(), -1);
    queue_.resize(incidences.node_count());  // written before it is read
    scratch_.assign(incidences.node_bound(), LevelScratch{});
    written_joins_.clear();
    for (NodeIndex node = 0; node < shared_.size() && node < scratch_.size(); ++node) {
        scratch_[node].shared = shared_[node] ? 1 : 0;
    }
    find_components();
    bound_eccentricities();
}

CandidateDepths::~CandidateDepths() {
    if (lent_ == nullptr) return;
    lent_->component_of = std::move(component_of_);
    lent_->components = std::move(components_);
    lent_->members = std::move(members_);
    lent_->member_begin = std::move(member_begin_);
    lent_->member_fill = std::move(member_fill_);
    lent_->component_shared = std::move(component_shared_);
    lent_->states = std::move(states_);
    lent_->distance = std::move(distance_);
    lent_->queue = std::move(queue_);
    lent_->scratch = std::move(scratch_);
    lent_->written_joins = std::move(written_joins_);
}

std::int32_t CandidateDepths::sweep(NodeIndex start) {
    return *search(start, [](NodeIndex, NodeIndex, bool) {}, [](NodeIndex) {}, [](NodeIndex) { return true; });
}

void CandidateDepths::clear_sweep() {
    for (const NodeIndex node : order()) distance_[node] = -1;
}

// The components that hold candidates, each with its size, cycle rank and
// whether it is bipartite (two ends of an edge at equal distance from its
// first node, a self-loop included, make an odd closed walk); nothing reads
// the others. Each is searched from its first candidate, the first search of
// its eccentricity bounds, whose farthest node it returns by component; the
// components' distances stay until all are known.
void CandidateDepths::find_components() {
    for (const NodeIndex start : candidates_) {
        if (component_of_[start] != kNoIndex) continue;
        const auto component = static_cast<std::uint32_t>(components_.size());
        Component info;
        info.first_eccentricity = sweep(start);
        info.far_end = order().back();
        info.nodes = order().size();
        for (const NodeIndex node : order()) {
            component_of_[node] = component;
            for_each_neighbour(node, [&](NodeIndex other, bool first_end) {
                if (!first_end) return;  // each edge once, from its first end
                ++info.edges;
                if (((distance_[other] ^ distance_[node]) & 1) == 0) info.bipartite = false;
            });
        }
        components_.push_back(info);
    }
    // The candidates by component, in candidate order within each.
    member_begin_.assign(components_.size() + 1, 0);
    for (const NodeIndex candidate : candidates_) ++member_begin_[component_of_[candidate] + 1];
    for (std::size_t c = 0; c < components_.size(); ++c) member_begin_[c + 1] += member_begin_[c];
    members_.resize(candidates_.size());
    member_fill_.assign(member_begin_.begin(), member_begin_.end() - 1);
    for (std::size_t i = 0; i < candidates_.size(); ++i) members_[member_fill_[component_of_[candidates_[i]]]++] = i;
    for (std::uint32_t component = 0; component < components_.size(); ++component) {
        take_sweep(component, components_[component].first_eccentricity);
    }
    std::ranges::fill(distance_, -1);
    component_shared_.assign(components_.size(), 0);
    for (NodeIndex node = 0; node < shared_.size(); ++node) {
        if (shared_[node] && component_of_[node] != kNoIndex) component_shared_[component_of_[node]] = 1;
    }
}

// Eccentricity bounds from the search from the first candidate, tightened by
// every later levelling: ecc(x) >= d(x, w), ecc(x) >= ecc(w) - d(x, w) and
// ecc(x) <= d(x, w) + ecc(w) for every searched w. In a tree, a double sweep
// makes them exact: the end u of the first search and the end v of a search
// from u are a diametral pair, and ecc(x) = max(d(x, u), d(x, v)). Elsewhere
// the ranges add the floors of virtual nodes and joins to the eccentricity,
// so sharper bounds seldom rule a candidate out before the refines, which
// settle the ranges either way: no more searches are made (the bounds decide
// only which candidates are refined and rewritten, never an entry).
void CandidateDepths::bound_eccentricities() {
    for (std::uint32_t component = 0; component < components_.size(); ++component) {
        if (components_[component].cycle_rank() == 0) {
            // The search from the first candidate was find_components'.
            take_sweep(component, sweep(components_[component].far_end));
            const NodeIndex second_end = order().back();
            clear_sweep();
            take_sweep(component, sweep(second_end));
            clear_sweep();
            for (const std::size_t i : members_of(component)) states_[i].ecc_hi = states_[i].ecc_lo;
        }
        for (const std::size_t i : members_of(component)) set_range_from_eccentricity(i);
    }
}

void CandidateDepths::take_sweep(std::uint32_t component, std::int64_t eccentricity) {
    for (const std::size_t i : members_of(component)) {
        CandidateState& state = states_[i];
        if (state.refined) continue;
        const std::int64_t d = distance_[candidates_[i]];
        state.ecc_lo = std::max({state.ecc_lo, d, eccentricity - d});
        state.ecc_hi = std::min(state.ecc_hi, d + eccentricity);
    }
}

void CandidateDepths::set_range_from_eccentricity(std::size_t i) {
    const std::uint32_t component = component_of_[candidates_[i]];
    const Component& info = components_[component];
    CandidateState& state = states_[i];
    // Written depth (in nodes) is 1 + the deepest written node's depth.
    // Unless the tree writer leaves nodes out, every node of the component is
    // written at least as deep as its floor, so at least one as deep as the
    // eccentricity. At most: the deepest floor, one more for a virtual node
    // (only where a cobound edge exists, that is in a non-bipartite
    // component), and in expanded resolution one more per join above it (a
    // join per floor at most, and no more joins than independent cycles).
    const std::int64_t virtual_floor = info.bipartite ? 0 : 1;
    const std::int64_t joins_above =
        compact_ ? 0 : std::min<std::int64_t>(state.ecc_hi, static_cast<std::int64_t>(info.cycle_rank()));
    state.range.hi = 1 + state.ecc_hi + virtual_floor + joins_above;
    state.range.lo = component_shared_[component] != 0 ? 1 : 1 + state.ecc_lo;
}

void CandidateDepths::refine(std::size_t candidate) {
    if (!states_[candidate].refined) level(candidate, false);
}

std::uint64_t CandidateDepths::rewrite_passes(std::size_t candidate) {
    if (states_[candidate].passes == kUncounted) level(candidate, true);
    return states_[candidate].passes;
}

void CandidateDepths::level(std::size_t candidate, bool count_passes) {
    const NodeIndex root = candidates_[candidate];
    states_[candidate].refined = true;

    std::int64_t written_lo = 0;  // deepest node surely written
    std::int64_t written_hi = 0;  // deepest node perhaps written
    const auto written_at = [&](std::int64_t depth, std::uint8_t written) {
        if (written == kYes) written_lo = std::max(written_lo, depth);
        if (written != kNo) written_hi = std::max(written_hi, depth);
    };
    // The conflicts of the levelling: edges within a floor (cobound, a
    // self-loop included) and nodes with two or more edges up (joins). A node
    // is taken from the queue only once its parents are and every node of its
    // floor has been found, so its incidences tell its edges up and within its
    // floor, and its parents' written status is known.
    std::uint64_t cobound_edges = 0;
    std::uint64_t joins = 0;
    std::uint32_t lower = 0;
    bool cobound = false;
    std::uint32_t parents_seen = 0;  // bit s: some parent has status s
    std::int32_t live_floor = 0;  // the deepest floor holding a node perhaps written
    written_joins_.clear();
    const std::int32_t* const distance = distance_.data();
    LevelScratch* const scratch = scratch_.data();
    const auto incidence = [&](NodeIndex node, NodeIndex other, bool first_end) {
        const std::int32_t floor = distance[node];
        if (distance[other] == floor - 1) {
            ++lower;
            parents_seen |= 1u << scratch[other].status;
        } else if (distance[other] == floor) {
            cobound = true;
            if (first_end) ++cobound_edges;
        }
    };
    const auto done = [&](NodeIndex node) {
        const std::int64_t floor = distance[node];
        const bool any_yes = (parents_seen & (1u << kYes)) != 0;
        const bool any_no = (parents_seen & (1u << kNo)) != 0;
        const bool any_maybe = (parents_seen & (1u << kMaybe)) != 0;
        const std::uint8_t from_parents = any_yes ? kYes : (any_maybe ? kMaybe : kNo);
        std::uint8_t status = kYes;  // the root's
        if (node != root && lower == 1) {
            // Kept as itself: written when not shared and its parent is.
            status = scratch[node].shared != 0 ? kNo : from_parents;
        } else if (node != root && compact_) {
            // A join's mirrors carry new ids, so each mirror is written when
            // its parent is, and the join's subtree goes with the kept mirror.
            status = any_maybe || (any_yes && any_no) ? kMaybe : from_parents;
            written_at(floor, from_parents);  // the best-placed mirror
        } else if (node != root) {
            // Expanded: below a join the region hangs one floor deeper, under
            // a mirror, and consists of copies with generated ids only, so the
            // writer leaves out nothing there; input nodes stay themselves
            // only above every join.
            status = kNo;
            if (any_yes) written_joins_.push_back(node);
        }
        if (lower >= 2) ++joins;
        if (lower <= 1) written_at(floor, status);
        if (cobound) written_at(floor + 1, status);  // its virtual nodes
        if (status != kNo) live_floor = static_cast<std::int32_t>(floor);
        scratch[node].lower_edges = lower;
        scratch[node].height = cobound ? 1 : 0;
        scratch[node].status = status;
        lower = 0;
        cobound = false;
        parents_seen = 0;
    };
    // A node's status follows from its parents' alone, and a node not written
    // (with all its parents) adds nothing to the range: once a whole floor is
    // surely not written, neither is anything deeper. In expanded resolution
    // a written join's height still reaches down to the component's end.
    const auto goes_on = [&](NodeIndex node) {
        return count_passes || distance[node] <= live_floor + 1 || !written_joins_.empty();
    };
    const std::optional<std::int32_t> eccentricity = search(root, incidence, done, goes_on);
    if (!written_joins_.empty()) {
        // The search went to the component's end (goes_on holds once a join
        // is written). height is the height of a node's region once
        // rewritten: children are deeper in the search order than their
        // parents, so going backwards over it finishes a node before its edges up.
        const std::span<const NodeIndex> found = order();
        for (auto at = found.rbegin(); at != found.rend(); ++at) {
            const NodeIndex node = *at;
            const std::int32_t step = scratch_[node].lower_edges == 1 ? 1 : 2;
            const std::int32_t reach = step + scratch_[node].height;
            for_each_neighbour(node, [&](NodeIndex parent, bool) {
                if (distance_[parent] == distance_[node] - 1) {
                    scratch_[parent].height = std::max(scratch_[parent].height, reach);
                }
            });
        }
        for (const NodeIndex join : written_joins_) {
            written_at(distance_[join] + 1 + scratch_[join].height, kYes);
        }
    }

    if (eccentricity) {
        const std::uint32_t component = component_of_[root];
        take_sweep(component, *eccentricity);
        for (const std::size_t i : members_of(component)) {
            if (!states_[i].refined) set_range_from_eccentricity(i);
        }
    }
    clear_sweep();

    states_[candidate].range = {1 + written_lo, 1 + written_hi};
    if (count_passes) states_[candidate].passes = cobound_edges + joins;
    share_on_candidate_cycle(candidate);
}

// A connected component with as many edges as nodes, each of degree 2 (a
// self-loop counts once), has no self-loop (its 2n edge ends would then give
// less than 2 per node): it is one cycle, of two nodes and a double edge or
// more. When all its nodes are candidates and none is shared, a rotation of
// the cycle maps any candidate onto any other, and a levelling reads the
// graph only through distances, incidences and shared flags, none of which a
// rotation changes; the order in which it meets a floor's nodes changes no
// range. So every candidate's levelling would find the range this one found,
// and the others take it over instead of levelling again.
void CandidateDepths::share_on_candidate_cycle(std::size_t candidate) {
    const std::uint32_t component = component_of_[candidates_[candidate]];
    const std::span<const std::size_t> members = members_of(component);
    if (!single_cycle(candidate) || members.size() != components_[component].nodes ||
        component_shared_[component] != 0) {
        return;
    }
    for (const std::size_t i : members) {
        if (incidences_.degree(candidates_[i]) != 2) return;
    }
    for (const std::size_t i : members) {
        if (states_[i].refined) continue;
        states_[i].range = states_[candidate].range;
        states_[i].refined = true;
    }
}

bool CandidateDepths::some_rewrite_exceeds_guard() {
    // A rewrite resolves cobound edges + joins conflicts, at most the cycle
    // rank: each cobound edge lies outside the search tree, and so does every
    // edge up of a join but one. Only larger components need a count.
    for (std::size_t i = 0; i < candidates_.size(); ++i) {
        const Component& info = components_[component_of_[candidates_[i]]];
        if (info.cycle_rank() < kRewritePassGuard) continue;
        if (rewrite_passes(i) >= kRewritePassGuard) return true;
    }
    return false;
}

}  // namespace quorl
