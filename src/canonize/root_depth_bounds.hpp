// What the scoring pass can know about a candidate root before rewriting it:
// exact bounds on the root depth of its scoring entry, how its text starts,
// and whether its rewrite would end in the pass guard's error.
//
// Both follow from the levelling alone. Rooted at c, the rewrite resolves each
// conflict of the levelled graph once and makes no new one: a cobound repair
// hangs two virtual nodes one floor deeper, each with a single edge up; a join
// resolution gives each mirror a single edge up, and in compact resolution
// the kept mirror takes over the join's lower edges, whose other ends had that
// edge as their only one up, while expanded resolution copies the region below
// the join, a tree once every deeper conflict is resolved. So the rewrite takes
// exactly (cobound edges + join nodes) resolving passes, and the part it leaves
// reachable from the root is a tree in which every node's depth is its floor.
// In that tree the nodes keep their floors, except that below every join
// resolved expanded the region sits one floor deeper (mirror, then the copy of
// the join), and virtual nodes sit one floor below the node they hang from.
//
// The tree writer then leaves out the shared ids and everything below them.
// Mirrors, virtual nodes and expanded copies carry generated ids, so only an
// input node kept as itself can be left out; this holds only while no input id
// can equal a generated one (ids_may_meet_generated_ids).
#pragma once

#include <cstdint>
#include <limits>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "graph/graph_wrap.hpp"
#include "graph/packed_incidences.hpp"

namespace quorl {

// True when some node id could equal an id the rewrite generates ("*v…",
// "#m…", "…@#m…"): a rewrite that meets its own names behaves in ways the
// bounds do not model, so callers then take the straightforward road.
bool ids_may_meet_generated_ids(const GraphWrap& graph);

// What scoring_text_start works in, kept from one candidate to the next.
struct TextStartScratch {
    std::vector<std::uint8_t> near;  // by node index: sized for the graph, all zero, and left so
    std::vector<std::pair<NodeIndex, EdgeIndex>> children;
    std::vector<std::pair<std::string_view, std::string>> leaves;  // (modality, text)
};

// What the scoring text of the candidate `root` surely starts with (its
// whole text when it ends in the root's label), or nothing when conflicts at
// the root hide it; `shared` as for CandidateDepths.
std::optional<std::string> scoring_text_start(const GraphWrap& graph, NodeIndex root, const std::vector<bool>& shared,
                                              TextStartScratch& scratch);

// True when every text that starts with `start` ranks below `text` (unsigned
// bytes): they differ within `start`, at a smaller byte of it.
bool starts_below(std::string_view start, std::string_view text);

struct DepthRange {
    std::int64_t lo = 1;
    std::int64_t hi = 1;
    bool exact() const { return lo == hi; }
};

class CandidateDepths {
public:
    struct Tables;

    // `incidences` are the graph's, and are read as long as this lives;
    // `shared` flags (by node index) the nodes the tree writer leaves out;
    // `lent`, when given, the tables to work in until this ends.
    // Costs a breadth-first search per component holding candidates, two
    // more in a tree.
    CandidateDepths(const PackedIncidences& incidences, std::span<const NodeIndex> candidates,
                    const std::vector<bool>& shared, bool compact, Tables* lent = nullptr);
    CandidateDepths(const CandidateDepths&) = delete;
    CandidateDepths& operator=(const CandidateDepths&) = delete;
    ~CandidateDepths();

    DepthRange range(std::size_t candidate) const { return states_[candidate].range; }
    bool refined(std::size_t candidate) const { return states_[candidate].refined; }

    // Levels the graph from the candidate and follows its rewrite floor by
    // floor, without rewriting: narrows its range to the written depth. The
    // range stays open only in compact resolution, when which mirror keeps a
    // join's subtree decides whether the subtree is written. A levelling that
    // reaches the whole component also tightens the eccentricity bounds of
    // the other candidates of its component, hence their ranges; one that
    // stops below the written part leaves them as they are.
    void refine(std::size_t candidate);

    // The conflicts the rewrite rooted at the candidate resolves (its passes);
    // refines the candidate on the way.
    std::uint64_t rewrite_passes(std::size_t candidate);

    // Lower bound of the candidate's eccentricity: small for central nodes,
    // whose levelling tightens the others' bounds most.
    std::int64_t eccentricity_lo(std::size_t candidate) const { return states_[candidate].ecc_lo; }

    // True when the candidate's component is a tree: rooted there the rewrite
    // finds no conflict and changes nothing the tree writers can reach.
    bool in_tree(std::size_t candidate) const {
        return components_[component_of_[candidates_[candidate]]].cycle_rank() == 0;
    }

    // True when the candidate's component has exactly one independent cycle.
    bool single_cycle(std::size_t candidate) const {
        return components_[component_of_[candidates_[candidate]]].cycle_rank() == 1;
    }

    // True when the rewrite rooted at some candidate would resolve
    // kRewritePassGuard conflicts and so fail with the guard's error.
    bool some_rewrite_exceeds_guard();

private:
    struct Component {
        std::uint64_t nodes = 0;
        std::uint64_t edges = 0;  // self-loops and parallel edges included
        bool bipartite = true;
        // The first search of the component's eccentricity bounds: from its
        // first candidate, whose eccentricity it found, to its farthest node.
        std::int32_t first_eccentricity = 0;
        NodeIndex far_end = kNoIndex;
        // Independent cycles: every edge outside a breadth-first tree.
        std::uint64_t cycle_rank() const { return edges + 1 - nodes; }
    };

    // Gives the candidate's range to every unrefined candidate of its
    // component when that component is one cycle of candidates.
    void share_on_candidate_cycle(std::size_t candidate);

    template <class Visit>
    void for_each_neighbour(NodeIndex node, Visit&& visit) const {
        incidences_.for_each_neighbour(node, std::forward<Visit>(visit));
    }

    // The nodes the last search found, in the order it found them.
    std::span<const NodeIndex> order() const { return {queue_.data(), found_}; }

    // One breadth-first search from `start` over its component; fills
    // distance_ and the order, returns the eccentricity of `start`. As each
    // node is taken from the queue, incidence(node, other, first_end) sees its
    // incidences to nodes found before (found ones are queued instead), then
    // done(node) is called. The search ends early, returning nothing, at the
    // first node taken from the queue for which goes_on(node) is false.
    template <class Incidence, class Done, class GoesOn>
    std::optional<std::int32_t> search(NodeIndex start, Incidence&& incidence, Done&& done, GoesOn&& goes_on) {
        NodeIndex* const queue = queue_.data();
        std::int32_t* const distance = distance_.data();
        std::size_t found = 0;
        queue[found++] = start;
        distance[start] = 0;
        for (std::size_t head = 0; head < found; ++head) {
            const NodeIndex node = queue[head];
            if (!goes_on(node)) {
                found_ = found;
                return std::nullopt;
            }
            const std::int32_t next_floor = distance[node] + 1;
            for_each_neighbour(node, [&](NodeIndex other, bool first_end) {
                if (distance[other] >= 0) {
                    incidence(node, other, first_end);
                    return;
                }
                distance[other] = next_floor;
                queue[found++] = other;
            });
            done(node);
        }
        found_ = found;
        return distance[queue[found - 1]];
    }
    std::int32_t sweep(NodeIndex start);
    void clear_sweep();
    void find_components();
    void bound_eccentricities();
    std::span<const std::size_t> members_of(std::uint32_t component) const {
        return std::span(members_).subspan(member_begin_[component], member_begin_[component + 1] - member_begin_[component]);
    }
    // Folds the distances of the search just made from a node of eccentricity
    // `eccentricity` into the bounds of the unrefined candidates of `component`.
    void take_sweep(std::uint32_t component, std::int64_t eccentricity);
    void set_range_from_eccentricity(std::size_t candidate);
    // Follows the rewrite rooted at the candidate and sets its range; with
    // `count_passes` over the whole component, which also counts its passes
    // and tightens the others' bounds, else only as far as the range needs.
    void level(std::size_t candidate, bool count_passes);

    const PackedIncidences& incidences_;
    std::span<const NodeIndex> candidates_;
    const std::vector<bool>& shared_;
    const bool compact_;

    Tables* const lent_;
    std::vector<std::uint32_t> component_of_;  // by node index; kNoIndex outside candidates' components
    std::vector<Component> components_;
    // The candidates by component: those of component c from member_begin_[c].
    std::vector<std::size_t> members_;
    std::vector<std::uint32_t> member_begin_;
    std::vector<std::uint32_t> member_fill_;  // where the next member of each component goes
    std::vector<std::uint8_t> component_shared_;  // some node of the component is left out

    static constexpr std::int64_t kUnbounded = std::numeric_limits<std::int64_t>::max();
    static constexpr std::uint64_t kUncounted = std::numeric_limits<std::uint64_t>::max();
    struct CandidateState {
        DepthRange range;
        std::int64_t ecc_lo = 0;
        std::int64_t ecc_hi = kUnbounded;
        std::uint64_t passes = kUncounted;  // until a full levelling counts them
        bool refined = false;
    };
    std::vector<CandidateState> states_;

    // What refine writes of a node as it is done: its edges up, the height of
    // its region once rewritten (expanded joins), whether it is written; and
    // whether it is shared, a copy of `shared` kept beside them.
    struct LevelScratch {
        std::uint32_t lower_edges = 0;
        std::int32_t height = 0;
        std::uint8_t status = 0;
        std::uint8_t shared = 0;
    };
    // Scratch of the searches and refine, by node index; distance_ is -1
    // outside a search, scratch_ is written by refine as it finds nodes.
    std::vector<std::int32_t> distance_;
    std::vector<NodeIndex> queue_;  // room for every live node
    std::size_t found_ = 0;
    std::vector<LevelScratch> scratch_;
    std::vector<NodeIndex> written_joins_;  // expanded: joins below a written parent

public:
    // The tables an instance works in, which a caller making one instance
    // after another lends to each in turn, so that they keep their memory:
    // every instance sizes and fills them anew, and gives them back as it ends.
    struct Tables {
        std::vector<std::uint32_t> component_of;
        std::vector<Component> components;
        std::vector<std::size_t> members;
        std::vector<std::uint32_t> member_begin;
        std::vector<std::uint32_t> member_fill;
        std::vector<std::uint8_t> component_shared;
        std::vector<CandidateState> states;
        std::vector<std::int32_t> distance;
        std::vector<NodeIndex> queue;
        std::vector<LevelScratch> scratch;
        std::vector<NodeIndex> written_joins;
    };
};

}  // namespace quorl
