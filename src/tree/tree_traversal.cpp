#include "tree/tree_traversal.hpp"

#include <algorithm>
#include <array>
#include <limits>
#include <string>
#include <utility>

#include "graph/polled_buffers.hpp"
#include "tree/tree_string.hpp"

namespace quorl {

namespace {

using StackEntry = TraversalStackEntry;

class Traverser {
public:
    Traverser(const GraphWrap& graph, NodeIndex root, const Exclusion& excluded, bool modality_order,
              bool record_child_lists, TreeScratch& scratch, StopPoll* stop)
        : graph_(graph),
          excluded_(excluded),
          may_exclude_(!excluded.excludes_nothing()),
          modality_order_(modality_order),
          record_child_lists_(record_child_lists),
          stop_(stop),
          result_(scratch.traversal),
          visited_(scratch.visited),
          reached_(scratch.reached),
          stack_(scratch.stack),
          pending_(scratch.pending),
          entries_(scratch.entries),
          child_texts_(scratch.child_texts),
          label_(scratch.label),
          settled_floor_(scratch.settled.deeper_than),
          settled_(scratch.settled.by_order[modality_order ? 1 : 0]),
          keep_texts_(scratch.keeps_texts()),
          packed_(scratch.packed != nullptr && scratch.packed->has_walk_data_of(graph) ? scratch.packed : nullptr) {
        QUORL_ASSERT(!settled_floor_ || !record_child_lists_);
        result_.root = root;
    }

    // False when the stop poll asked to stop.
    bool run() {
        if (!forget_previous_walk() || !size_tables()) return false;
        stack_.push_back({result_.root, kNoIndex});
        while (!stack_.empty()) {
            if (stop_ != nullptr && stop_->poll()) return false;
            // An entry stays in place while it is expanded, below its
            // children, and leaves the stack when it finishes.
            StackEntry& top = stack_.back();
            if (top.expanded) {
                finish(top);
                stack_.pop_back();
            } else if (visited_[top.node] || take_settled(top)) {
                stack_.pop_back();
            } else {
                expand(stack_.size() - 1);
            }
        }
        return true;
    }

private:
    // Clears what the previous walk with this scratch left: only the entries
    // of the nodes it reached, so a walk costs what it reaches. A walk of
    // millions of nodes is forgotten in polled steps, from the back of
    // `reached_`, which keeps listing the nodes not cleared yet: a walk that
    // stops here leaves the scratch as the next walk expects it. False when
    // the stop poll asked to stop.
    bool forget_previous_walk() {
        const std::size_t count = reached_.size();
        const bool forgotten = in_polled_steps(count, kForgetStep, stop_, [&](std::size_t begin, std::size_t end) {
            for (std::size_t at = count - end; at < count - begin; ++at) {
                const NodeIndex node = reached_[at];
                visited_[node] = 0;
                result_.finished[node] = {};
                if (node < result_.child_lists.size()) result_.child_lists[node] = {};
            }
            reached_.resize(count - end);
        });
        if (!forgotten) return false;
        // Settled texts refer to the texts of earlier walks, which then stay,
        // and outlive the edge records whose modalities they hold.
        if (!keep_texts_) {
            result_.texts.clear();
            if (settled_floor_) result_.texts.own_modalities();
        }
        result_.child_nodes.clear();
        stack_.clear();
        pending_.clear();
        entries_.clear();
        child_texts_.clear();
        unknown_text_ = kNoText;
        return true;
    }
    static constexpr std::size_t kForgetStep = std::size_t{1} << 15;

    // The tables indexed by node, grown to the graph's node bound in polled
    // steps; a stop leaves each of them valid and cleared beyond `reached_`.
    bool size_tables() {
        const std::size_t bound = graph_.node_bound();
        return grow_polled(result_.finished, bound, FinishedNode{}, stop_) &&
               (!settled_floor_ || grow_polled(settled_, bound, FinishedNode{}, stop_)) &&
               grow_polled(visited_, bound, 0, stop_) &&
               (!record_child_lists_ || grow_polled(result_.child_lists, bound, ChildList{}, stop_));
    }

    bool is_settled(const StackEntry& entry) const {
        if (!settled_floor_ || entry.parent == kNoIndex) return false;  // the root is written differently
        const std::optional<std::int32_t>& floor = graph_.node_at(entry.node).meta.floor;
        return floor && *floor > *settled_floor_;
    }

    // Finishes a settled node that an earlier walk wrote, without its subtree.
    bool take_settled(StackEntry& entry) {
        entry.settled = is_settled(entry);
        if (!entry.settled || settled_[entry.node].text == kNoText) return false;
        visited_[entry.node] = 1;
        reached_.push_back(entry.node);
        result_.finished[entry.node] = settled_[entry.node];
        return true;
    }

    // Expands the entry at `at` of the stack and pushes its children above it.
    void expand(std::size_t at) {
        const NodeIndex node = stack_[at].node;
        const NodeIndex parent = stack_[at].parent;
        visited_[node] = 1;
        reached_.push_back(node);
        const std::size_t pending_begin = pending_.size();
        std::uint32_t position = 0;
        // Each child carries the modality of the edge it was reached by, so
        // parallel edges of different modalities keep both: writing the first
        // edge's modality for all of them would lose the others and make the
        // text depend on which edge was stored first.
        if (packed_ != nullptr) {
            // The same neighbours in the same order with the same modality
            // bytes, read from flat arrays; the store keeps no edge to a
            // vacant slot, so every neighbour is live.
            packed_->for_each_walk_neighbour(node, [&](NodeIndex neighbour, std::string_view modality)
                                                       __attribute__((always_inline)) {
                const std::uint32_t this_position = position++;
                if (neighbour != parent && takes_neighbour(neighbour)) {
                    pending_.push_back({this_position, neighbour, modality});
                }
            });
        } else {
            // Inlined: the walk's costliest loop, once per enumerated neighbour.
            graph_.for_each_incident(node, [&](EdgeIndex edge, NodeIndex neighbour) __attribute__((always_inline)) {
                const std::uint32_t this_position = position++;
                // Reading the neighbour's slot here, though the store keeps
                // every neighbour live, brings it in well before its expansion
                // reads it: a walk of a large random tree meets its nodes in no
                // order the caches foresee, and takes 7% longer without this read.
                if (neighbour == parent || !graph_.has_node(neighbour) || !takes_neighbour(neighbour)) return;
                pending_.push_back({this_position, neighbour, graph_.edge_at(edge).modality});
            });
        }
        StackEntry& entry = stack_[at];
        entry.incident_edges = position;
        entry.pending_begin = pending_begin;
        entry.pending_end = pending_.size();
        entry.expanded = true;
        for (std::size_t i = pending_.size(); i-- > pending_begin;) stack_.push_back({pending_[i].child, node});
    }

    // Whether a neighbour of the expanding node other than its parent becomes its child.
    bool takes_neighbour(NodeIndex neighbour) const {
        if (may_exclude_ && neighbour != result_.root && excluded_.excludes(graph_, neighbour)) return false;
        return !visited_[neighbour];
    }

    void finish(const StackEntry& entry) {
        FinishedNode& finished = result_.finished[entry.node];
        if (entry.parent != kNoIndex && entry.incident_edges == 1) {
            finished = {leaf_text(entry.node), 1};
        } else {
            const auto [label, group_open] = written_label(entry.node);
            order_children(entry);
            std::int32_t deepest = 0;
            child_texts_.clear();
            for (const ChildEntry& child : entries_) {
                deepest = std::max(deepest, child.depth);
                child_texts_.push_back({child.text, child.modality});
            }
            QUORL_ASSERT(deepest < std::numeric_limits<std::int32_t>::max());
            finished = {result_.texts.intern_node(label, child_texts_, group_open), deepest + 1};
            if (record_child_lists_) {
                result_.child_lists[entry.node] = {result_.child_nodes.size(), entries_.size()};
                for (const ChildEntry& child : entries_) result_.child_nodes.push_back(child.child);
            }
        }
        if (entry.settled) settled_[entry.node] = finished;
        QUORL_ASSERT(pending_.size() == entry.pending_end);
        pending_.resize(entry.pending_begin);
    }

    // The node's written label and where its group opens (see append_label):
    // a bare label is read in place (in the node's record, or in one with the
    // same label) instead of copied.
    std::pair<std::string_view, std::uint32_t> written_label(NodeIndex node) {
        if (const std::string_view label = bare_label(node); label.data() != nullptr) return {label, kNoGroup};
        return grouped_label(node);
    }

    // The node's label when it is written bare, else a view without data.
    std::string_view bare_label(NodeIndex node) const {
        if (packed_ != nullptr) return packed_->bare_label(node);
        const NodeData& data = graph_.node_at(node);
        return writes_bare_label(data) ? std::string_view(data.label) : std::string_view();
    }

    // The written label of a mirror or virtual node, in label_.
    std::pair<std::string_view, std::uint32_t> grouped_label(NodeIndex node) {
        label_.clear();
        const std::uint32_t group_open = append_label(graph_, node, label_);
        return {label_, group_open};
    }

    // Fills entries_ with the node's child entries in written order.
    void order_children(const StackEntry& entry) {
        entries_.clear();
        for (std::size_t i = entry.pending_begin; i < entry.pending_end; ++i) {
            const PendingChild& pending = pending_[i];
            FinishedNode child = result_.finished[pending.child];
            // A child is always finished before its parent in a completed
            // depth-first walk; "?" keeps the text well-formed regardless.
            if (child.text == kNoText) child = {unknown_text(), 1};
            entries_.push_back({pending.position, pending.child, pending.modality, child.depth, child.text});
        }
        const SubtreeTexts& texts = result_.texts;
        const bool by_modality = modality_order_;
        // Without the modality order the modality still breaks ties between
        // equal texts, ahead of the position: otherwise siblings that differ
        // only in modality would follow the storage order, and so would every
        // magnet (and canonical text) built from them.
        const auto before = [&texts, by_modality](const ChildEntry& a, const ChildEntry& b) {
            if (a.depth != b.depth) return a.depth < b.depth;
            if (by_modality) {
                if (const int order = compare_modalities(a.modality, b.modality); order != 0) return order < 0;
            }
            if (const int order = texts.compare(a.text, b.text); order != 0) return order < 0;
            if (!by_modality) {
                if (const int order = compare_modalities(a.modality, b.modality); order != 0) return order < 0;
            }
            return a.position < b.position;
        };
        // The positions make the order total, so every sort gives the same
        // result. Most nodes have one to four children, where an insertion
        // sort costs less than setting up std::sort.
        if (entries_.size() > kFewChildren) {
            std::sort(entries_.begin(), entries_.end(), before);
            return;
        }
        for (std::size_t i = 1; i < entries_.size(); ++i) {
            const ChildEntry moving = entries_[i];
            std::size_t at = i;
            for (; at > 0 && before(moving, entries_[at - 1]); --at) entries_[at] = entries_[at - 1];
            entries_[at] = moving;
        }
    }
    static constexpr std::size_t kFewChildren = 8;

    // Bytewise, as the texts are. Most modalities are one byte ("1", "2"): a
    // differing first byte decides without a library call.
    static int compare_modalities(std::string_view a, std::string_view b) {
        if (!a.empty() && !b.empty() && a[0] != b[0]) {
            return static_cast<unsigned char>(a[0]) < static_cast<unsigned char>(b[0]) ? -1 : 1;
        }
        return a.compare(b);
    }

    // Interning a leaf with a bare label gives the same text for the same
    // label every time, so the walk remembers the texts of the first few such
    // labels (most leaves are hydrogens) instead of interning each leaf again.
    TextId leaf_text(NodeIndex node) {
        const std::string_view label = bare_label(node);
        if (label.data() == nullptr) {
            const auto [grouped, group_open] = grouped_label(node);
            return result_.texts.intern_leaf(grouped, group_open);
        }
        for (std::size_t i = 0; i < bare_leaf_count_; ++i) {
            if (bare_leaves_[i].label == label) return bare_leaves_[i].text;
        }
        const TextId text = result_.texts.intern_leaf(label);
        if (bare_leaf_count_ < bare_leaves_.size()) bare_leaves_[bare_leaf_count_++] = {label, text};
        return text;
    }

    TextId unknown_text() {
        if (unknown_text_ == kNoText) unknown_text_ = result_.texts.intern_leaf("?");
        return unknown_text_;
    }

    const GraphWrap& graph_;
    const Exclusion& excluded_;
    const bool may_exclude_;  // false spares the final walks a call per neighbour
    const bool modality_order_;
    const bool record_child_lists_;
    StopPoll* const stop_;
    TreeTraversal& result_;
    std::vector<std::uint8_t>& visited_;
    std::vector<NodeIndex>& reached_;
    std::vector<StackEntry>& stack_;
    std::vector<PendingChild>& pending_;
    std::vector<ChildEntry>& entries_;
    std::vector<ChildText>& child_texts_;
    std::string& label_;
    const std::optional<std::int32_t> settled_floor_;
    std::vector<FinishedNode>& settled_;
    const bool keep_texts_;  // the texts of earlier walks stay (see TreeScratch::keeps_texts)
    const PackedIncidences* const packed_;  // the lent incidences when they describe this graph
    TextId unknown_text_ = kNoText;
    struct BareLeaf {
        std::string_view label;  // the node's own label, alive for the walk
        TextId text;
    };
    std::array<BareLeaf, 4> bare_leaves_{};
    std::size_t bare_leaf_count_ = 0;
};

}  // namespace

TreeScratch scratch_for_one_walk(const GraphWrap& graph) {
    TreeScratch scratch;
    scratch.traversal.texts.reserve(graph.node_count());
    scratch.stack.reserve(graph.node_count());
    // A walk reaches each node once and, on a tree, holds fewer pending
    // children than nodes: reserving now spares the reallocations of growing.
    scratch.reached.reserve(graph.node_count());
    scratch.pending.reserve(graph.node_count());
    return scratch;
}

Failable<void> traverse_tree(const GraphWrap& graph, std::string_view root_id, const Exclusion& excluded,
                             bool modality_order, bool record_child_lists, TreeScratch& scratch, StopPoll* stop) {
    const std::optional<NodeIndex> root = graph.find_node(root_id);
    if (!root) return std::unexpected("unknown root id '" + std::string(root_id) + "'");
    if (!Traverser(graph, *root, excluded, modality_order, record_child_lists, scratch, stop).run()) {
        return std::unexpected(std::string(kInterruptedWalk));
    }
    return {};
}

Failable<void> traverse_whole_tree(const GraphWrap& graph, std::string_view root_id, const Exclusion& excluded,
                                   bool record_child_lists, TreeScratch& scratch, StopPoll* stop) {
    scratch.traversal.texts.clear_as_new();
    scratch.traversal.texts.reserve(graph.node_count());
    return traverse_tree(graph, root_id, excluded, true, record_child_lists, scratch, stop);
}

}  // namespace quorl
