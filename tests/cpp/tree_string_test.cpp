#include "tree/tree_string.hpp"

#include <gtest/gtest.h>

#include "limits/memory_budget.hpp"
#include "tree/tree_traversal.hpp"

#include <algorithm>
#include <map>
#include <random>
#include <string>
#include <tuple>
#include <set>
#include <vector>

namespace quorl {
namespace {

struct Edge {
    std::string first;
    std::string second;
    std::string modality;
};

GraphWrap graph_of(const std::vector<std::pair<std::string, std::string>>& nodes, const std::vector<Edge>& edges) {
    GraphWrap graph;
    for (const auto& [id, label] : nodes) graph.ensure_node(id, label);
    for (const Edge& edge : edges) graph.add_edge_with_modality(edge.first, edge.second, edge.modality);
    return graph;
}

std::string tree_string(const GraphWrap& graph, std::string_view root, bool modality_order = true,
                        const IdSet& excluded = {}) {
    const auto written = to_tree_string_with_depth_order(graph, root, Exclusion::of_ids(excluded), modality_order);
    EXPECT_TRUE(written.has_value()) << written.error();
    return written ? written->text : std::string();
}

std::int32_t tree_depth(const GraphWrap& graph, std::string_view root) {
    return to_tree_string_with_depth_order(graph, root, Exclusion(), true)->depth;
}

std::vector<std::string> node_order(const GraphWrap& graph, std::string_view root, const IdSet& excluded = {}) {
    const auto order = to_tree_node_order(graph, root, Exclusion::of_ids(excluded), graph);
    EXPECT_TRUE(order.has_value()) << order.error();
    return order ? *order : std::vector<std::string>();
}

// The worked example: r (C) with children a (O, modality 2), b (O, 1) and
// c (N, 1), and d (H) below c. Edges in the given order, r or c first.
GraphWrap worked_example(bool b_before_a = false) {
    std::vector<Edge> edges{{"r", "a", "2"}, {"r", "b", "1"}, {"r", "c", "1"}, {"c", "d", "1"}};
    if (b_before_a) std::swap(edges[0], edges[1]);
    return graph_of({{"r", "C"}, {"a", "O"}, {"b", "O"}, {"c", "N"}, {"d", "H"}}, edges);
}

TEST(TreeString, WorkedExample) {
    const GraphWrap graph = worked_example();
    EXPECT_EQ(tree_string(graph, "r"), "(O:1, O:2, (H:1)N:1)C");
    EXPECT_EQ(tree_depth(graph, "r"), 3);
    // Without the modality key, a and b tie on depth and text; their
    // modalities, not their positions, decide, so the storage order does not.
    EXPECT_EQ(tree_string(graph, "r", false), "(O:1, O:2, (H:1)N:1)C");
    EXPECT_EQ(tree_string(worked_example(true), "r", false), "(O:1, O:2, (H:1)N:1)C");
    EXPECT_EQ(tree_string(worked_example(true), "r", true), "(O:1, O:2, (H:1)N:1)C");
}

TEST(TreeString, TriangleDependsOnNeighbourOrder) {
    // Newest edge first: r-a added after r-b puts a first in r's neighbours.
    const GraphWrap a_first =
        graph_of({{"r", "C"}, {"a", "O"}, {"b", "N"}}, {{"r", "b", "1"}, {"r", "a", "1"}, {"a", "b", "1"}});
    EXPECT_EQ(tree_string(a_first, "r"), "(()N:1, (()N:1)O:1)C");
    EXPECT_EQ(tree_depth(a_first, "r"), 3);
    const GraphWrap b_first =
        graph_of({{"r", "C"}, {"a", "O"}, {"b", "N"}}, {{"r", "a", "1"}, {"r", "b", "1"}, {"a", "b", "1"}});
    EXPECT_EQ(tree_string(b_first, "r"), "(()O:1, (()O:1)N:1)C");
}

TEST(TreeString, ParallelEdgesListTheChildOncePerEdgeWithItsOwnModality) {
    const GraphWrap same = graph_of({{"r", "C"}, {"a", "O"}}, {{"r", "a", "1"}, {"r", "a", "1"}});
    EXPECT_EQ(tree_string(same, "r"), "(()O:1, ()O:1)C");
    // Both modalities are written, whichever edge was stored first or from which end.
    for (const auto& edges : std::vector<std::vector<Edge>>{{{"r", "a", "1"}, {"r", "a", "2"}},
                                                            {{"r", "a", "2"}, {"r", "a", "1"}},
                                                            {{"r", "a", "1"}, {"a", "r", "2"}},
                                                            {{"a", "r", "2"}, {"r", "a", "1"}}}) {
        const GraphWrap mixed = graph_of({{"r", "C"}, {"a", "O"}}, edges);
        EXPECT_EQ(tree_string(mixed, "r"), "(()O:1, ()O:2)C");
        EXPECT_EQ(tree_string(mixed, "r", false), "(()O:1, ()O:2)C");
    }
}

TEST(TreeString, RootAndLeafForms) {
    EXPECT_EQ(tree_string(graph_of({{"x", "X"}}, {}), "x"), "()X");
    EXPECT_EQ(tree_depth(graph_of({{"x", "X"}}, {}), "x"), 1);
    const GraphWrap pair = graph_of({{"r", "C"}, {"o", "O"}}, {{"r", "o", "1"}});
    EXPECT_EQ(tree_string(pair, "r"), "(O:1)C");
    EXPECT_EQ(tree_depth(pair, "r"), 2);
    // n has two edges but its other neighbour is excluded: no children, not a plain leaf.
    const GraphWrap chain = graph_of({{"r", "C"}, {"n", "N"}, {"x", "X"}}, {{"r", "n", "1"}, {"n", "x", "1"}});
    EXPECT_EQ(tree_string(chain, "r", true, {"x"}), "(()N:1)C");
    EXPECT_EQ(tree_string(chain, "r", true, {"n"}), "()C");
    // The root's own id in the excluded set excludes nothing.
    EXPECT_EQ(tree_string(chain, "r", true, {"r"}), "((X:1)N:1)C");
    // A self-loop counts once among a node's edges and is never a child.
    const GraphWrap loop = graph_of({{"r", "C"}, {"n", "N"}}, {{"r", "n", "1"}, {"n", "n", "7"}});
    EXPECT_EQ(tree_string(loop, "r"), "(()N:1)C");
}

TEST(TreeString, UnknownRootFails) {
    const GraphWrap graph = worked_example();
    const auto written = to_tree_string_with_depth_order(graph, "zz", Exclusion(), true);
    ASSERT_FALSE(written.has_value());
    EXPECT_EQ(written.error(), "unknown root id 'zz'");
    const auto order = to_tree_node_order(graph, "zz", Exclusion(), graph);
    ASSERT_FALSE(order.has_value());
    EXPECT_EQ(order.error(), "unknown root id 'zz'");
    const auto both = to_tree_string_with_node_order(graph, "zz", Exclusion(), graph);
    ASSERT_FALSE(both.has_value());
    EXPECT_EQ(both.error(), "unknown root id 'zz'");
}

// Leaves below one root, each (label, modality), added in this order.
GraphWrap star(const std::vector<std::pair<std::string, std::string>>& leaves) {
    GraphWrap graph;
    graph.ensure_node("root", "R");
    for (std::size_t i = 0; i < leaves.size(); ++i) {
        const std::string id = "leaf" + std::to_string(i);
        graph.ensure_node(id, leaves[i].first);
        graph.add_edge_with_modality("root", id, leaves[i].second);
    }
    return graph;
}

struct OrderCase {
    std::vector<std::pair<std::string, std::string>> leaves;
    std::string with_modality;
    std::string without_modality;
};

class TreeStringChildOrder : public testing::TestWithParam<OrderCase> {};

TEST_P(TreeStringChildOrder, BothSettings) {
    const GraphWrap graph = star(GetParam().leaves);
    EXPECT_EQ(tree_string(graph, "root", true), GetParam().with_modality);
    EXPECT_EQ(tree_string(graph, "root", false), GetParam().without_modality);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, TreeStringChildOrder,
    testing::Values(
        // modalities compare as bytes: 10 before 2
        OrderCase{{{"A", "2"}, {"A", "10"}}, "(A:10, A:2)R", "(A:10, A:2)R"},
        // without the modality key, equal texts are still ordered by modality,
        // whatever the neighbour order
        OrderCase{{{"A", "10"}, {"A", "2"}}, "(A:10, A:2)R", "(A:10, A:2)R"},
        // a prefix sorts first; bytes above 0x7F after ASCII
        OrderCase{{{"\xc3\xa9", "1"}, {"OH", "1"}, {"z", "1"}, {"O", "1"}},
                  "(O:1, OH:1, z:1, \xc3\xa9:1)R", "(O:1, OH:1, z:1, \xc3\xa9:1)R"},
        // texts that agree on their first eight bytes, or differ only by a NUL
        // byte after a prefix, are still ordered bytewise (the later leaf is
        // enumerated first)
        OrderCase{{{"ABCDEFGHX", "1"}, {"ABCDEFGHY", "1"}}, "(ABCDEFGHX:1, ABCDEFGHY:1)R",
                  "(ABCDEFGHX:1, ABCDEFGHY:1)R"},
        OrderCase{{{"A", "1"}, {std::string("A\0", 2), "1"}}, std::string("(A:1, A\0:1)R", 12),
                  std::string("(A:1, A\0:1)R", 12)},
        OrderCase{{{"A", "1"}, {"A", std::string("1\0", 2)}}, std::string("(A:1, A:1\0)R", 12),
                  std::string("(A:1, A:1\0)R", 12)},
        // the modality key comes before the text; without it, only after
        OrderCase{{{"A", "2"}, {"B", "1"}}, "(B:1, A:2)R", "(A:2, B:1)R"},
        OrderCase{{{"B", "1"}, {"A", "2"}}, "(B:1, A:2)R", "(A:2, B:1)R"},
        // nothing is escaped
        OrderCase{{{"a, b", ":"}, {"(x)", ""}}, "((x):, a, b::)R", "((x):, a, b::)R"}));

TEST(TreeString, ShallowerChildFirstWhateverItsTextOrModality) {
    GraphWrap graph = star({{"Z", "9"}});
    graph.add_edge_with_modality("root", "mid", "0");
    graph.add_edge_with_modality("mid", "low", "0");
    EXPECT_EQ(tree_string(graph, "root"), "(Z:9, (.:0).:0)R");
}

TEST(TreeString, DeepTextsCompareBytewiseAcrossSubtrees) {
    // Two children of equal depth whose texts share a long prefix; one text
    // ends where the other goes on ("(x:1)N" before "(x:1)NX"), and a plain
    // leaf "()N" ties in bytes with an empty non-leaf "()N".
    GraphWrap graph;
    graph.ensure_node("r", "R");
    for (const auto& [id, label] : std::vector<std::pair<std::string, std::string>>{
             {"p", "NX"}, {"q", "N"}, {"px", "x"}, {"qx", "x"}}) {
        graph.ensure_node(id, label);
    }
    graph.add_edge_with_modality("r", "p", "1");
    graph.add_edge_with_modality("p", "px", "1");
    graph.add_edge_with_modality("r", "q", "1");
    graph.add_edge_with_modality("q", "qx", "1");
    EXPECT_EQ(tree_string(graph, "r"), "((x:1)N:1, (x:1)NX:1)R");

    GraphWrap tie;
    tie.ensure_node("r", "R");
    tie.ensure_node("leaf", "()N");
    tie.ensure_node("inner", "N");
    tie.add_edge_with_modality("r", "inner", "1");
    tie.add_edge_with_modality("inner", "gone", "1");
    tie.add_edge_with_modality("r", "leaf", "1");
    EXPECT_EQ(tree_string(tie, "r", true, {"gone"}), "(()N:1, ()N:1)R");
    // Equal bytes: position decides, and r enumerates leaf (newest) first.
    EXPECT_EQ(node_order(tie, "r", {"gone"}), (std::vector<std::string>{"r", "leaf", "inner"}));
}

struct LabelCase {
    bool mirror;
    bool is_virtual;
    std::optional<std::uint64_t> seq;
    std::optional<std::string> origin;
    std::string label;
    std::string written;
};

class FormatLabel : public testing::TestWithParam<LabelCase> {};

TEST_P(FormatLabel, Forms) {
    const LabelCase& c = GetParam();
    GraphWrap graph;
    NodeMeta meta;
    meta.is_mirror = c.mirror;
    meta.is_virtual = c.is_virtual;
    meta.mirror_seq = c.seq;
    meta.origin = c.origin;
    const NodeIndex node = graph.add_node_with_meta("n", c.label, meta);
    EXPECT_EQ(format_label(graph, node), c.written);
}

INSTANTIATE_TEST_SUITE_P(Cases, FormatLabel,
                         testing::Values(LabelCase{true, false, 2, "b", ".", ".#2{b}"},
                                         LabelCase{false, true, std::nullopt, "x", "", "*{x}"},
                                         LabelCase{true, false, std::nullopt, std::nullopt, "L", "L#0{}"},
                                         LabelCase{true, true, 5, "o", "L", "L#5{o}"},
                                         LabelCase{false, true, 3, std::nullopt, "V", "V*{}"},
                                         LabelCase{false, false, 3, "o", "P", "P"}));

TEST(TreeNodeOrder, WorkedExampleAndWholeIds) {
    EXPECT_EQ(node_order(worked_example(), "r"), (std::vector<std::string>{"r", "b", "a", "c", "d"}));

    // A mirror without a record stands for no input node.
    GraphWrap mirror_c = worked_example();
    mirror_c.node_at(*mirror_c.find_node("c")).meta.is_mirror = true;
    EXPECT_EQ(node_order(mirror_c, "r"), (std::vector<std::string>{"r", "b", "a", "d"}));

    // An "@" in an id is just a byte: "c" and "c@1" are two nodes.
    const GraphWrap renamed_d = graph_of({{"r", "C"}, {"a", "O"}, {"b", "O"}, {"c", "N"}, {"c@1", "H"}},
                                         {{"r", "a", "2"}, {"r", "b", "1"}, {"r", "c", "1"}, {"c", "c@1", "1"}});
    EXPECT_EQ(node_order(renamed_d, "r"), (std::vector<std::string>{"r", "b", "a", "c", "c@1"}));
}

TEST(TreeNodeOrder, SingleNodes) {
    EXPECT_EQ(node_order(graph_of({{"x@3", "X"}}, {}), "x@3"), (std::vector<std::string>{"x@3"}));
    GraphWrap virtual_root;
    NodeMeta meta;
    meta.is_virtual = true;
    virtual_root.add_node_with_meta("v", "V", meta);
    EXPECT_EQ(node_order(virtual_root, "v"), (std::vector<std::string>{}));
}

TEST(TreeNodeOrder, IdsAsGivenAndNodesBelowVirtualNodes) {
    GraphWrap graph;
    graph.ensure_node("r", "R");
    NodeMeta meta;
    meta.is_virtual = true;
    graph.add_node_with_meta("*v1", "", meta);
    graph.add_edge_with_modality("r", "*v1", "1");
    graph.add_edge_with_modality("*v1", "below", "1");
    graph.add_edge_with_modality("r", "@5", "2");
    graph.add_edge_with_modality("r", "", "3");
    graph.add_edge_with_modality("r", "x@1", "4");
    graph.add_edge_with_modality("r", "x@2", "5");
    EXPECT_EQ(node_order(graph, "r"), (std::vector<std::string>{"r", "@5", "", "x@1", "x@2", "below"}));
}

// Mirrors and copies are listed as the input node their records name, read
// from the input graph: the rewritten graph may have removed that node and
// given its slot to another.
TEST(TreeNodeOrder, RecordsNameNodesOfTheInput) {
    const GraphWrap input = graph_of({{"r", "R"}, {"j", "J"}, {"k", "K"}}, {{"r", "j", "1"}, {"r", "k", "2"}});
    GraphWrap rewritten = input;
    const NodeIndex j = *input.find_node("j");
    const NodeIndex k = *input.find_node("k");
    rewritten.remove_node("j");
    NodeMeta mirror;
    mirror.is_mirror = true;
    mirror.stands_for = j;
    const NodeIndex first = rewritten.add_node_with_meta("#m0_0", "J", mirror);
    EXPECT_EQ(first, j);  // the removed node's slot
    const NodeIndex second = rewritten.add_node_with_meta("#m0_1", "J", mirror);
    NodeMeta copy;
    copy.stands_for = k;
    const NodeIndex copy_of_k = rewritten.add_node_with_meta("k@#m0_1", "K", copy);
    const NodeIndex root = *rewritten.find_node("r");
    rewritten.add_edge_custom(root, first, {"", "1"});
    rewritten.add_edge_custom(root, second, {"", "3"});
    rewritten.add_edge_custom(second, copy_of_k, {"", "1"});
    const auto order = to_tree_node_order(rewritten, "r", Exclusion(), input);
    ASSERT_TRUE(order.has_value());
    // r's children by depth, then modality: #m0_0 (1), k (2), #m0_1 with its copy of k.
    EXPECT_EQ(*order, (std::vector<std::string>{"r", "j", "k"}));
}

TEST(TreeString, LongPathAndWideStarNeedNoCallStack) {
    constexpr int kSize = 200000;
    GraphWrap path;
    for (int i = 0; i + 1 < kSize; ++i) path.add_edge_with_modality(std::to_string(i), std::to_string(i + 1), "1");
    const auto written = to_tree_string_with_depth_order(path, "0", Exclusion(), true);
    ASSERT_TRUE(written.has_value());
    EXPECT_EQ(written->depth, kSize);
    std::string expected(kSize - 1, '(');
    expected += '.';
    for (int i = 0; i + 1 < kSize; ++i) expected += ":1).";
    EXPECT_EQ(written->text, expected);
    EXPECT_EQ(to_tree_node_order(path, "0", Exclusion(), path)->size(), static_cast<std::size_t>(kSize));

    GraphWrap wide;
    for (int i = 1; i < kSize; ++i) wide.add_edge_with_modality("0", std::to_string(i), std::to_string(i % 3));
    const auto star_text = to_tree_string_with_depth_order(wide, "0", Exclusion(), true);
    ASSERT_TRUE(star_text.has_value());
    EXPECT_EQ(star_text->depth, 2);
    EXPECT_EQ(star_text->text.substr(0, 10), "(.:0, .:0,");
}

// The writer's rules with every subtree text materialised as a string: slow
// but direct, as a reference for random graphs.
struct ReferenceTree {
    std::string text;
    std::int32_t depth = 0;
    std::vector<std::string> order;
    std::vector<TextSpan> groups;  // each mirror's and virtual node's origin, in text order
};

ReferenceTree reference_tree(const GraphWrap& graph, NodeIndex root, const IdSet& excluded, bool modality_order) {
    struct Pending {
        std::uint32_t position;
        NodeIndex child;
        std::string modality;
    };
    struct Entry {
        NodeIndex node;
        NodeIndex parent;
        bool expanded;
        std::vector<Pending> pending;
    };
    struct Written {
        std::string text;
        std::int32_t depth;
        std::vector<TextSpan> groups;
    };
    std::map<NodeIndex, Written> finished;
    // Appends a node's label to `written`, and its group if it has one.
    const auto append_label_to = [&](NodeIndex n, Written& written) {
        const NodeData& data = graph.node_at(n);
        const std::string label = format_label(graph, n);
        if (data.meta.is_mirror || data.meta.is_virtual) {
            const std::size_t origin = data.meta.origin.value_or("").size();
            written.groups.push_back({written.text.size() + label.size() - origin - 1, origin});
        }
        written.text += label;
    };
    std::map<NodeIndex, std::vector<NodeIndex>> child_lists;
    std::vector<bool> visited(graph.node_bound());
    std::vector<Entry> stack{{root, kNoIndex, false, {}}};
    while (!stack.empty()) {
        Entry entry = std::move(stack.back());
        stack.pop_back();
        if (!entry.expanded) {
            if (visited[entry.node]) continue;
            visited[entry.node] = true;
            std::uint32_t position = 0;
            graph.for_each_incident(entry.node, [&](EdgeIndex e, NodeIndex m) {
                const std::uint32_t p = position++;
                if (m == entry.parent || visited[m]) return;
                if (m != root && excluded.contains(graph.node_at(m).id)) return;
                entry.pending.push_back({p, m, graph.edge_at(e).modality});
            });
            entry.expanded = true;
            stack.push_back(entry);
            for (auto it = entry.pending.rbegin(); it != entry.pending.rend(); ++it) {
                stack.push_back({it->child, entry.node, false, {}});
            }
            continue;
        }
        std::size_t edges = 0;
        graph.for_each_incident(entry.node, [&](EdgeIndex, NodeIndex) { ++edges; });
        if (entry.parent != kNoIndex && edges == 1) {
            Written leaf{"", 1, {}};
            append_label_to(entry.node, leaf);
            finished[entry.node] = leaf;
            child_lists[entry.node] = {};
            continue;
        }
        std::vector<std::tuple<std::int32_t, std::string, std::string, std::string, std::uint32_t, NodeIndex>>
            entries;
        for (const Pending& p : entry.pending) {
            const Written& child = finished.at(p.child);
            entries.emplace_back(child.depth, modality_order ? p.modality : "", child.text,
                                 modality_order ? "" : p.modality, p.position, p.child);
        }
        std::sort(entries.begin(), entries.end());
        Written node{"(", 1, {}};
        for (const auto& [child_depth, modality_key, child_text, modality_tie, position, child] : entries) {
            if (node.text.size() > 1) node.text += ", ";
            const auto pending = std::find_if(entry.pending.begin(), entry.pending.end(),
                                              [&](const Pending& p) { return p.position == position; });
            for (const TextSpan& group : finished.at(child).groups) {
                node.groups.push_back({node.text.size() + group.begin, group.size});
            }
            node.text += child_text + ":" + pending->modality;
            node.depth = std::max(node.depth, child_depth + 1);
            child_lists[entry.node].push_back(child);
        }
        node.text += ")";
        append_label_to(entry.node, node);
        finished[entry.node] = node;
    }
    const Written& written_root = finished.at(root);
    ReferenceTree tree{written_root.text, written_root.depth, {}, written_root.groups};
    std::set<NodeIndex> seen;
    std::vector<NodeIndex> walk{root};
    while (!walk.empty()) {
        const NodeIndex n = walk.back();
        walk.pop_back();
        const NodeMeta& meta = graph.node_at(n).meta;
        NodeIndex named = meta.is_mirror ? kNoIndex : n;
        if (meta.stands_for != kNoIndex) named = meta.stands_for;
        if (meta.is_virtual) named = kNoIndex;
        if (named != kNoIndex && seen.insert(named).second) tree.order.push_back(graph.node_at(named).id);
        const auto& children = child_lists[n];
        walk.insert(walk.end(), children.rbegin(), children.rend());
    }
    return tree;
}

TEST(TreeString, MatchesReferenceOnRandomGraphs) {
    // Wide alphabets: texts tie, nest as prefixes of one another and spell
    // the writer's own punctuation; NUL bytes test the zero padding of
    // leading-bytes keys. Narrow alphabets: long texts agree on their first
    // bytes and share child texts, so comparisons walk deep.
    const std::vector<std::string> wide_labels{"", "O", "N", "(", "()N", "O:1", "\xc3\xa9", "OH", std::string("O\0", 2)};
    const std::vector<std::string> wide_modalities{"1", "2", "10", "", ":", std::string("1\0", 2)};
    const std::vector<std::string> narrow_labels{"C", "C", "CC"};
    const std::vector<std::string> narrow_modalities{"1", "1", "1", "2"};
    std::mt19937 random(20261207);
    for (int round = 0; round < 3000; ++round) {
        const bool narrow = round % 2 == 1;
        const auto& labels = narrow ? narrow_labels : wide_labels;
        const auto& modalities = narrow ? narrow_modalities : wide_modalities;
        const int nodes = 1 + static_cast<int>(random() % (round % 10 < 2 ? 80 : 14));
        GraphWrap graph;
        for (int i = 0; i < nodes; ++i) {
            NodeMeta meta;
            meta.is_mirror = random() % 9 == 0;
            meta.is_virtual = random() % 9 == 0;
            if (random() % 2 == 0) meta.origin = labels[random() % labels.size()];
            if (random() % 2 == 0) meta.mirror_seq = random() % 3;
            if (i > 0 && random() % 5 == 0) meta.stands_for = static_cast<NodeIndex>(random() % static_cast<unsigned>(i));
            // Unique ids, some holding "@" and some empty before it.
            const unsigned form = random() % 4;
            const std::string id = form == 0   ? "@" + std::to_string(i)
                                   : form == 1 ? "n" + std::to_string(i / 2) + "@" + std::to_string(i)
                                               : "n" + std::to_string(i);
            graph.add_node_with_meta(id, labels[random() % labels.size()], meta);
        }
        // Mostly trees, sometimes extra edges: cycles, parallel edges, self-loops.
        const int tree_edges = round % 3 == 0 ? nodes - 1 : nodes / 2;
        const int extra_edges = round % 4 == 0 ? static_cast<int>(random() % 5) : 0;
        for (int i = 1; i < nodes; ++i) {
            if (i > tree_edges) break;
            const NodeIndex parent = static_cast<NodeIndex>(random() % static_cast<unsigned>(i));
            const NodeIndex child = static_cast<NodeIndex>(i);
            const bool flip = random() % 2 == 0;
            graph.add_edge_custom(flip ? child : parent, flip ? parent : child,
                                  {"", modalities[random() % modalities.size()]});
        }
        for (int i = 0; i < extra_edges; ++i) {
            graph.add_edge_custom(static_cast<NodeIndex>(random() % static_cast<unsigned>(nodes)),
                                  static_cast<NodeIndex>(random() % static_cast<unsigned>(nodes)),
                                  {"", modalities[random() % modalities.size()]});
        }
        IdSet excluded;
        for (NodeIndex n = 0; n < graph.node_bound(); ++n) {
            if (random() % 6 == 0) excluded.insert(graph.node_at(n).id);
        }
        const NodeIndex root = static_cast<NodeIndex>(random() % static_cast<unsigned>(nodes));
        const std::string& root_id = graph.node_at(root).id;
        for (bool modality_order : {true, false}) {
            const ReferenceTree expected = reference_tree(graph, root, excluded, modality_order);
            const auto written =
                to_tree_string_with_depth_order(graph, root_id, Exclusion::of_ids(excluded), modality_order);
            ASSERT_TRUE(written.has_value());
            ASSERT_EQ(written->text, expected.text) << "round " << round;
            ASSERT_EQ(written->depth, expected.depth) << "round " << round;
            if (modality_order) {
                const auto grouped = to_tree_string_with_groups(graph, root_id, Exclusion::of_ids(excluded));
                ASSERT_TRUE(grouped.has_value());
                ASSERT_EQ(grouped->text, expected.text) << "round " << round;
                ASSERT_EQ(grouped->groups, expected.groups) << "round " << round;
                ASSERT_EQ(node_order(graph, root_id, excluded), expected.order) << "round " << round;
                const auto both = to_tree_string_with_node_order(graph, root_id, Exclusion::of_ids(excluded), graph);
                ASSERT_TRUE(both.has_value());
                ASSERT_EQ(both->tree.text, expected.text) << "round " << round;
                ASSERT_EQ(both->tree.depth, expected.depth) << "round " << round;
                ASSERT_EQ(both->node_order, expected.order) << "round " << round;
            }
        }
    }
}

TEST(TreeString, TreeTextIgnoresStorageOrder) {
    std::mt19937 random(7);
    std::vector<Edge> edges;
    for (int i = 1; i < 300; ++i) {
        edges.push_back({std::to_string(random() % static_cast<unsigned>(i)), std::to_string(i),
                         std::to_string(random() % 3)});
    }
    std::vector<std::pair<std::string, std::string>> nodes;
    for (int i = 0; i < 300; ++i) nodes.emplace_back(std::to_string(i), std::string(1, static_cast<char>('A' + i % 3)));
    const std::string expected = tree_string(graph_of(nodes, edges), "0");
    for (int shuffle = 0; shuffle < 5; ++shuffle) {
        std::shuffle(edges.begin(), edges.end(), random);
        std::shuffle(nodes.begin(), nodes.end(), random);
        for (Edge& edge : edges) {
            if (random() % 2 == 0) std::swap(edge.first, edge.second);
        }
        EXPECT_EQ(tree_string(graph_of(nodes, edges), "0"), expected);
    }
}

// A scratch lent to one whole-tree writer after another gives each walk the
// texts, orders and memory-budget outcome of a scratch of its own: after a
// large tree, a small one is refused under exactly the budgets (and with the
// same message) as when written alone, since what writing a text holds reads
// the label pool, which each walk grows from nothing.
TEST(TreeString, LentScratchWritesAsAScratchOfItsOwn) {
    GraphWrap large;
    for (int i = 0; i < 400; ++i) large.ensure_node("n" + std::to_string(i), "long-label-" + std::to_string(i));
    for (int i = 1; i < 400; ++i) large.add_edge_with_modality("n" + std::to_string((i - 1) / 3), "n" + std::to_string(i), "1");
    const GraphWrap small = graph_of({{"a", "C"}, {"b", "O"}, {"c", "N"}, {"d", "C"}},
                                     {{"a", "b", "1"}, {"a", "c", "2"}, {"c", "d", "1"}});
    std::size_t refused = 0;
    std::size_t written = 0;
    for (std::uint64_t limit = 1; limit <= 512; ++limit) {
        TreeScratch lent;
        ASSERT_TRUE(to_tree_string_with_groups(large, "n0", Exclusion(), nullptr, &lent).has_value());
        MemoryBudget alone_budget(limit);
        MemoryBudget lent_budget(limit);
        StopPoll alone_poll(StopCheck().with_memory_budget(&alone_budget));
        StopPoll lent_poll(StopCheck().with_memory_budget(&lent_budget));
        const auto alone = to_tree_string_with_groups(small, "a", Exclusion(), &alone_poll);
        const auto with_lent = to_tree_string_with_groups(small, "a", Exclusion(), &lent_poll, &lent);
        ASSERT_EQ(alone.has_value(), with_lent.has_value()) << limit;
        ASSERT_EQ(alone_poll.stopped(), lent_poll.stopped()) << limit;
        if (alone) {
            ++written;
            EXPECT_EQ(alone->text, with_lent->text);
            EXPECT_EQ(alone->groups, with_lent->groups);
        } else {
            ++refused;
            EXPECT_EQ(alone_poll.stop_error().message(), lent_poll.stop_error().message());
        }
        const auto order_alone = to_tree_node_order(small, "a", Exclusion(), small);
        const auto order_lent = to_tree_node_order(small, "a", Exclusion(), small, &lent);
        ASSERT_TRUE(order_alone.has_value() && order_lent.has_value());
        EXPECT_EQ(*order_alone, *order_lent);
    }
    EXPECT_GT(refused, 0u);
    EXPECT_GT(written, 0u);
}

// The checked node order refuses under exactly the budgets, and with the
// message, under which writing the text beside the order is refused, and
// lists the same order where it is not.
TEST(TreeNodeOrder, CheckedOrderFailsWhereWritingTheTextWould) {
    GraphWrap tree;
    for (int i = 0; i < 40; ++i) tree.ensure_node("n" + std::to_string(i), i % 3 == 0 ? "C" : "origin-like-label");
    for (int i = 1; i < 40; ++i) tree.add_edge_with_modality("n" + std::to_string((i - 1) / 2), "n" + std::to_string(i), "1");
    std::size_t refused = 0;
    std::size_t listed = 0;
    for (std::uint64_t limit = 1; limit <= 4096; limit += 7) {
        MemoryBudget written_budget(limit);
        MemoryBudget checked_budget(limit);
        StopPoll written_poll(StopCheck().with_memory_budget(&written_budget));
        StopPoll checked_poll(StopCheck().with_memory_budget(&checked_budget));
        const auto written = to_tree_string_with_node_order(tree, "n0", Exclusion(), tree, &written_poll);
        const auto checked = to_tree_node_order_checked(tree, "n0", Exclusion(), tree, &checked_poll);
        ASSERT_EQ(written.has_value(), checked.has_value()) << limit;
        if (written) {
            ++listed;
            EXPECT_EQ(written->node_order, *checked);
        } else {
            ++refused;
            EXPECT_EQ(written.error(), checked.error());
            EXPECT_EQ(written_poll.stop_error().message(), checked_poll.stop_error().message());
        }
    }
    EXPECT_GT(refused, 0u);
    EXPECT_GT(listed, 0u);
    EXPECT_EQ(to_tree_node_order_checked(tree, "zz", Exclusion(), tree, nullptr).error(), "unknown root id 'zz'");
}

}  // namespace
}  // namespace quorl
