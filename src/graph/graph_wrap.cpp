#include "graph/graph_wrap.hpp"

#include <algorithm>
#include <functional>
#include <limits>

#include "graph/polled_buffers.hpp"

namespace quorl {

namespace {

constexpr std::size_t index_of(End end) { return static_cast<std::size_t>(end); }

}  // namespace

std::uint32_t appended_slot_index(std::size_t slot_count, std::size_t max_slots) {
    QUORL_ASSERT(slot_count < max_slots);
    return static_cast<std::uint32_t>(slot_count);
}

// At least twice and a half the live count: room for the next insert too.
std::size_t IdIndex::table_size_for(std::size_t live) {
    std::size_t capacity = 16;
    while (capacity * 3 < (live + 1) * 8) capacity *= 2;
    return capacity;
}

// Rehashes into a table at least twice the live count, dropping erased marks.
void IdIndex::grow() { rehash(table_size_for(live_), nullptr); }

bool IdIndex::reserve(std::size_t more, StopPoll& stop) {
    if ((live_ + erased_ + more) * 4 <= entries_.size() * 3) return true;
    if (rehash(table_size_for(live_ + more), &stop)) return true;
    release_polled(entries_, &stop);  // perhaps hundreds of megabytes, partly filled
    *this = IdIndex();
    return false;
}

bool IdIndex::rehash(std::size_t capacity, StopPoll* stop) {
    std::vector<Entry> old = std::move(entries_);
    // Clearing and freeing a table of millions of entries are worth polls too.
    bool rehashed = grow_polled(entries_, capacity, Entry{}, stop);
    erased_ = 0;
    const std::size_t mask = capacity - 1;
    for (std::size_t i = 0; rehashed && i < old.size(); ++i) {
        const Entry& entry = old[i];
        if (stop != nullptr && stop->poll()) {
            rehashed = false;
        } else if (entry.node != kEmpty && entry.node != kErased) {
            std::size_t at = entry.hash & mask;
            while (entries_[at].node != kEmpty) at = (at + 1) & mask;
            entries_[at] = entry;
        }
    }
    release_polled(old, stop);
    return rehashed;
}

NodeIndex GraphWrap::ensure_node(std::string_view id, std::string_view label) {
    const NodeIndex node = next_node_slot();
    if (const auto existing = node_index_.insert_unless_present(id, node, id_of())) {
        NodeData& data = nodes_[*existing].data;
        if (!label.empty() && data.label.empty()) data.label = label;
        return *existing;
    }
    place_node(node, NodeData{NodeMeta{}, std::string(id), std::string(label)});
    return node;
}

NodeIndex GraphWrap::add_node_with_meta(std::string_view id, std::string_view label, NodeMeta meta) {
    const NodeIndex node = next_node_slot();
    if (const auto existing = node_index_.insert_unless_present(id, node, id_of())) return *existing;
    place_node(node, NodeData{std::move(meta), std::string(id), std::string(label)});
    return node;
}

void GraphWrap::add_edge_with_modality(std::string_view first_id, std::string_view second_id,
                                       std::string_view modality) {
    const NodeIndex first = ensure_node(first_id, ".");
    const NodeIndex second = ensure_node(second_id, ".");
    ++edge_counter_;
    insert_edge(first, second, EdgeData{"e" + std::to_string(edge_counter_), std::string(modality)});
}

EdgeIndex GraphWrap::add_edge_custom(NodeIndex first, NodeIndex second, EdgeData data) {
    QUORL_ASSERT(has_node(first) && has_node(second));
    ++edge_counter_;
    if (data.id.empty()) data.id = "e" + std::to_string(edge_counter_);
    return insert_edge(first, second, std::move(data));
}

EdgeIndex GraphWrap::add_edge_copy(NodeIndex first, NodeIndex second, EdgeIndex source) {
    QUORL_ASSERT(has_node(first) && has_node(second) && has_edge(source));
    const EdgeData& data = edges_[source].data;
    if (free_edge_ != kNoIndex || data.id.empty()) return add_edge_custom(first, second, data);
    ++edge_counter_;
    return append_edge(first, second, data);
}

bool GraphWrap::remove_node(std::string_view id) {
    const auto removed = node_index_.erase(id, id_of());
    if (!removed) return false;
    const NodeIndex node = *removed;
    if (!has_node(node)) return true;
    for (const End list : {End::First, End::Second}) {
        while (nodes_[node].heads[index_of(list)] != kNoIndex) remove_edge(nodes_[node].heads[index_of(list)]);
    }
    NodeSlot& slot = nodes_[node];
    slot.data = NodeData{};
    slot.live = false;
    slot.next_free = free_node_;
    free_node_ = node;
    --node_count_;
    return true;
}

void GraphWrap::remove_edge(EdgeIndex edge) {
    QUORL_ASSERT(has_edge(edge));
    unlink(edge, End::First);
    unlink(edge, End::Second);
    EdgeSlot& slot = edges_[edge];
    slot.data = EdgeData{};
    slot.ends = {kNoIndex, kNoIndex};
    slot.next = {kNoIndex, kNoIndex};
    slot.live = false;
    slot.next_free = free_edge_;
    free_edge_ = edge;
    --edge_count_;
}

NodeIndex GraphWrap::endpoint(EdgeIndex edge, End end) const {
    QUORL_ASSERT(has_edge(edge));
    return edges_[edge].ends[index_of(end)];
}

std::optional<NodeIndex> GraphWrap::find_node(std::string_view id) const {
    return node_index_.find(id, id_of());
}

EdgeIndex GraphWrap::list_head(NodeIndex node, End list) const {
    QUORL_ASSERT(has_node(node));
    return nodes_[node].heads[index_of(list)];
}

EdgeIndex GraphWrap::next_in_list(EdgeIndex edge, End list) const {
    QUORL_ASSERT(has_edge(edge));
    return edges_[edge].next[index_of(list)];
}

namespace {

// Moves the slots into room for `more` beyond them, polling as it goes. When
// the poll asks to stop, the result is false and the store is to be given up.
template <class Slot>
bool make_room(CountedSlots<Slot>& slots, std::size_t more, StopPoll& stop) {
    const std::size_t needed = slots.size() + more;
    if (needed <= slots.capacity()) return true;
    const std::size_t room = std::max(needed, 2 * slots.capacity());
    slots.count_room(room);
    // A buffer kept from an earlier store may hold the room already.
    if (room <= slots.slots().capacity()) return true;
    return relocate_polled(slots.slots(), room, &stop);
}

}  // namespace

bool GraphWrap::reserve(std::size_t nodes, std::size_t edges, StopPoll& stop) {
    if (!reserve_slots(nodes, edges, stop)) return false;
    if (node_index_.reserve(nodes, stop)) return true;
    release_in_background(std::move(*this));
    return false;
}

bool GraphWrap::reserve_slots(std::size_t nodes, std::size_t edges, StopPoll& stop) {
    if (make_room(nodes_, nodes, stop) && make_room(edges_, edges, stop)) return true;
    release_in_background(std::move(*this));
    return false;
}

void GraphWrap::forget_keeping_memory() {
    CountedSlots<NodeSlot> nodes = std::move(nodes_);
    CountedSlots<EdgeSlot> edges = std::move(edges_);
    *this = GraphWrap();
    nodes.forget();
    edges.forget();
    nodes_ = std::move(nodes);
    edges_ = std::move(edges);
}

void release_in_background(GraphWrap&& store) {
    // Below this many slots, freeing takes a few milliseconds at most.
    constexpr std::size_t kLargeStore = std::size_t{1} << 16;
    GraphWrap given_up = std::exchange(store, GraphWrap());
    if (std::size_t{given_up.node_bound()} + given_up.edge_bound() >= kLargeStore) {
        free_on_a_thread(std::move(given_up));
    }
}

NodeIndex GraphWrap::next_node_slot() const {
    return free_node_ != kNoIndex ? free_node_ : appended_slot_index(nodes_.size(), kMaxNodeSlots);
}

void GraphWrap::place_node(NodeIndex node, NodeData&& data) {
    if (node == free_node_) {
        NodeSlot& slot = nodes_[node];
        free_node_ = slot.next_free;
        slot.data = std::move(data);
        slot.heads = {kNoIndex, kNoIndex};
        slot.next_free = kNoIndex;
        slot.live = true;
    } else {
        QUORL_ASSERT(node == nodes_.size());
        // Made in place: a default slot assigned to would cost its fields twice.
        nodes_.emplace_back(std::move(data), std::array<EdgeIndex, 2>{kNoIndex, kNoIndex}, kNoIndex, true);
    }
    ++node_count_;
}

NodeData& GraphWrap::append_node_slot() {
    NodeSlot& slot = nodes_.emplace_back();
    slot.live = true;
    ++node_count_;
    return slot.data;
}

EdgeIndex GraphWrap::insert_edge(NodeIndex first, NodeIndex second, EdgeData&& data) {
    if (free_edge_ == kNoIndex) return append_edge(first, second, std::move(data));
    const EdgeIndex edge = free_edge_;
    EdgeSlot& slot = edges_[edge];
    free_edge_ = slot.next_free;
    lists_follow_edge_order_ = false;
    slot.data = std::move(data);
    slot.ends = {first, second};
    slot.next = {nodes_[first].heads[0], nodes_[second].heads[1]};
    slot.next_free = kNoIndex;
    slot.live = true;
    link_in_front(edge, first, second);
    return edge;
}

template <class Data>
EdgeIndex GraphWrap::append_edge(NodeIndex first, NodeIndex second, Data&& data) {
    const EdgeIndex edge = appended_slot_index(edges_.size(), kMaxEdgeSlots);
    // A growing vector makes the new slot before it moves the old ones, so
    // `data` may be one of them.
    edges_.emplace_back(std::forward<Data>(data), std::array<NodeIndex, 2>{first, second},
                        std::array<EdgeIndex, 2>{nodes_[first].heads[0], nodes_[second].heads[1]}, kNoIndex, true);
    link_in_front(edge, first, second);
    return edge;
}

void GraphWrap::link_in_front(EdgeIndex edge, NodeIndex first, NodeIndex second) {
    nodes_[first].heads[0] = edge;
    nodes_[second].heads[1] = edge;
    ++edge_count_;
}

// Takes the edge out of one incidence list of the endpoint on that side.
void GraphWrap::unlink(EdgeIndex edge, End list) {
    const std::size_t side = index_of(list);
    EdgeIndex* link = &nodes_[edges_[edge].ends[side]].heads[side];
    while (*link != edge) {
        QUORL_ASSERT(*link != kNoIndex);
        link = &edges_[*link].next[side];
    }
    *link = edges_[edge].next[side];
}

// The id index keeps at most three entries of eight bytes in four used.
std::uint64_t GraphWrap::node_record_bytes() { return sizeof(NodeSlot) + 8; }

std::uint64_t GraphWrap::edge_record_bytes() { return sizeof(EdgeSlot); }

std::uint64_t GraphWrap::slot_bytes() const {
    return nodes_.capacity() * sizeof(NodeSlot) + edges_.capacity() * sizeof(EdgeSlot);
}

std::uint64_t GraphWrap::held_bytes() const {
    std::uint64_t bytes = slot_bytes() + node_index_.held_bytes();
    for (const NodeSlot& slot : nodes_) bytes += heap_bytes(slot.data);
    for (const EdgeSlot& slot : edges_) bytes += heap_bytes(slot.data);
    return bytes;
}

}  // namespace quorl
