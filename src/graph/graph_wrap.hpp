// The labelled undirected multigraph every stage of the engine works on.
//
// Node and edge slots live in contiguous vectors and keep their indices while
// other nodes and edges are removed; vacant slots are chained in free lists
// and reused most-recently-freed first. Each node has two singly linked
// incidence lists (edges in which it is the first endpoint, and edges in which
// it is the second); new edges go to the front. Copying a store copies every
// slot, vacant ones and free lists included, so that indices and later
// additions behave in the copy exactly as in the source.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "error/quorl_error.hpp"

namespace quorl {

using NodeIndex = std::uint32_t;
using EdgeIndex = std::uint32_t;
inline constexpr std::uint32_t kNoIndex = 0xFFFFFFFFu;

// kNoIndex is never an index, and the id index marks erased entries with
// kNoIndex - 1, so node indices stay below that; edge indices below kNoIndex.
inline constexpr std::size_t kMaxNodeSlots = kNoIndex - 1;
inline constexpr std::size_t kMaxEdgeSlots = kNoIndex;

// The index of a slot appended after `slot_count` slots. Reaching `max_slots`
// is an internal fault (InternalFault), never a wrapped-around index.
std::uint32_t appended_slot_index(std::size_t slot_count, std::size_t max_slots);

using Digest = std::array<std::uint8_t, 16>;

// Derived data written by the later stages; all absent, empty or false when a
// node is created by ensure_node.
struct NodeMeta {
    std::optional<std::uint64_t> mirror_seq;
    std::vector<std::string> prune_sources;
    std::optional<std::string> origin;
    std::optional<std::string> magnet;
    std::optional<std::string> prune_source;
    std::optional<std::int32_t> floor;
    // The input node that a mirror (its join node) or a copy below a mirror
    // stands for; kNoIndex for an input node itself and for a virtual node,
    // which stands for an edge.
    NodeIndex stands_for = kNoIndex;
    bool is_mirror = false;
    bool is_virtual = false;
    std::optional<Digest> magnet_digest;
    std::optional<Digest> magnet_digest_alt;
    bool magnet_flag = false;
};

struct NodeData {
    NodeMeta meta;
    std::string id;
    std::string label;
};

// Whether a node's written label is its label alone: mirrors and virtual
// nodes append their origin in a group.
inline bool writes_bare_label(const NodeData& data) { return !data.meta.is_mirror && !data.meta.is_virtual; }

struct EdgeData {
    std::string id;
    std::string modality;
};

// The heap memory a string holds (none while it fits in the string itself),
// and what a string of `size` bytes made as a copy holds. Inline: the memory
// budget reads them for every string of a rewritten form.
inline std::uint64_t heap_bytes_of_size(std::size_t size) {
    // A short string lives inside the object; a longer one in a heap block of
    // its capacity plus the terminator, rounded up by the allocator, which
    // also keeps a header before it.
    if (size < sizeof(std::string) / 2) return 0;
    return (size + 1 + 8 + 15) / 16 * 16;
}
inline std::uint64_t heap_bytes(const std::string& text) { return heap_bytes_of_size(text.capacity()); }
// The heap memory of a node's or an edge's strings.
inline std::uint64_t heap_bytes(const NodeData& node) {
    const NodeMeta& meta = node.meta;
    std::uint64_t bytes = heap_bytes(node.id) + heap_bytes(node.label);
    if (meta.origin) bytes += heap_bytes(*meta.origin);
    if (meta.magnet) bytes += heap_bytes(*meta.magnet);
    if (meta.prune_source) bytes += heap_bytes(*meta.prune_source);
    bytes += meta.prune_sources.capacity() * sizeof(std::string);
    for (const std::string& source : meta.prune_sources) bytes += heap_bytes(source);
    return bytes;
}
inline std::uint64_t heap_bytes(const EdgeData& edge) { return heap_bytes(edge.id) + heap_bytes(edge.modality); }

// Which end of an edge a node is; also selects one of a node's two incidence lists.
enum class End : std::uint8_t { First = 0, Second = 1 };

// The hash of an id for the id tables (the node index, id sets). Ids are
// short ("12", "n4071", "12@#m0_1"): eight bytes a step with one multiply
// each, then a finaliser that spreads every input bit. Only placement in the
// tables depends on it, never an output.
inline std::uint64_t id_hash(std::string_view id) {
    constexpr std::uint64_t kMultiplier = 0xbf58476d1ce4e5b9ull;
    std::uint64_t hash = 0x9e3779b97f4a7c15ull ^ id.size();
    std::size_t at = 0;
    for (; at + 8 <= id.size(); at += 8) {
        std::uint64_t word;
        std::memcpy(&word, id.data() + at, 8);
        hash = (hash ^ word) * kMultiplier;
        hash ^= hash >> 31;
    }
    if (at < id.size()) {
        std::uint64_t rest = 0;
        for (; at < id.size(); ++at) rest = rest << 8 | static_cast<unsigned char>(id[at]);
        hash = (hash ^ rest) * kMultiplier;
        hash ^= hash >> 31;
    }
    hash = (hash ^ (hash >> 30)) * 0x94d049bb133111ebull;
    return hash ^ (hash >> 31);
}

// Maps node ids to node indices with open addressing over a flat table of
// indices, so copying it is one allocation. The ids themselves stay in the
// node slots; nothing observable depends on the table's order.
class IdIndex {
public:
    template <class IdOf>
    std::optional<NodeIndex> find(std::string_view id, const IdOf& id_of) const;
    // Inserts the id for `node` unless a live entry holds it already, and
    // then returns that entry's node instead: one hash for both questions.
    template <class IdOf>
    std::optional<NodeIndex> insert_unless_present(std::string_view id, NodeIndex node, const IdOf& id_of);
    template <class IdOf>
    std::optional<NodeIndex> erase(std::string_view id, const IdOf& id_of);
    std::size_t size() const { return live_; }
    std::uint64_t held_bytes() const { return entries_.capacity() * sizeof(Entry); }
    // Rehashes now, asking `stop` as it goes, if inserting `more` ids would
    // rehash; false (and the index empty) when it asked to stop.
    bool reserve(std::size_t more, StopPoll& stop);

private:
    struct Entry {
        std::uint32_t hash = 0;
        NodeIndex node = kEmpty;
    };
    static constexpr NodeIndex kEmpty = kNoIndex;
    static constexpr NodeIndex kErased = kNoIndex - 1;

    static std::uint32_t hash_of(std::string_view id) {
        const std::uint64_t hash = id_hash(id);
        return static_cast<std::uint32_t>(hash ^ (hash >> 32));
    }
    template <class IdOf>
    std::size_t probe(std::string_view id, std::uint32_t hash, const IdOf& id_of) const;
    void grow();
    // The table size grow gives for `live` ids.
    static std::size_t table_size_for(std::size_t live);
    // Fills a new table of `capacity` entries with the live ones, polling
    // `stop` per entry when one is given; false when it asked to stop.
    bool rehash(std::size_t capacity, StopPoll* stop);

    std::vector<Entry> entries_;  // size is zero or a power of two
    std::size_t live_ = 0;
    std::size_t erased_ = 0;
};

// A store's slots, with the capacity a vector made anew would have after the
// same copies, reserves and appends: the memory figures (held_bytes) read it.
// The buffer beneath may be larger when a store forgets its slots and keeps
// their memory for the next ones (GraphWrap::forget_keeping_memory).
template <class Slot>
class CountedSlots {
public:
    CountedSlots() = default;
    CountedSlots(const CountedSlots& other) : slots_(other.slots_), capacity_(other.slots_.size()) {}
    CountedSlots(CountedSlots&& other) noexcept
        : slots_(std::move(other.slots_)), capacity_(std::exchange(other.capacity_, 0)) {}
    // A copy into a vector with room keeps its room; into one without, it takes exactly the copy's.
    CountedSlots& operator=(const CountedSlots& other) {
        if (this != &other) {
            slots_ = other.slots_;
            capacity_ = std::max(capacity_, other.slots_.size());
        }
        return *this;
    }
    CountedSlots& operator=(CountedSlots&& other) noexcept {
        slots_ = std::move(other.slots_);
        capacity_ = std::exchange(other.capacity_, 0);
        return *this;
    }

    std::size_t size() const { return slots_.size(); }
    std::size_t capacity() const { return capacity_; }
    Slot& operator[](std::size_t at) { return slots_[at]; }
    const Slot& operator[](std::size_t at) const { return slots_[at]; }
    auto begin() const { return slots_.begin(); }
    auto end() const { return slots_.end(); }

    // Appends as push_back does, the counted room growing as a vector's grows.
    template <class... Args>
    Slot& emplace_back(Args&&... args) {
        if (slots_.size() == capacity_) capacity_ = slots_.size() + std::max<std::size_t>(slots_.size(), 1);
        return slots_.emplace_back(std::forward<Args>(args)...);
    }
    // Counts room for `capacity` slots; the buffer, `slots()`, is the caller's to grow.
    void count_room(std::size_t capacity) { capacity_ = std::max(capacity_, capacity); }
    std::vector<Slot>& slots() { return slots_; }
    // No slots, and counted as a vector made anew; the buffer stays.
    void forget() {
        slots_.clear();
        capacity_ = 0;
    }

private:
    std::vector<Slot> slots_;
    std::size_t capacity_ = 0;
};

class GraphWrap {
public:
    GraphWrap() = default;

    // Returns the node with this id, creating it if needed. An existing node
    // whose label is empty takes a non-empty label offered here; any other
    // label stays.
    NodeIndex ensure_node(std::string_view id, std::string_view label);
    // Returns the node with this id unchanged if it exists; otherwise creates
    // it with the given metadata.
    NodeIndex add_node_with_meta(std::string_view id, std::string_view label, NodeMeta meta);
    // Creates a node under `id` unless a live node holds it; takes `id` over
    // only when it creates the node, and returns it. `fill(NodeData&)` then
    // writes the rest of the new node's record, which holds the id and is
    // otherwise empty. fill may read the store but not change it.
    template <class Fill>
    std::optional<NodeIndex> add_node_if_new(std::string& id, Fill&& fill);
    // Adds an edge named "e{counter}" between two nodes named by id, creating
    // them with label "." if needed (the first id first).
    void add_edge_with_modality(std::string_view first_id, std::string_view second_id, std::string_view modality);
    // Adds an edge between two live nodes; an empty id becomes "e{counter}".
    // The counter is raised either way.
    EdgeIndex add_edge_custom(NodeIndex first, NodeIndex second, EdgeData data);
    // The same with a copy of a live edge's id and modality.
    EdgeIndex add_edge_copy(NodeIndex first, NodeIndex second, EdgeIndex source);
    // Removes the node and all its edges; false when no node has this id.
    bool remove_node(std::string_view id);
    // Removes one live edge; the edge counter is unchanged.
    void remove_edge(EdgeIndex edge);

    std::uint32_t node_count() const { return node_count_; }
    std::uint32_t edge_count() const { return edge_count_; }
    std::uint64_t edge_counter() const { return edge_counter_; }
    // One past the highest node or edge slot; live indices are below it.
    NodeIndex node_bound() const { return static_cast<NodeIndex>(nodes_.size()); }
    EdgeIndex edge_bound() const { return static_cast<EdgeIndex>(edges_.size()); }

    // Whether every incidence list runs from its highest edge index down, so
    // that a pass over the edges in index order can tell each edge's place in
    // its lists. An edge goes in front of its lists when it is added, and
    // taking one out keeps the others' order; only an edge that takes a
    // vacant slot, below edges added before it, breaks the order.
    bool lists_follow_edge_order() const { return lists_follow_edge_order_; }

    bool has_node(NodeIndex node) const { return node < nodes_.size() && nodes_[node].live; }
    bool has_edge(EdgeIndex edge) const { return edge < edges_.size() && edges_[edge].live; }
    // Null for a vacant or out-of-range index.
    const NodeData* node(NodeIndex node) const { return has_node(node) ? &nodes_[node].data : nullptr; }
    NodeData* node(NodeIndex node) { return has_node(node) ? &nodes_[node].data : nullptr; }
    const EdgeData* edge(EdgeIndex edge) const { return has_edge(edge) ? &edges_[edge].data : nullptr; }
    // Precondition: the index is live (checked). Inline: the walks and the
    // rewrite read a node or an edge this way at every step.
    const NodeData& node_at(NodeIndex node) const {
        QUORL_ASSERT(has_node(node));
        return nodes_[node].data;
    }
    NodeData& node_at(NodeIndex node) {
        QUORL_ASSERT(has_node(node));
        return nodes_[node].data;
    }
    const EdgeData& edge_at(EdgeIndex edge) const {
        QUORL_ASSERT(has_edge(edge));
        return edges_[edge].data;
    }
    NodeIndex endpoint(EdgeIndex edge, End end) const;
    // Inline: the rewrite's conflict search asks for every edge's ends on every pass.
    std::pair<NodeIndex, NodeIndex> endpoints(EdgeIndex edge) const {
        QUORL_ASSERT(has_edge(edge));
        return {edges_[edge].ends[0], edges_[edge].ends[1]};
    }

    std::optional<NodeIndex> find_node(std::string_view id) const;

    // Makes room for `nodes` more nodes and `edges` more edges, so that adding
    // them moves no slot and rehashes no id. The room grows geometrically, as
    // the vectors would grow by themselves; the difference is that moving the
    // slots into it asks `stop` as it goes, since on a store of millions of
    // slots one move takes a good part of a second. When `stop` asks to stop,
    // the store is given up (left empty, its contents freed in the background
    // by release_in_background) and the result is false.
    bool reserve(std::size_t nodes, std::size_t edges, StopPoll& stop);
    // The same for the slot vectors alone: for an empty store about to be
    // assigned a copy, which keeps the vectors' room but takes the source's
    // id index as it is.
    bool reserve_slots(std::size_t nodes, std::size_t edges, StopPoll& stop);
    // As a new store, keeping only the slot vectors' memory for the slots to come:
    // for a caller that makes one store after another of about the same size.
    void forget_keeping_memory();

    // The memory the store holds: its slot vectors as allocated, its id index
    // and the heap blocks of every string it keeps. Walks every slot.
    std::uint64_t held_bytes() const;
    // The part of it in the slot vectors: what a vector's reallocation holds
    // twice while it moves the slots.
    std::uint64_t slot_bytes() const;
    // What one more node or edge costs at least besides its strings: its slot
    // and, for a node, its share of the id index.
    static std::uint64_t node_record_bytes();
    static std::uint64_t edge_record_bytes();

    // Raw incidence lists, newest edge first; kNoIndex ends a list.
    EdgeIndex list_head(NodeIndex node, End list) const;
    EdgeIndex next_in_list(EdgeIndex edge, End list) const;

    // Calls visit(edge, neighbour) for the edges of a node in neighbour order:
    // first-endpoint list, then second-endpoint list (newest first in each),
    // a self-loop only once.
    template <class Visit>
    void for_each_incident(NodeIndex node, Visit&& visit) const;

private:
    struct NodeSlot {
        NodeData data;
        std::array<EdgeIndex, 2> heads{kNoIndex, kNoIndex};
        NodeIndex next_free = kNoIndex;
        bool live = false;
    };
    struct EdgeSlot {
        EdgeData data;
        std::array<NodeIndex, 2> ends{kNoIndex, kNoIndex};
        std::array<EdgeIndex, 2> next{kNoIndex, kNoIndex};
        EdgeIndex next_free = kNoIndex;
        bool live = false;
    };

    // The slot the next node takes: the most recently freed, else a new one.
    NodeIndex next_node_slot() const;
    // Puts a node into the slot next_node_slot() gave; the id index is the caller's.
    void place_node(NodeIndex node, NodeData&& data);
    // Appends a live node slot with an empty record, for add_node_if_new.
    NodeData& append_node_slot();
    EdgeIndex insert_edge(NodeIndex first, NodeIndex second, EdgeData&& data);
    // Appends an edge slot made from `data` (EdgeData&& or const EdgeData&)
    // and links it in; reads `data` before the slots move.
    template <class Data>
    EdgeIndex append_edge(NodeIndex first, NodeIndex second, Data&& data);
    // Puts a new edge in front of its ends' lists.
    void link_in_front(EdgeIndex edge, NodeIndex first, NodeIndex second);
    void unlink(EdgeIndex edge, End list);
    auto id_of() const {
        return [this](NodeIndex node) -> std::string_view { return nodes_[node].data.id; };
    }

    CountedSlots<NodeSlot> nodes_;
    CountedSlots<EdgeSlot> edges_;
    IdIndex node_index_;
    std::uint32_t node_count_ = 0;
    std::uint32_t edge_count_ = 0;
    NodeIndex free_node_ = kNoIndex;
    EdgeIndex free_edge_ = kNoIndex;
    std::uint64_t edge_counter_ = 0;
    // See lists_follow_edge_order; cleared when an edge takes a vacant slot.
    bool lists_follow_edge_order_ = true;
};

// Frees a store that a stopped call gives up, leaving `store` empty. Freeing
// one of millions of slots takes a good part of a second, string by string,
// while the caller waits to report the stop: a large one is freed on a thread
// of its own.
void release_in_background(GraphWrap&& store);

template <class Visit>
void GraphWrap::for_each_incident(NodeIndex node, Visit&& visit) const {
    QUORL_ASSERT(has_node(node));
    for (EdgeIndex e = nodes_[node].heads[0]; e != kNoIndex; e = edges_[e].next[0]) {
        visit(e, edges_[e].ends[1]);
    }
    for (EdgeIndex e = nodes_[node].heads[1]; e != kNoIndex; e = edges_[e].next[1]) {
        if (edges_[e].ends[0] != node) visit(e, edges_[e].ends[0]);
    }
}

template <class Fill>
std::optional<NodeIndex> GraphWrap::add_node_if_new(std::string& id, Fill&& fill) {
    const NodeIndex node = next_node_slot();
    if (node_index_.insert_unless_present(id, node, id_of())) return std::nullopt;
    if (node != free_node_) {
        // Filled where it stays: the record is neither built apart nor moved.
        NodeData& data = append_node_slot();
        data.id = std::move(id);
        fill(data);
        return node;
    }
    // A vacant slot may keep the blocks of its last strings; assigning a
    // whole record over them, as when it was first reused, keeps the store's
    // capacities what they have been.
    NodeData data;
    data.id = std::move(id);
    fill(data);
    place_node(node, std::move(data));
    return node;
}

template <class IdOf>
std::size_t IdIndex::probe(std::string_view id, std::uint32_t hash, const IdOf& id_of) const {
    const std::size_t mask = entries_.size() - 1;
    for (std::size_t at = hash & mask;; at = (at + 1) & mask) {
        const Entry& entry = entries_[at];
        if (entry.node == kEmpty) return at;
        if (entry.node != kErased && entry.hash == hash && id_of(entry.node) == id) return at;
    }
}

template <class IdOf>
std::optional<NodeIndex> IdIndex::insert_unless_present(std::string_view id, NodeIndex node, const IdOf& id_of) {
    if ((live_ + erased_ + 1) * 4 > entries_.size() * 3) grow();
    const std::uint32_t hash = hash_of(id);
    const std::size_t mask = entries_.size() - 1;
    std::size_t free_at = entries_.size();  // the first erased entry on the way, if any
    std::size_t at = hash & mask;
    for (;; at = (at + 1) & mask) {
        const Entry& entry = entries_[at];
        if (entry.node == kEmpty) break;
        if (entry.node == kErased) {
            if (free_at == entries_.size()) free_at = at;
        } else if (entry.hash == hash && id_of(entry.node) == id) {
            return entry.node;
        }
    }
    if (free_at != entries_.size()) {
        at = free_at;
        --erased_;
    }
    entries_[at] = Entry{hash, node};
    ++live_;
    return std::nullopt;
}

template <class IdOf>
std::optional<NodeIndex> IdIndex::find(std::string_view id, const IdOf& id_of) const {
    if (live_ == 0) return std::nullopt;
    const Entry& entry = entries_[probe(id, hash_of(id), id_of)];
    if (entry.node == kEmpty) return std::nullopt;
    return entry.node;
}

template <class IdOf>
std::optional<NodeIndex> IdIndex::erase(std::string_view id, const IdOf& id_of) {
    if (live_ == 0) return std::nullopt;
    Entry& entry = entries_[probe(id, hash_of(id), id_of)];
    if (entry.node == kEmpty) return std::nullopt;
    const NodeIndex node = entry.node;
    entry.node = kErased;
    --live_;
    ++erased_;
    return node;
}

}  // namespace quorl
