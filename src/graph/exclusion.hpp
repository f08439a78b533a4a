// The nodes a walk (the floor search, the tree writers) must not enter.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "graph/graph_wrap.hpp"

namespace quorl {

struct IdHash {
    using is_transparent = void;
    std::size_t operator()(std::string_view id) const { return id_hash(id); }
};

// A set of node id texts with lookups by string_view.
using IdSet = std::unordered_set<std::string, IdHash, std::equal_to<>>;

// Which nodes a walk skips, as a set of ids or as an equivalent cheaper test.
// Non-owning: the set or flags it refers to must outlive it. The root of a
// walk is never excluded; the walks check that themselves before asking.
class Exclusion {
public:
    // Excludes nothing.
    Exclusion() = default;

    static Exclusion of_ids(const IdSet& ids) {
        Exclusion exclusion;
        exclusion.ids_ = &ids;
        return exclusion;
    }

    // Excludes the nodes whose flag is set; indices at or past the end are not excluded.
    static Exclusion of_nodes(const std::vector<bool>& excluded_nodes) {
        Exclusion exclusion;
        exclusion.nodes_ = &excluded_nodes;
        return exclusion;
    }

    // Excludes the flagged nodes that still carry the id they have in `names`
    // (indices at or past the flags' end are not excluded). On a graph
    // rewritten from `names`, whose nodes keep their slots and whose generated
    // ids differ from every id of `names`, that is of_ids with the ids of the
    // flagged nodes of `names`: a node with one of those ids is that node of
    // `names`, in its slot, and a flagged slot holding a node with another id
    // holds a node the rewrite made.
    static Exclusion of_named_nodes(const std::vector<bool>& flagged, const GraphWrap& names) {
        Exclusion exclusion;
        exclusion.nodes_ = &flagged;
        exclusion.names_ = &names;
        return exclusion;
    }

    // Excludes every node whose floor is present and at most `floor`, except
    // `kept`. Reads floors when asked, so only for walks that do not change them.
    static Exclusion floor_at_most(std::int32_t floor, NodeIndex kept) {
        Exclusion exclusion;
        exclusion.by_floor_ = true;
        exclusion.floor_ = floor;
        exclusion.kept_ = kept;
        return exclusion;
    }

    bool excludes_nothing() const { return ids_ == nullptr && nodes_ == nullptr && !by_floor_; }

    // Precondition: `node` is live in `graph`.
    bool excludes(const GraphWrap& graph, NodeIndex node) const {
        if (ids_ != nullptr) return ids_->contains(std::string_view(graph.node_at(node).id));
        if (nodes_ != nullptr) {
            if (node >= nodes_->size() || !(*nodes_)[node]) return false;
            return names_ == nullptr || graph.node_at(node).id == names_->node_at(node).id;
        }
        if (by_floor_) {
            const auto& floor = graph.node_at(node).meta.floor;
            return node != kept_ && floor.has_value() && *floor <= floor_;
        }
        return false;
    }

private:
    const IdSet* ids_ = nullptr;
    const std::vector<bool>* nodes_ = nullptr;
    const GraphWrap* names_ = nullptr;  // with nodes_: the graph whose ids the flagged nodes keep
    bool by_floor_ = false;
    std::int32_t floor_ = 0;
    NodeIndex kept_ = kNoIndex;
};

}  // namespace quorl
