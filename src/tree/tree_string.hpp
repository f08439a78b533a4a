// The canonical tree string of a graph read from a root, and the node order
// that goes with it.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "error/quorl_error.hpp"
#include "graph/exclusion.hpp"
#include "graph/graph_wrap.hpp"
#include "tree/subtree_texts.hpp"

namespace quorl {

struct TreeText {
    std::string text;
    std::int32_t depth = 0;  // height of the root's subtree counted in nodes
    // Where the brace groups that the writer made lie: the origin of each
    // mirror and virtual node, in text order. Braces that labels, modalities
    // or origins hold are no groups. Filled by the writers that say so.
    std::vector<TextSpan> groups;
};

struct TreeScratch;

// The failure of a walk or a write that a StopPoll stopped.
inline constexpr std::string_view kInterruptedWalk = "interrupted";
// A walk that did not finish its root.
inline constexpr std::string_view kUnbuiltTree = "failed to build tree string";

// Output depends on the labels, mirror/virtual metadata, modalities and, for
// ties between identical child texts, on the store's adjacency order.
// `modality_order` makes the edge modality a sort key of the children.
// Fails with "unknown root id '{}'". A caller writing many trees of one graph
// lends `scratch` (see TreeScratch); with `stop` the walk and the writing of
// the text poll it and fail with kInterruptedWalk when it asks to stop.
Failable<TreeText> to_tree_string_with_depth_order(const GraphWrap& graph, std::string_view root_id,
                                                   const Exclusion& excluded, bool modality_order,
                                                   TreeScratch* scratch = nullptr, StopPoll* stop = nullptr);

// The same text handed to `sink` in pieces instead of written out (see
// SubtreeTexts::write_to_sink): its length, or the failures of
// to_tree_string_with_depth_order.
Failable<std::uint64_t> tree_string_to_sink(const GraphWrap& graph, std::string_view root_id,
                                            const Exclusion& excluded, bool modality_order, TextSink& sink,
                                            TreeScratch& scratch, StopPoll& stop);

// The tree string with modality order set and its groups, as the canonical
// text is written. Fails with "unknown root id '{}'"; with `stop`, the walk and
// writing the text poll it and fail with kInterruptedWalk when it asks to stop or the
// text does not fit its memory budget. A caller writing one tree after another
// lends `scratch` (see traverse_whole_tree); so for the node-order writers.
// `records` says what the walk records besides the text.
struct TextRecords {
    bool groups = true;        // the text's groups, else TreeText::groups is left empty
    bool child_lists = false;  // in the lent scratch, what node_order_of_walk reads
};
Failable<TreeText> to_tree_string_with_groups(const GraphWrap& graph, std::string_view root_id,
                                              const Exclusion& excluded, StopPoll* stop = nullptr,
                                              TreeScratch* scratch = nullptr, TextRecords records = {});

// At least what writing the text of any walk of the graph holds
// (SubtreeTexts::written_bytes), whatever its root and exclusions, for a walk
// that starts its texts anew (traverse_whole_tree). Costs a pass over the
// records, a small part of a walk.
std::uint64_t written_bytes_bound(const GraphWrap& graph);

// The written label of a live node: mirrors and virtual nodes carry their origin.
std::string format_label(const GraphWrap& graph, NodeIndex node);
// Appends format_label's text to `out`; lets a caller reuse one buffer for every
// node. Returns where in the appended text the origin's group opens, or kNoGroup.
std::uint32_t append_label(const GraphWrap& graph, NodeIndex node, std::string& out);

// The ids of the input nodes in the order in which the tree string written
// with modality order set shows them, each once, where first shown: a node
// as itself, a mirror (a compact join node is listed where its first mirror
// is) or a copy below a mirror as the node its record names. Virtual nodes
// are not listed. `input` is the graph the rewrite that made `graph` started
// from, whose nodes the records name; `graph` itself if it was not rewritten.
Failable<std::vector<std::string>> to_tree_node_order(const GraphWrap& graph, std::string_view root_id,
                                                      const Exclusion& excluded, const GraphWrap& input,
                                                      TreeScratch* scratch = nullptr);

// The node order to_tree_node_order gives with the root and exclusion of the
// latest walk in `scratch`, read from the child lists that walk recorded
// (to_tree_string_with_groups recording child lists): no second walk.
std::vector<std::string> node_order_of_walk(const GraphWrap& graph, const TreeScratch& scratch,
                                            const GraphWrap& input);

// The node order of to_tree_string_with_node_order, with the memory check
// that writing its text makes but without writing the text: for a caller
// that compares the text with none. Fails as that function does.
Failable<std::vector<std::string>> to_tree_node_order_checked(const GraphWrap& graph, std::string_view root_id,
                                                              const Exclusion& excluded, const GraphWrap& input,
                                                              StopPoll* stop, TreeScratch* scratch = nullptr);

struct TreeTextWithOrder {
    TreeText tree;
    std::vector<std::string> node_order;
};

// The tree string with modality order set (without its groups: orders are
// not compressed) and the node order, from one walk of the graph; `stop` as
// for to_tree_string_with_groups.
Failable<TreeTextWithOrder> to_tree_string_with_node_order(const GraphWrap& graph, std::string_view root_id,
                                                           const Exclusion& excluded, const GraphWrap& input,
                                                           StopPoll* stop = nullptr, TreeScratch* scratch = nullptr);

}  // namespace quorl
