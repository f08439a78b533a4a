#include "dag/inbound.hpp"

#include <gtest/gtest.h>

#include "dag/digest.hpp"
#include "dag_test_support.hpp"
#include "graph/floors.hpp"

namespace quorl {
namespace {

using testing::captured_lines;
using testing::EdgeDef;
using testing::make_graph;
using testing::NodeDef;
using testing::ScopedEnv;

// The join records of one floor, as the driver builds them.
std::vector<JoinEntry> joins_on(const GraphWrap& graph, std::int32_t floor) {
    std::vector<JoinEntry> joins;
    for (NodeIndex n = 0; n < graph.node_bound(); ++n) {
        if (!graph.has_node(n) || graph.node_at(n).meta.floor != floor) continue;
        JoinEntry join{{}, floor, n};
        graph.for_each_incident(n, [&](EdgeIndex edge, NodeIndex other) {
            const auto& other_floor = graph.node_at(other).meta.floor;
            if (other_floor && *other_floor < floor) join.inbound_edges.push_back(edge);
        });
        if (join.inbound_edges.size() >= 2) joins.push_back(std::move(join));
    }
    return joins;
}

// Root r, parents on floor 1, joins on floor 2 with the parents they name.
GraphWrap two_floors(const std::vector<NodeDef>& parents, const std::vector<NodeDef>& joins,
                     const std::vector<EdgeDef>& join_edges) {
    std::vector<NodeDef> nodes{{"r", "R"}};
    nodes.insert(nodes.end(), parents.begin(), parents.end());
    nodes.insert(nodes.end(), joins.begin(), joins.end());
    std::vector<EdgeDef> edges;
    for (const NodeDef& parent : parents) edges.push_back({"r", parent.id});
    edges.insert(edges.end(), join_edges.begin(), join_edges.end());
    GraphWrap graph = make_graph(nodes, edges);
    EXPECT_TRUE(compute_floors(graph, "r", Exclusion{}).has_value());
    return graph;
}

std::string chosen_id(GraphWrap& graph, bool allow_hashes) {
    const auto choice = select_inbound(graph, joins_on(graph, 2), 2, allow_hashes);
    EXPECT_TRUE(choice.has_value() && choice->has_value());
    return graph.node_at((*choice)->node).id;
}

TEST(SelectInbound, MoreInboundEdgesWinWhateverTheMagnets) {
    GraphWrap graph = two_floors({{"p", "P"}, {"q", "P"}, {"s", "P"}}, {{"few", "Z"}, {"many", "A"}},
                                 {{"few", "p"}, {"few", "q"}, {"many", "p"}, {"many", "q"}, {"many", "s"}});
    EXPECT_EQ(chosen_id(graph, false), "many");
}

TEST(SelectInbound, GreaterMagnetWinsAsTextOrAsDigest) {
    // "_()B_" > "_()A_" as texts, but md5("_()A_") > md5("_()B_").
    ASSERT_GT(md5_digest("_()A_"), md5_digest("_()B_"));
    for (const bool allow_hashes : {false, true}) {
        GraphWrap graph = two_floors({{"p", "P"}, {"q", "P"}}, {{"a", "A"}, {"b", "B"}},
                                     {{"a", "p"}, {"a", "q"}, {"b", "p"}, {"b", "q"}});
        EXPECT_EQ(chosen_id(graph, allow_hashes), allow_hashes ? "a" : "b");
    }
}

TEST(SelectInbound, GreaterParentDigestsWinThenSmallerId) {
    // Equal magnets; j's parents are labelled P and Q, k's R and S.
    GraphWrap graph = two_floors({{"p", "P"}, {"q", "Q"}, {"r2", "R"}, {"s", "S"}}, {{"j", "J"}, {"k", "J"}},
                                 {{"j", "p"}, {"j", "q"}, {"k", "r2"}, {"k", "s"}});
    auto sorted_digests = [](std::string a, std::string b) {
        std::vector<Digest> digests{md5_digest("_(()J:1)" + a + "_"), md5_digest("_(()J:1)" + b + "_")};
        std::sort(digests.begin(), digests.end());
        return digests;
    };
    const bool j_greater = sorted_digests("P", "Q") > sorted_digests("R", "S");
    EXPECT_EQ(chosen_id(graph, false), j_greater ? "j" : "k");
    // The digests stay on the parents for later selections.
    EXPECT_EQ(graph.node_at(*graph.find_node("p")).meta.magnet_digest_alt, md5_digest("_(()J:1)P_"));

    // Everything equal but the ids: the smaller id as unsigned bytes ("z" < "\xc3\xa9").
    GraphWrap tie = two_floors({{"p", "P"}, {"q", "P"}}, {{"\xc3\xa9", "J"}, {"z", "J"}},
                               {{"\xc3\xa9", "p"}, {"\xc3\xa9", "q"}, {"z", "p"}, {"z", "q"}});
    EXPECT_EQ(chosen_id(tie, true), "z");
}

TEST(CmpInboundEntry, KeysInOrder) {
    auto entry = [](std::uint64_t count, std::string_view magnet, std::vector<Digest> parents, std::string id,
                    std::vector<EdgeKey> keys) {
        return InboundEntry{InboundScore{magnet, std::move(parents), std::move(id), std::move(keys), count,
                                         std::nullopt},
                            2, 0};
    };
    const Digest low = md5_digest("_()B_");
    const Digest high = md5_digest("_()A_");
    struct Case {
        const char* what;
        InboundEntry preferred;
        InboundEntry other;
    };
    const Case cases[] = {
        {"count", entry(3, "_a_", {}, "z", {}), entry(2, "_b_", {}, "a", {})},
        {"magnet text", entry(2, "_b_", {low}, "z", {}), entry(2, "_a_", {high}, "a", {})},
        {"magnet prefix", entry(2, "_ab", {}, "z", {}), entry(2, "_a", {}, "a", {})},
        {"parent digests", entry(2, "_a_", {low, high}, "z", {}), entry(2, "_a_", {low, low}, "a", {})},
        {"longer parent list", entry(2, "_a_", {low, low}, "z", {}), entry(2, "_a_", {low}, "a", {})},
        {"id", entry(2, "_a_", {low}, "a", {{"b", "c"}}), entry(2, "_a_", {low}, "b", {{"a", "a"}})},
        {"edge keys", entry(2, "_a_", {}, "a", {{"a", "b"}}), entry(2, "_a_", {}, "a", {{"a", "c"}})},
        {"shorter edge key list", entry(2, "_a_", {}, "a", {{"a", "b"}}), entry(2, "_a_", {}, "a", {{"a", "b"}, {"a", "c"}})},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(cmp_inbound_entry(c.preferred, c.other), std::strong_ordering::less) << c.what;
        EXPECT_EQ(cmp_inbound_entry(c.other, c.preferred), std::strong_ordering::greater) << c.what;
    }
    // Digests decide when both entries carry one, even against the texts.
    InboundEntry by_text = entry(2, "_b_", {}, "a", {});
    InboundEntry by_digest = entry(2, "_a_", {}, "b", {});
    by_text.score.magnet_digest = low;
    by_digest.score.magnet_digest = high;
    EXPECT_EQ(cmp_inbound_entry(by_digest, by_text), std::strong_ordering::less);
    by_digest.score.magnet_digest.reset();
    EXPECT_EQ(cmp_inbound_entry(by_text, by_digest), std::strong_ordering::less);
}

TEST(SelectInbound, TracesTheFiveBestAndTheChoice) {
    ScopedEnv trace("QUORL_TRACE", "1");
    ScopedEnv magnet_trace("QUORL_TRACE_MAGNET", std::nullopt);
    const char* const labels[] = {"C", "G", "A", "E", "B", "F", "D"};
    std::vector<NodeDef> joins;
    std::vector<EdgeDef> edges;
    for (const char* label : labels) {
        const std::string id = std::string("j") + label;
        joins.push_back({id, label});
        edges.push_back({"p", id});
        edges.push_back({id, "q"});
    }
    GraphWrap graph = two_floors({{"p", "P"}, {"q", "Q"}}, joins, edges);

    // Every join has both parents; a parent's magnet lists the joins by text.
    std::string parents;
    {
        std::vector<Digest> digests{md5_digest("_(()A:1, ()B:1, ()C:1, ()D:1, ()E:1, ()F:1, ()G:1)P_"),
                                    md5_digest("_(()A:1, ()B:1, ()C:1, ()D:1, ()E:1, ()F:1, ()G:1)Q_")};
        std::sort(digests.begin(), digests.end());
        parents = to_lower_hex(digests[0]) + " " + to_lower_hex(digests[1]);
    }
    auto score = [&](std::string label) { return "[2,\"_()" + label + "_\",\"" + parents + "\"]"; };
    auto repr = [](std::string label) {
        const std::string id = "\"j" + label + "\"";
        return "[2," + id + ",[[" + id + ",\"p\"],[" + id + ",\"q\"]]]";
    };
    std::string scores;
    for (const char* label : {"G", "F", "E", "D", "C"}) {
        if (!scores.empty()) scores += ",";
        scores += "[" + score(label) + "," + repr(label) + "]";
    }
    const auto lines = captured_lines([&] {
        const auto choice = select_inbound(graph, joins_on(graph, 2), 2, false);
        ASSERT_TRUE(choice.has_value() && choice->has_value());
        EXPECT_EQ(graph.node_at((*choice)->node).id, "jG");
    });
    EXPECT_EQ(lines, (std::vector<std::string>{
                         "TRACE dag_inbound_scores floor=2 scores=[" + scores + "]",
                         "TRACE dag_choice choice=" + repr("G") + " floor=2 score=" + score("G") + R"( type="inbound")",
                     }));
}

TEST(SelectInbound, EmptyInputAndDeadEdges) {
    ScopedEnv trace("QUORL_TRACE", "1");
    GraphWrap graph = two_floors({{"p", "P"}, {"q", "Q"}}, {{"j", "J"}}, {{"j", "p"}, {"j", "q"}});
    EXPECT_TRUE(captured_lines([&] {
                    const auto none = select_inbound(graph, {}, 2, true);
                    ASSERT_TRUE(none.has_value());
                    EXPECT_FALSE(none->has_value());
                }).empty());

    std::vector<JoinEntry> joins = joins_on(graph, 2);
    joins.push_back(joins.front());
    graph.remove_edge(joins.back().inbound_edges.back());
    const auto failed = select_inbound(graph, joins, 2, true);
    ASSERT_FALSE(failed.has_value());
    EXPECT_EQ(failed.error().kind(), ErrorKind::Parse);
    EXPECT_EQ(failed.error().message(), "inbound endpoints missing");
}

TEST(EdgeKey, SmallerIdFirstAsUnsignedBytes) {
    GraphWrap graph = make_graph({{"b", ""}, {"a", ""}, {"\xc3\xa9", ""}}, {{"b", "a"}, {"a", "\xc3\xa9"}, {"b", "b"}});
    EXPECT_EQ(edge_key(graph, 0, 1), EdgeKey("a", "b"));
    EXPECT_EQ(edge_key(graph, 2, 1), EdgeKey("a", "\xc3\xa9"));
    EXPECT_EQ(to_json(edge_repr(graph, 0)), R"(["a","b"])");
    EXPECT_EQ(to_json(edge_repr(graph, 2)), R"(["b","b"])");
    graph.remove_edge(0);
    EXPECT_EQ(to_json(edge_repr(graph, 0)), "[]");
    EXPECT_EQ(to_json(edge_repr(graph, 99)), "[]");
}

}  // namespace
}  // namespace quorl
