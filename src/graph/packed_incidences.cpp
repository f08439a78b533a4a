#include "graph/packed_incidences.hpp"

#include <algorithm>
#include <array>
#include <cstdint>
#include <optional>

namespace quorl {

// Gives equal texts one view, so that a walk reads the bytes of a few records
// instead of those of every record it meets. Most labels and modalities are
// one byte, found in a table by that byte; of the longer ones the first
// kSharedViews distinct texts are shared, and any other is viewed where it lies.
class PackedIncidences::SharedViews {
public:
    explicit SharedViews(std::vector<std::string_view>& views) : views_(views) { one_byte_.fill(kNone); }

    // The text's place in the views.
    __attribute__((always_inline)) std::uint32_t place_of(std::string_view text) {
        if (text.size() == 1) {
            std::uint32_t& place = one_byte_[static_cast<unsigned char>(text[0])];
            if (place == kNone) place = add(text);
            return place;
        }
        for (const std::uint32_t place : longer_) {
            if (views_[place] == text) return place;
        }
        const std::uint32_t place = add(text);
        if (longer_.size() < kSharedViews) longer_.push_back(place);
        return place;
    }

private:
    static constexpr std::uint32_t kNone = UINT32_MAX;
    static constexpr std::size_t kSharedViews = 8;

    std::uint32_t add(std::string_view text) {
        views_.push_back(text);
        return static_cast<std::uint32_t>(views_.size() - 1);
    }

    std::vector<std::string_view>& views_;
    std::array<std::uint32_t, 256> one_byte_;
    std::vector<std::uint32_t> longer_;
};

void PackedIncidences::refill(const GraphWrap& graph, WalkData walk_data) {
    node_count_ = graph.node_count();
    const bool pack_walk_data = walk_data == WalkData::Pack;
    walk_graph_ = pack_walk_data ? &graph : nullptr;
    // A node's incidences follow the previous node's, a self-loop listed
    // once, so at most two per edge.
    const std::size_t most = 2 * std::size_t{graph.edge_count()};
    begin_.resize(std::size_t{graph.node_bound()} + 1);
    neighbours_.resize(most);
    first_end_.resize(most);
    modality_of_.resize(pack_walk_data ? most : 0);
    modalities_.clear();
    std::optional<SharedViews> modality_views;
    if (pack_walk_data) modality_views.emplace(modalities_);
    SharedViews* const modalities = modality_views ? &*modality_views : nullptr;
    // On a large store the lists' links lead all over it, while the edges lie
    // in order: where their order tells each edge's place in its lists, a few
    // passes over the edges in order cost less than following the links.
    constexpr NodeIndex kEdgeOrderNodes = 1024;
    std::uint32_t count = 0;
    if (graph.lists_follow_edge_order() && graph.node_bound() >= kEdgeOrderNodes) {
        count = fill_by_edge_order(graph, modalities);
    } else {
        count = fill_by_lists(graph);
        if (modalities != nullptr) pack_modalities_by_lists(graph, *modalities);
    }
    neighbours_.resize(count);
    first_end_.resize(count);
    modality_of_.resize(pack_walk_data ? count : 0);
    label_of_.clear();
    labels_.clear();
    if (pack_walk_data) pack_bare_labels(graph);
}

void PackedIncidences::pack_bare_labels(const GraphWrap& graph) {
    label_of_.assign(graph.node_bound(), 0);
    labels_.push_back(std::string_view());
    SharedViews label_views(labels_);
    for (NodeIndex node = 0; node < graph.node_bound(); ++node) {
        if (!graph.has_node(node)) continue;
        const NodeData& data = graph.node_at(node);
        if (writes_bare_label(data)) label_of_[node] = label_views.place_of(data.label);
    }
}

std::uint32_t PackedIncidences::fill_by_lists(const GraphWrap& graph) {
    // Written through plain pointers, which the store's walk cannot move.
    NodeIndex* const neighbours = neighbours_.data();
    std::uint8_t* const first_ends = first_end_.data();
    std::uint32_t at = 0;
    for (NodeIndex node = 0; node < graph.node_bound(); ++node) {
        begin_[node] = at;
        if (!graph.has_node(node)) continue;
        graph.for_each_incident(node, [&](EdgeIndex edge, NodeIndex other) __attribute__((always_inline)) {
            neighbours[at] = other;
            first_ends[at] = static_cast<std::uint8_t>(graph.endpoints(edge).first == node);
            ++at;
        });
    }
    begin_.back() = at;
    return at;
}

void PackedIncidences::pack_modalities_by_lists(const GraphWrap& graph, SharedViews& modalities) {
    std::uint32_t at = 0;
    for (NodeIndex node = 0; node < graph.node_bound(); ++node) {
        if (!graph.has_node(node)) continue;
        graph.for_each_incident(node, [&](EdgeIndex edge, NodeIndex) {
            modality_of_[at++] = modalities.place_of(graph.edge_at(edge).modality);
        });
    }
}

std::uint32_t PackedIncidences::fill_by_edge_order(const GraphWrap& graph, SharedViews* modalities) {
    // A node lists the edges it is the first end of, then those it is the
    // second end of (a self-loop only in the first list), each list from the
    // highest edge index down (lists_follow_edge_order). A counting sort in
    // begin_ itself, with no table besides: with begin_[n + 1] first counting
    // node n's incidences and then summing them up to its end, the second
    // lists and then the first are filled from each node's end backwards,
    // lowest edge first, which leaves begin_[n + 1] at node n's start.
    const NodeIndex bound = graph.node_bound();
    const EdgeIndex edge_bound = graph.edge_bound();
    std::fill(begin_.begin(), begin_.end(), 0);
    for (EdgeIndex edge = 0; edge < edge_bound; ++edge) {
        if (!graph.has_edge(edge)) continue;
        const auto [first, second] = graph.endpoints(edge);
        ++begin_[first + 1];
        if (second != first) ++begin_[second + 1];
    }
    for (NodeIndex node = 0; node < bound; ++node) begin_[node + 1] += begin_[node];
    const std::uint32_t count = begin_[bound];
    NodeIndex* const neighbours = neighbours_.data();
    std::uint8_t* const first_ends = first_end_.data();
    const auto place = [&](NodeIndex node, NodeIndex other, bool first_end, EdgeIndex edge)
                           __attribute__((always_inline)) {
        const std::uint32_t at = --begin_[node + 1];
        neighbours[at] = other;
        first_ends[at] = static_cast<std::uint8_t>(first_end);
        if (modalities != nullptr) modality_of_[at] = modalities->place_of(graph.edge_at(edge).modality);
    };
    for (EdgeIndex edge = 0; edge < edge_bound; ++edge) {
        if (!graph.has_edge(edge)) continue;
        const auto [first, second] = graph.endpoints(edge);
        if (second != first) place(second, first, false, edge);
    }
    for (EdgeIndex edge = 0; edge < edge_bound; ++edge) {
        if (!graph.has_edge(edge)) continue;
        const auto [first, second] = graph.endpoints(edge);
        place(first, second, true, edge);
    }
    std::copy(begin_.begin() + 1, begin_.end(), begin_.begin());
    begin_[bound] = count;
    return count;
}

}  // namespace quorl
