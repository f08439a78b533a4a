#include "canonize/group_compression.hpp"

#include <gtest/gtest.h>

#include <map>
#include <random>
#include <string>
#include <vector>

#include "tree/tree_string.hpp"

namespace quorl {
namespace {

struct CompressionCase {
    std::string input;
    std::vector<TextSpan> groups;
    std::string output;
};

class CompressionTable : public ::testing::TestWithParam<CompressionCase> {};

TEST_P(CompressionTable, ReplacesTheGivenGroupsOnly) {
    EXPECT_EQ(compress_groups(GetParam().input, GetParam().groups), GetParam().output);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, CompressionTable,
    ::testing::Values(
        CompressionCase{"", {}, ""}, CompressionCase{"(H:1, O:2)C", {}, "(H:1, O:2)C"},
        CompressionCase{"a{x}b{x}c{y}", {{2, 1}, {6, 1}, {10, 1}}, "a{$1}b{$1}c{$2}"},
        // A group's content is taken whole, braces of its own included.
        CompressionCase{"p{q{r}}", {{2, 4}}, "p{$1}"}, CompressionCase{"{}{}", {{1, 0}, {3, 0}}, "{$1}{$1}"},
        CompressionCase{"(.#0{(H:1)C}:1, .*{C}:1)C", {{5, 6}, {19, 1}}, "(.#0{$1}:1, .*{$2}:1)C"},
        // Braces outside the given groups are bytes like any other, unmatched ones too.
        CompressionCase{"({:1, {x}*{o}:1)}", {{11, 1}}, "({:1, {x}*{$1}:1)}"},
        CompressionCase{"(N:1, N:1, {:1)C", {}, "(N:1, N:1, {:1)C"},
        CompressionCase{"{1}{2}{3}{4}{5}{6}{7}{8}{9}{10}{11}{1}",
                        {{1, 1}, {4, 1}, {7, 1}, {10, 1}, {13, 1}, {16, 1}, {19, 1}, {22, 1}, {25, 1}, {28, 2},
                         {32, 2}, {36, 1}},
                        "{$1}{$2}{$3}{$4}{$5}{$6}{$7}{$8}{$9}{$10}{$11}{$1}"}));

// Many groups whose contents repeat, share prefixes and collide in any small
// table: each content keeps the number of its first appearance.
TEST(CompressGroups, NumbersByFirstAppearanceAmongManyGroups) {
    std::mt19937 random(7);
    std::string text;
    std::vector<TextSpan> groups;
    std::string expected;
    std::map<std::string, std::size_t> numbers;
    for (int i = 0; i < 500; ++i) {
        const std::string content = std::string(random() % 3, 'a') + std::to_string(random() % 40);
        text += "x{";
        groups.push_back(TextSpan{text.size(), content.size()});
        text += content + "}";
        const auto [entry, added] = numbers.try_emplace(content, numbers.size() + 1);
        expected += "x{$" + std::to_string(entry->second) + "}";
    }
    EXPECT_EQ(compress_groups(text + "tail", groups), expected + "tail");
}

NodeMeta described(bool mirror, std::string origin) {
    NodeMeta meta;
    meta.is_mirror = mirror;
    meta.is_virtual = !mirror;
    meta.mirror_seq = 1;
    meta.origin = std::move(origin);
    return meta;
}

// The writer records where its own groups lie, whatever braces labels and
// origins hold: a label that spells a mirror's written form is no group.
TEST(WriterGroups, OnlyMirrorAndVirtualOriginsAreGroups) {
    GraphWrap graph;
    const NodeIndex root = graph.ensure_node("r", "{R");
    const NodeIndex spelled = graph.ensure_node("s", "L#1{o}");
    const NodeIndex mirror = graph.add_node_with_meta("m", "L", described(true, "o"));
    const NodeIndex braced = graph.add_node_with_meta("v", "}", described(false, "{a}}"));
    graph.add_edge_custom(root, spelled, {"", "1"});
    graph.add_edge_custom(root, mirror, {"", "1"});
    graph.add_edge_custom(root, braced, {"", "{"});
    const auto tree = to_tree_string_with_groups(graph, "r", Exclusion());
    ASSERT_TRUE(tree.has_value());
    // Equal bytes: the newest edge's child (the mirror) comes first.
    ASSERT_EQ(tree->text, "(L#1{o}:1, L#1{o}:1, }*{{a}}}:{){R");
    EXPECT_EQ(tree->groups, (std::vector<TextSpan>{{5, 1}, {24, 4}}));
    EXPECT_EQ(compress_groups(tree->text, tree->groups), "(L#1{$1}:1, L#1{o}:1, }*{$2}:{){R");
    // The plain writer leaves the groups out.
    EXPECT_TRUE(to_tree_string_with_depth_order(graph, "r", Exclusion(), true)->groups.empty());
}

}  // namespace
}  // namespace quorl
