#include "canonize/candidates.hpp"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "dag_test_support.hpp"

namespace quorl {
namespace {

using testing::make_graph;

// "id=degree" per scored node, in score-list order.
std::string degrees(const GraphWrap& graph) {
    auto scores = score_candidates(graph, "$degree");
    EXPECT_TRUE(scores.has_value());
    std::string text;
    for (const ScoredNode& scored : *scores) {
        text += scored.id + "=";
        for (const std::int32_t element : scored.score) text += std::to_string(element);
        text += " ";
    }
    return text;
}

TEST(ScoreCandidates, DegreeCountsEveryEdgeOnceAndASelfLoopOnce) {
    const GraphWrap graph = make_graph({{"iso", "C"}},
                                       {{"a", "a", "1"}, {"a", "b", "1"}, {"b", "c", "1"}, {"b", "c", "2"}});
    EXPECT_EQ(degrees(graph), "iso=0 a=2 b=3 c=2 ");
}

TEST(ScoreCandidates, FollowsNodeIndexOrderNotCreationOrder) {
    GraphWrap graph = make_graph({{"a", "C"}, {"b", "C"}, {"c", "C"}}, {{"b", "c", "1"}});
    graph.remove_node("a");
    graph.ensure_node("d", "C");  // reuses slot 0
    EXPECT_EQ(degrees(graph), "d=0 b=1 c=1 ");
}

class RejectedRule : public ::testing::TestWithParam<std::string> {};

TEST_P(RejectedRule, IsUnsupportedWithTheRuleTextUnchanged) {
    const GraphWrap graph = make_graph({{"a", "C"}}, {});
    auto scores = score_candidates(graph, GetParam());
    ASSERT_FALSE(scores.has_value());
    EXPECT_EQ(scores.error().kind(), ErrorKind::Unsupported);
    EXPECT_EQ(scores.error().message(), "candidate rule '" + GetParam() + "' not implemented");
    EXPECT_EQ(scores.error().display(), "unsupported: candidate rule '" + GetParam() + "' not implemented");
    // Without live nodes the rule is never looked at.
    EXPECT_TRUE(score_candidates(GraphWrap{}, GetParam()).value().empty());
}

INSTANTIATE_TEST_SUITE_P(Texts, RejectedRule,
                         ::testing::Values("", " $degree", "$degree ", "$DEGREE", "degree", "$depth",
                                           "$degree\xC3\xA9"));

struct SelectCase {
    const char* name;
    std::vector<CandidateScore> scores;
    std::vector<std::string> selected;  // ids are "n0", "n1", ... by position
};

class SelectTable : public ::testing::TestWithParam<SelectCase> {};

TEST_P(SelectTable, KeepsEveryGreatestScoreInOrder) {
    std::vector<ScoredNode> scores;
    for (std::size_t i = 0; i < GetParam().scores.size(); ++i) {
        scores.push_back(ScoredNode{"n" + std::to_string(i), GetParam().scores[i]});
    }
    EXPECT_EQ(select_candidates(std::move(scores)), GetParam().selected);
}

INSTANTIATE_TEST_SUITE_P(
    Scores, SelectTable,
    ::testing::Values(SelectCase{"empty", {}, {}},
                      SelectCase{"star_centre", {{1}, {3}, {1}, {1}}, {"n1"}},
                      SelectCase{"all_equal", {{2}, {2}, {2}}, {"n0", "n1", "n2"}},
                      SelectCase{"later_best_clears_earlier", {{2}, {2}, {5}, {2}, {5}}, {"n2", "n4"}},
                      SelectCase{"isolated_only_when_all_zero", {{0}, {0}}, {"n0", "n1"}},
                      SelectCase{"signed_elements", {{-1}, {-7}, {0}}, {"n2"}},
                      SelectCase{"longer_beats_its_prefix", {{3}, {3, 0}, {3}}, {"n1"}},
                      SelectCase{"element_before_length", {{3, 9, 9}, {4}}, {"n1"}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(SelectCandidates, StarSelectsItsCentre) {
    const GraphWrap star = make_graph({}, {{"l1", "c", "1"}, {"c", "l2", "1"}, {"c", "l3", "1"}});
    EXPECT_EQ(select_candidates(score_candidates(star, "$degree").value()), std::vector<std::string>{"c"});
}

struct WinnerCase {
    const char* name;
    std::vector<std::pair<std::int32_t, std::string>> entries;  // candidate ids are "c0", "c1", ...
    std::vector<std::string> winners;
};

class WinnerTable : public ::testing::TestWithParam<WinnerCase> {};

TEST_P(WinnerTable, GreatestDepthThenGreatestText) {
    std::vector<ScoringEntry> entries;
    for (std::size_t i = 0; i < GetParam().entries.size(); ++i) {
        const auto& [depth, text] = GetParam().entries[i];
        entries.push_back(ScoringEntry{"c" + std::to_string(i), depth, std::make_shared<const std::string>(text), {}});
    }
    EXPECT_EQ(winning_candidates(std::move(entries)), GetParam().winners);
}

INSTANTIATE_TEST_SUITE_P(
    Entries, WinnerTable,
    ::testing::Values(WinnerCase{"empty", {}, {}},
                      WinnerCase{"depth_beats_text", {{2, "zzz"}, {3, "a"}, {1, "zzzz"}}, {"c1"}},
                      WinnerCase{"later_text_wins", {{2, "(H:1)N"}, {2, "(H:1)O"}}, {"c1"}},
                      WinnerCase{"longer_text_beats_its_prefix", {{2, "ab"}, {2, "a"}}, {"c0"}},
                      WinnerCase{"ties_all_win_in_order", {{4, "x"}, {3, "y"}, {4, "x"}, {4, "x"}}, {"c0", "c2", "c3"}},
                      WinnerCase{"bytes_compare_unsigned", {{1, "\xC3\xA9"}, {1, "z"}}, {"c0"}},
                      WinnerCase{"greater_after_ties_clears_them", {{1, "a"}, {1, "a"}, {1, "b"}}, {"c2"}}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace quorl
