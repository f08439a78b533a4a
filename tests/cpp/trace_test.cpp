#include "dag/trace.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <limits>
#include <optional>
#include <string>

#include "dag_test_support.hpp"

namespace quorl {
namespace {

using testing::ScopedEnv;

std::string captured_emit(std::string_view event, std::vector<TraceField> fields) {
    ::testing::internal::CaptureStdout();
    emit(event, std::move(fields));
    return ::testing::internal::GetCapturedStdout();
}

class TraceSwitchOff : public ::testing::TestWithParam<std::optional<std::string>> {};

TEST_P(TraceSwitchOff, WritesNothing) {
    ScopedEnv trace("QUORL_TRACE", GetParam());
    EXPECT_FALSE(trace_enabled());
    EXPECT_EQ(captured_emit("dag_counts", {{"nodes", {std::uint64_t{1}}}}), "");
}

INSTANTIATE_TEST_SUITE_P(Values, TraceSwitchOff,
                         ::testing::Values(std::nullopt, "", "0", "true", "yes", "01", "11", "1 ", " 1"));

TEST(Trace, LineHasSortedKeysAndEndsWithLineFeed) {
    ScopedEnv trace("QUORL_TRACE", "1");
    EXPECT_EQ(captured_emit("dag_counts", {{"virtuals", {std::uint64_t{1}}},
                                           {"nodes", {std::uint64_t{7}}},
                                           {"mirrors", {std::uint64_t{2}}},
                                           {"edges", {std::uint64_t{8}}}}),
              "TRACE dag_counts edges=8 mirrors=2 nodes=7 virtuals=1\n");
    // Bytewise: upper case before lower case, a prefix first, bytes above 0x7F
    // last; equal keys keep their order.
    EXPECT_EQ(captured_emit("e", {{"\xc3\xa9", {true}},
                                  {"ab", {false}},
                                  {"a", {nullptr}},
                                  {"B", {std::int64_t{-3}}},
                                  {"a", {std::string("second")}}}),
              "TRACE e B=-3 a=null a=\"second\" ab=false \xc3\xa9=true\n");
}

TEST(Trace, CountEventCountsVirtualAndMirrorNodes) {
    ScopedEnv trace("QUORL_TRACE", "1");
    GraphWrap graph;
    graph.add_edge_with_modality("a", "b", "1");
    NodeMeta virtual_meta;
    virtual_meta.is_virtual = true;
    NodeMeta mirror_meta;
    mirror_meta.is_mirror = true;
    graph.add_node_with_meta("v", "", virtual_meta);
    graph.add_node_with_meta("m1", "", mirror_meta);
    graph.add_node_with_meta("m2", "", mirror_meta);
    graph.add_node_with_meta("gone", "", mirror_meta);
    graph.remove_node("gone");
    ::testing::internal::CaptureStdout();
    emit_counts(graph);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "TRACE dag_counts edges=1 mirrors=2 nodes=5 virtuals=1\n");
}

TEST(Trace, MagnetSwitchNeedsTheMasterSwitchToo) {
    ScopedEnv magnet("QUORL_TRACE_MAGNET", "1");
    {
        ScopedEnv trace("QUORL_TRACE", std::nullopt);
        EXPECT_FALSE(magnet_trace_enabled());
    }
    ScopedEnv trace("QUORL_TRACE", "1");
    EXPECT_TRUE(magnet_trace_enabled());
    ScopedEnv magnet_off("QUORL_TRACE_MAGNET", "true");
    EXPECT_FALSE(magnet_trace_enabled());
}

TEST(TraceJson, Escapes) {
    EXPECT_EQ(escape_json("a\"b\\c\nd\re\tf"), "a\\\"b\\\\c\\nd\\re\\tf");
    // Other control characters and non-ASCII text pass unchanged.
    EXPECT_EQ(escape_json(std::string("\f\x01\x7f\xe2\x82\xac", 6)), std::string("\f\x01\x7f\xe2\x82\xac", 6));
    EXPECT_EQ(escape_json("\\n"), "\\\\n");
}

TEST(TraceJson, Values) {
    EXPECT_EQ(to_json({nullptr}), "null");
    EXPECT_EQ(to_json({true}), "true");
    EXPECT_EQ(to_json({std::uint64_t{18446744073709551615u}}), "18446744073709551615");
    EXPECT_EQ(to_json({std::int64_t{-9223372036854775807 - 1}}), "-9223372036854775808");
    EXPECT_EQ(to_json({std::string("q\"")}), "\"q\\\"\"");
    EXPECT_EQ(to_json({JsonArray{}}), "[]");
    EXPECT_EQ(to_json({JsonObject{}}), "{}");
    EXPECT_EQ(to_json({JsonArray{{std::uint64_t{1}}, {JsonArray{{nullptr}}}, {std::string("x")}}}),
              "[1,[null],\"x\"]");
    EXPECT_EQ(to_json({JsonObject{{"b", {std::uint64_t{2}}},
                                  {"a\"", {JsonObject{{"z", {false}}, {"y", {JsonArray{}}}}}},
                                  {"\xc3\xa9", {nullptr}},
                                  {"B", {std::int64_t{0}}}}}),
              "{\"B\":0,\"a\\\"\":{\"y\":[],\"z\":false},\"b\":2,\"\xc3\xa9\":null}");
}

class TraceFloat : public ::testing::TestWithParam<std::pair<double, const char*>> {};

TEST_P(TraceFloat, Format) { EXPECT_EQ(to_json({GetParam().first}), GetParam().second); }

INSTANTIATE_TEST_SUITE_P(
    Table, TraceFloat,
    ::testing::Values(std::pair{1.0, "1.0"}, std::pair{0.25, "0.25"}, std::pair{100.0, "100.0"},
                    std::pair{0.0, "0.0"}, std::pair{-0.0, "-0.0"}, std::pair{-1.5, "-1.5"},
                    std::pair{0.1, "0.1"}, std::pair{1.0 / 3.0, "0.3333333333333333"},
                    std::pair{1e-4, "0.0001"}, std::pair{9.5e-5, "9.5e-5"}, std::pair{2.5e-7, "2.5e-7"},
                    std::pair{1e15, "1000000000000000.0"}, std::pair{9999999999999998.0, "9999999999999998.0"},
                    std::pair{1e16, "1e+16"}, std::pair{1e20, "1e+20"}, std::pair{-1.25e100, "-1.25e+100"},
                    std::pair{5e-324, "5e-324"}, std::pair{1.7976931348623157e308, "1.7976931348623157e+308"},
                    std::pair{std::numeric_limits<double>::quiet_NaN(), "null"},
                    std::pair{std::numeric_limits<double>::infinity(), "null"},
                    std::pair{-std::numeric_limits<double>::infinity(), "null"}));

}  // namespace
}  // namespace quorl
