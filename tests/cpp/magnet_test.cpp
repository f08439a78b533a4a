#include "dag/magnet.hpp"

#include <gtest/gtest.h>

#include "dag/digest.hpp"
#include "dag_test_support.hpp"
#include "graph/floors.hpp"
#include "limits/memory_budget.hpp"

namespace quorl {
namespace {

using testing::captured_lines;
using testing::make_graph;
using testing::ScopedEnv;

// r on floor 0; x, z on 1 (joined by a cobound edge); y on 2; w on 3. The
// leaf l below c hangs from two edges whose modalities must not order them.
GraphWrap floored_sample() {
    GraphWrap graph = make_graph(
        {{"r", "R"}, {"x", "X"}, {"z", "Z"}, {"y", "Y"}, {"w", "W"}, {"c", "C"}, {"l1", "L"}, {"l2", "L"}},
        {{"r", "x"}, {"r", "z"}, {"x", "z"}, {"x", "y"}, {"y", "w"}, {"r", "c"}, {"c", "l1", "1"}, {"c", "l2", "2"}});
    EXPECT_TRUE(compute_floors(graph, "r", Exclusion{}).has_value());
    return graph;
}

NodeIndex index_of(const GraphWrap& graph, std::string_view id) { return *graph.find_node(id); }

std::string hashed(std::string_view plain) { return "_" + to_lower_hex(md5_digest(plain)) + "_"; }

TEST(Magnet, PlainAndHashedForms) {
    struct Case {
        const char* node;
        const char* plain;
    };
    // Same-floor neighbours (z beside x) are blocked; modalities order only
    // children whose texts are equal, so L:1 comes first though l2 is listed first.
    const Case cases[] = {
        {"w", "_()W_"},
        {"y", "_(W:1)Y_"},
        {"x", "_((W:1)Y:1)X_"},
        {"c", "_(L:1, L:2)C_"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.node);
        GraphWrap plain = floored_sample();
        GraphWrap digested = floored_sample();
        EXPECT_EQ(get_magnet(plain, index_of(plain, c.node), false), c.plain);
        EXPECT_FALSE(plain.node_at(index_of(plain, c.node)).meta.magnet_digest.has_value());

        const auto magnet = get_magnet(digested, index_of(digested, c.node), true);
        ASSERT_TRUE(magnet.has_value());
        EXPECT_EQ(*magnet, hashed(c.plain));
        EXPECT_EQ(magnet->size(), 34u);
        const NodeMeta& meta = digested.node_at(index_of(digested, c.node)).meta;
        EXPECT_EQ(meta.magnet_digest, md5_digest(c.plain));
        EXPECT_TRUE(meta.magnet_flag);
    }
}

// A hashed magnet digests its text as it is written, in pieces, and is
// counted in the budget as the buffer the wrapped text would be made in:
// written at its length, grown for the underscores, overwritten by the digits.
// Texts around a short string's room, longer than the writer's buffer, and
// with a label longer than that buffer.
TEST(Magnet, HashedMagnetDigestsAndCountsItsWrittenText) {
    struct Case {
        std::size_t label_size;  // of the node whose magnet is made
        std::size_t chain;       // nodes below it, each with two hydrogens
    };
    // Labels of 118 to 122 bytes put the plain text on either side of the
    // 128 bytes up to which a magnet's bytes are kept and looked up.
    const Case cases[] = {{1, 0},   {8, 0},   {9, 0},   {10, 0},  {11, 0},  {12, 0},   {13, 0},    {28, 0},
                          {29, 0},  {118, 0}, {119, 0}, {120, 0}, {121, 0}, {122, 0},  {1, 400},   {5000, 0},
                          {5000, 400}};
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.label_size) + " " + std::to_string(c.chain));
        std::vector<testing::NodeDef> nodes = {{"r", "R"}, {"a", std::string(c.label_size, 'A')}, {"l", "L"}};
        std::vector<testing::EdgeDef> edges = {{"r", "a"}, {"a", "l"}};
        std::string above = "a";
        for (std::size_t i = 0; i < c.chain; ++i) {
            const std::string id = "c" + std::to_string(i);
            nodes.push_back({id, "C"});
            nodes.push_back({id + "h1", "H"});
            nodes.push_back({id + "h2", "H"});
            edges.push_back({above, id});
            edges.push_back({id, id + "h1"});
            edges.push_back({id, id + "h2", "2"});
            above = id;
        }
        GraphWrap plain = make_graph(nodes, edges);
        GraphWrap digested = make_graph(nodes, edges);
        ASSERT_TRUE(compute_floors(plain, "r", Exclusion{}).has_value());
        ASSERT_TRUE(compute_floors(digested, "r", Exclusion{}).has_value());
        const auto text = get_magnet(plain, index_of(plain, "a"), false);
        ASSERT_TRUE(text.has_value());

        MemoryBudget budget(std::uint64_t{1} << 40);
        RewriteContext context(true, StopCheck().with_memory_budget(&budget), TraceSwitches{});
        const std::uint64_t before = budget.held();
        const auto magnet = get_magnet(digested, index_of(digested, "a"), context);
        ASSERT_TRUE(magnet.has_value());
        EXPECT_EQ(*magnet, hashed(*text));

        std::string written(text->size() - 2, 'x');
        written.reserve(written.size() + 2);
        written.insert(written.begin(), '_');
        written.push_back('_');
        written.assign(34, '_');
        EXPECT_EQ(budget.held() - before, heap_bytes(written));
    }
}

// Short magnets are digested once per thread, then looked up by their bytes:
// thousands of distinct ones of one length, met in turn and again in reverse,
// each keep their own digest whether or not they share a slot.
TEST(Magnet, RepeatedShortMagnetsKeepTheirOwnDigests) {
    const auto expect_own_digest = [](int label) {
        const std::string id = "A" + std::to_string(label);
        GraphWrap plain = make_graph({{"r", "R"}, {"a", id}, {"l", "L"}}, {{"r", "a"}, {"a", "l"}});
        GraphWrap digested = plain;
        ASSERT_TRUE(compute_floors(plain, "r", Exclusion{}).has_value());
        ASSERT_TRUE(compute_floors(digested, "r", Exclusion{}).has_value());
        const auto text = get_magnet(plain, index_of(plain, "a"), false);
        const auto magnet = get_magnet(digested, index_of(digested, "a"), true);
        ASSERT_TRUE(text.has_value() && magnet.has_value());
        EXPECT_EQ(*magnet, hashed(*text)) << id;
        EXPECT_EQ(digested.node_at(index_of(digested, "a")).meta.magnet_digest, md5_digest(*text)) << id;
    };
    for (int label = 1000; label < 4000; ++label) expect_own_digest(label);
    for (int label = 3999; label >= 1000; --label) expect_own_digest(label);
}

TEST(Magnet, UnflooredNeighboursArePartOfTheRegion) {
    GraphWrap graph = floored_sample();
    graph.ensure_node("u", "U");
    graph.add_edge_with_modality("w", "u", "1");
    EXPECT_EQ(get_magnet(graph, index_of(graph, "w"), false), "_(U:1)W_");
}

TEST(Magnet, CacheIsServedUntilReflooringAndPerHashingSetting) {
    ScopedEnv trace("QUORL_TRACE", "1");
    ScopedEnv magnet_trace("QUORL_TRACE_MAGNET", "1");
    GraphWrap graph = floored_sample();
    const NodeIndex w = index_of(graph, "w");
    graph.node_at(w).meta.magnet_digest_alt = md5_digest("stale");

    EXPECT_EQ(captured_lines([&] { EXPECT_EQ(get_magnet(graph, w, false), "_()W_"); }),
              std::vector<std::string>{R"(TRACE magnet magnet="_()W_" node="w")"});
    EXPECT_FALSE(graph.node_at(w).meta.magnet_digest_alt.has_value());

    // The region changes, the cached text stays, and nothing is written.
    graph.add_edge_with_modality("w", "new", "1");
    EXPECT_TRUE(captured_lines([&] { EXPECT_EQ(get_magnet(graph, w, false), "_()W_"); }).empty());

    // The other hashing setting recomputes and replaces the cache.
    const std::string now_hashed = hashed("_(.:1)W_");
    EXPECT_EQ(captured_lines([&] { EXPECT_EQ(get_magnet(graph, w, true), now_hashed); }),
              std::vector<std::string>{R"(TRACE magnet magnet=")" + now_hashed + R"(" node="w")"});
    EXPECT_TRUE(captured_lines([&] { EXPECT_EQ(get_magnet(graph, w, true), now_hashed); }).empty());
    EXPECT_EQ(graph.node_at(w).meta.magnet, now_hashed);

    // Re-flooring clears the cache.
    ASSERT_TRUE(compute_floors(graph, "r", Exclusion{}).has_value());
    EXPECT_FALSE(graph.node_at(w).meta.magnet.has_value());
}

TEST(Magnet, TraceNeedsBothSwitchesExactlyOne) {
    struct Case {
        std::optional<std::string> trace;
        std::optional<std::string> magnet_trace;
        bool written;
    };
    const Case cases[] = {
        {"1", "1", true},         {std::nullopt, "1", false}, {"1", std::nullopt, false},
        {"1", "true", false},     {"1", "01", false},         {"1", "", false},
        {"1", "1 ", false},       {"0", "1", false},
    };
    for (const Case& c : cases) {
        ScopedEnv trace("QUORL_TRACE", c.trace);
        ScopedEnv magnet_trace("QUORL_TRACE_MAGNET", c.magnet_trace);
        GraphWrap graph = floored_sample();
        const auto lines = captured_lines([&] { EXPECT_EQ(get_magnet(graph, index_of(graph, "y"), false), "_(W:1)Y_"); });
        EXPECT_EQ(lines.size(), c.written ? 1u : 0u) << c.trace.value_or("unset") << "/" << c.magnet_trace.value_or("unset");
    }
}

TEST(Magnet, UnflooredNodeFailsAndStoresNothing) {
    GraphWrap graph = make_graph({{"a", "A"}}, {});
    const auto magnet = get_magnet(graph, 0, true);
    ASSERT_FALSE(magnet.has_value());
    EXPECT_EQ(magnet.error().kind(), ErrorKind::Parse);
    EXPECT_EQ(magnet.error().message(), "magnet requires floored graph");
    EXPECT_FALSE(graph.node_at(0).meta.magnet.has_value());
}

}  // namespace
}  // namespace quorl
