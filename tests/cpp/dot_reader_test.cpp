#include "dot/dot_reader.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

namespace quorl {
namespace {

// Non-ASCII characters are written as UTF-8 byte escapes; a literal is split
// after an escape so that a following hex digit is not read into it.

using NodeLabels = std::vector<std::pair<std::string, std::string>>;
using Edges = std::vector<std::tuple<std::string, std::string, std::string>>;

NodeLabels node_labels(const GraphWrap& graph) {
    NodeLabels nodes;
    for (NodeIndex n = 0; n < graph.node_bound(); ++n) {
        if (graph.has_node(n)) nodes.emplace_back(graph.node_at(n).id, graph.node_at(n).label);
    }
    return nodes;
}

Edges edges(const GraphWrap& graph) {
    Edges list;
    for (EdgeIndex e = 0; e < graph.edge_bound(); ++e) {
        const auto [first, second] = graph.endpoints(e);
        list.emplace_back(graph.node_at(first).id, graph.node_at(second).id, graph.edge_at(e).modality);
    }
    return list;
}

struct ReadCase {
    const char* name;
    std::string text;
    NodeLabels nodes;
    Edges edges;
};

void PrintTo(const ReadCase& c, std::ostream* os) { *os << c.name; }

class DotReads : public testing::TestWithParam<ReadCase> {};

TEST_P(DotReads, NodeLabelsAndEdges) {
    const ReadCase& c = GetParam();
    const auto graph = parse_dot_content(c.text);
    ASSERT_TRUE(graph.has_value()) << graph.error();
    EXPECT_EQ(node_labels(*graph), c.nodes);
    EXPECT_EQ(edges(*graph), c.edges);
}

const std::string kChainOfThree = "graph G {\n  a -- b [weight=2];\n  b -- c;\n}\n";

INSTANTIATE_TEST_SUITE_P(
    Statements, DotReads,
    testing::Values(
        ReadCase{"Empty", "", {}, {}},
        ReadCase{"HeaderAndClosingOnly", "graph G {\n}\n", {}, {}},
        ReadCase{"EdgeWithoutHeader", "a -- b", {{"a", "."}, {"b", "."}}, {{"a", "b", "1"}}},
        ReadCase{"LastLineWithoutLineFeed", "a -- b\nc -- d", {{"a", "."}, {"b", "."}, {"c", "."}, {"d", "."}},
                 {{"a", "b", "1"}, {"c", "d", "1"}}},
        ReadCase{"CrLfLikeLf", "graph G {\r\n  a -- b [weight=2];\r\n  b -- c;\r\n}\r\n",
                 {{"a", "."}, {"b", "."}, {"c", "."}}, {{"a", "b", "2"}, {"b", "c", "1"}}},
        ReadCase{"Lf", kChainOfThree, {{"a", "."}, {"b", "."}, {"c", "."}}, {{"a", "b", "2"}, {"b", "c", "1"}}},
        ReadCase{"LoneCarriageReturnIsWhiteSpaceInsideALine", "a\rx -- b", {{"a", "."}, {"b", "."}},
                 {{"a", "b", "1"}}},
        ReadCase{"NodeOrderIsFirstOccurrence", "b -- a\nc [label=C]\na -- c",
                 {{"b", "."}, {"a", "."}, {"c", "C"}}, {{"b", "a", "1"}, {"a", "c", "1"}}},
        ReadCase{"ParallelEdgesAndSelfLoopsStay", "a -- a\na -- a", {{"a", "."}}, {{"a", "a", "1"}, {"a", "a", "1"}}},
        // Chains: only the first edge; without blanks the second id runs on.
        ReadCase{"ChainWithBlanks", "a -- b -- c", {{"a", "."}, {"b", "."}}, {{"a", "b", "1"}}},
        ReadCase{"ChainWithoutBlanks", "a--b--c", {{"a", "."}, {"b--c", "."}}, {{"a", "b--c", "1"}}},
        // Weight and its quoting.
        ReadCase{"WeightPlain", "a -- b [weight=2]", {{"a", "."}, {"b", "."}}, {{"a", "b", "2"}}},
        ReadCase{"WeightDoubleQuoted", "a -- b [weight=\"2\"]", {{"a", "."}, {"b", "."}}, {{"a", "b", "2"}}},
        ReadCase{"WeightSingleQuoted", "a -- b [weight='2']", {{"a", "."}, {"b", "."}}, {{"a", "b", "2"}}},
        ReadCase{"WeightEmpty", "a -- b [weight=]", {{"a", "."}, {"b", "."}}, {{"a", "b", ""}}},
        ReadCase{"WeightEmptyQuotes", "a -- b [weight=\"\"]", {{"a", "."}, {"b", "."}}, {{"a", "b", ""}}},
        ReadCase{"WeightLoneQuoteKept", "a -- b [weight=\"]", {{"a", "."}, {"b", "."}}, {{"a", "b", "\""}}},
        ReadCase{"WeightMixedQuotesKept", "a -- b [weight='2\"]", {{"a", "."}, {"b", "."}}, {{"a", "b", "'2\""}}},
        ReadCase{"WeightOnlyOnePairStripped", "a -- b [weight=\"\"x\"\"]", {{"a", "."}, {"b", "."}},
                 {{"a", "b", "\"x\""}}},
        ReadCase{"WeightKeyWithoutEquals", "a -- b [weight]", {{"a", "."}, {"b", "."}}, {{"a", "b", ""}}},
        ReadCase{"KeyTwiceKeepsLast", "a -- b [weight=2, color=red, weight=3]", {{"a", "."}, {"b", "."}},
                 {{"a", "b", "3"}}},
        ReadCase{"EdgeLabelIgnored", "a -- b [label=L]", {{"a", "."}, {"b", "."}}, {{"a", "b", "1"}}},
        // Semicolons after the right id.
        ReadCase{"TrailingSemicolonRemoved", "a -- b;", {{"a", "."}, {"b", "."}}, {{"a", "b", "1"}}},
        ReadCase{"TwoSemicolonsLeaveOne", "a -- b;;", {{"a", "."}, {"b;", "."}}, {{"a", "b;", "1"}}},
        ReadCase{"SemicolonAfterBlank", "a -- b ;", {{"a", "."}, {"b", "."}}, {{"a", "b", "1"}}},
        ReadCase{"SemicolonAfterAttributes", "a -- b [weight=4];", {{"a", "."}, {"b", "."}}, {{"a", "b", "4"}}},
        // Node statements.
        ReadCase{"QuotedLabelKeepsInnerBlank", "x [label=\"hello world\"]", {{"x", "hello world"}}, {}},
        ReadCase{"BlanksAroundKeyAndValue", "x [ label = ' spaced ' ]", {{"x", " spaced "}}, {}},
        ReadCase{"NoClosingBracketNoAttributes", "x [label=y", {{"x", "."}}, {}},
        ReadCase{"IdRunsUpToBracket", "x[label=y]", {{"x", "y"}}, {}},
        ReadCase{"LabelKeyTwiceKeepsLast", "x [label=a, label=b]", {{"x", "b"}}, {}},
        ReadCase{"EmptyKeyDropped", "x [=5, label=z]", {{"x", "z"}}, {}},
        ReadCase{"LabelWithoutEqualsIsEmpty", "x [label]", {{"x", ""}}, {}},
        ReadCase{"CommaInsideQuotesSplits", "x [label=\"a,b\"]", {{"x", "\"a"}}, {}},
        ReadCase{"BracketInsideQuotesCloses", "x [label=\"a]b\"]", {{"x", "\"a"}}, {}},
        ReadCase{"NodeWeightIgnored", "x [weight=5]", {{"x", "."}}, {}},
        ReadCase{"DefaultAttributeLinesAreNodes", "node [shape=box]\nedge [color=red]", {{"node", "."}, {"edge", "."}},
                 {}},
        ReadCase{"IdsVerbatim", "\"a\" -- {b};", {{"\"a\"", "."}, {"{b}", "."}}, {{"\"a\"", "{b}", "1"}}},
        ReadCase{"NulIsAnOrdinaryCharacter", std::string("a\0b -- c\0", 9), {{std::string("a\0b", 3), "."},
                 {std::string("c\0", 2), "."}}, {{std::string("a\0b", 3), std::string("c\0", 2), "1"}}},
        ReadCase{"LabelHoldingDashesMakesAnEdge", "x [label=\"a--b\"]", {{"x", "."}, {"b\"]", "."}},
                 {{"x", "b\"]", "1"}}},
        // Labels: the first non-empty label stays; "" is filled by a later edge.
        ReadCase{"NodeAfterEdgeKeepsDot", "a -- b\na [label=A]", {{"a", "."}, {"b", "."}}, {{"a", "b", "1"}}},
        ReadCase{"NodeBeforeEdgeKeepsLabel", "a [label=A]\na -- b", {{"a", "A"}, {"b", "."}}, {{"a", "b", "1"}}},
        ReadCase{"EmptyLabelAlone", "a [label=\"\"]", {{"a", ""}}, {}},
        ReadCase{"EmptyLabelThenEdgeGivesDot", "a [label=\"\"]\na -- b", {{"a", "."}, {"b", "."}},
                 {{"a", "b", "1"}}},
        ReadCase{"SecondNodeStatementKeepsFirstLabel", "a [label=A]\na [label=B]", {{"a", "A"}}, {}},
        // Skipped and ignored lines.
        ReadCase{"GraphPrefixSkipsWholeLine", "graphA [label=x]\ngraph -- b", {}, {}},
        ReadCase{"StrictGraphSkipped", "strict graph G { a -- b", {}, {}},
        ReadCase{"ClosingBraceSkipped", "} a -- b [label=x]", {}, {}},
        ReadCase{"DigraphHeaderAndArrowsIgnored", "digraph G {\na -> b\n}", {}, {}},
        ReadCase{"DigraphWithBracketIsANode", "digraph G [rankdir=LR]", {{"digraph", "."}}, {}},
        ReadCase{"StrictDigraphWithDashesIsAnEdge", "strict digraph -- x", {{"strict", "."}, {"x", "."}},
                 {{"strict", "x", "1"}}},
        ReadCase{"PlainCommentIgnored", "// just a comment\n# another", {}, {}},
        ReadCase{"CommentWithDashesIsAnEdge", "// a -- b", {{"//", "."}, {"b", "."}}, {{"//", "b", "1"}}},
        ReadCase{"CommentWithBracketIsANode", "// see [1]", {{"//", "."}}, {}},
        // White space is the Unicode White_Space list.
        ReadCase{"UnicodeBlanksAroundEdge",
                 "\xC2\xA0"
                 "a\xE3\x80\x80--\xE2\x80\xA8"
                 "b\xC2\x85\n",
                 {{"a", "."}, {"b", "."}},
                 {{"a", "b", "1"}}},
        ReadCase{"UnicodeBlanksEndIds",
                 "a\xE1\x9A\x80x -- b\xE2\x80\x8Ay\nc\xE2\x80\xAFz -- d\xE2\x81\x9F\n"
                 "e\xE2\x80\xA9 -- f\xE2\x80\x80",
                 {{"a", "."}, {"b", "."}, {"c", "."}, {"d", "."}, {"e", "."}, {"f", "."}},
                 {{"a", "b", "1"}, {"c", "d", "1"}, {"e", "f", "1"}}},
        ReadCase{"UnicodeBlanksAroundKeysAndValues",
                 "x [\xC2\xA0label\xE3\x80\x80=\xE2\x80\x83v\xC2\xA0]\na -- b [\xC2\x85weight=\xE2\x80\x82"
                 "7\xE2\x80\x89]",
                 {{"x", "v"}, {"a", "."}, {"b", "."}},
                 {{"a", "b", "7"}}},
        ReadCase{"VerticalTabAndFormFeedAreBlank", "\va\f--\vb\f", {{"a", "."}, {"b", "."}}, {{"a", "b", "1"}}},
        ReadCase{"InformationSeparatorsAreNotBlank", "\x1C" "a -- b\x1F", {{"\x1C" "a", "."}, {"b\x1F", "."}},
                 {{"\x1C" "a", "b\x1F", "1"}}},
        ReadCase{"ZeroWidthSpaceIsNotBlank", "a\xE2\x80\x8B" "b -- c", {{"a\xE2\x80\x8B" "b", "."}, {"c", "."}},
                 {{"a\xE2\x80\x8B" "b", "c", "1"}}},
        ReadCase{"MongolianVowelSeparatorIsNotBlank", "a\xE1\xA0\x8E -- c", {{"a\xE1\xA0\x8E", "."}, {"c", "."}},
                 {{"a\xE1\xA0\x8E", "c", "1"}}},
        ReadCase{"ByteOrderMarkIsPartOfTheFirstToken", "\xEF\xBB\xBFgraph G {\na -- b\n}",
                 {{"a", "."}, {"b", "."}}, {{"a", "b", "1"}}},
        ReadCase{"ByteOrderMarkStartsTheFirstId", "\xEF\xBB\xBF" "a -- b", {{"\xEF\xBB\xBF" "a", "."}, {"b", "."}},
                 {{"\xEF\xBB\xBF" "a", "b", "1"}}}),
    [](const testing::TestParamInfo<ReadCase>& info) { return std::string(info.param.name); });

struct FailCase {
    const char* name;
    std::string text;
    std::string message;
};

void PrintTo(const FailCase& c, std::ostream* os) { *os << c.name; }

class DotFails : public testing::TestWithParam<FailCase> {};

TEST_P(DotFails, WithExactMessage) {
    const FailCase& c = GetParam();
    const auto graph = parse_dot_content(c.text);
    ASSERT_FALSE(graph.has_value());
    EXPECT_EQ(graph.error(), c.message);
}

INSTANTIATE_TEST_SUITE_P(
    Statements, DotFails,
    testing::Values(
        FailCase{"LineStartsWithDashes", "-- b", "line 1: empty node id"},
        FailCase{"LineNumberCountsSkippedAndIgnoredLines", "graph G {\n\n// note\n  a -- b;\n  -- b\n}\n",
                 "line 5: empty node id"},
        FailCase{"LineNumberCountsCrLfLines", "a -- b\r\n\r\n-- c\r\n", "line 3: empty node id"},
        FailCase{"LeadingUnicodeBlankBeforeDashes", "\xC2\xA0-- b", "line 1: empty node id"},
        FailCase{"RightPartMissing", "a --", "line 1: empty node id"},
        FailCase{"RightPartOnlySemicolon", "a -- ;", "line 1: empty node id"},
        FailCase{"RightPartBlankSemicolonBlank", "a -- \xE3\x80\x80;\xC2\xA0 ", "line 1: empty node id"},
        FailCase{"LeftStartsWithBracketShowsUntrimmedLeft", "[x] -- b", "line 1: invalid node id in '[x] '"},
        FailCase{"RightStartsWithBracketShowsTrimmedRight", "a --  [x] ;", "line 1: invalid node id in '[x]'"},
        FailCase{"LeftFailureReportedFirst", "[a -- [b", "line 1: invalid node id in '[a '"},
        FailCase{"EmptyLeftBeforeInvalidRight", "-- [b", "line 1: empty node id"},
        FailCase{"NodeLineStartingWithBracket", "a -- b\n  [label=x]  ", "line 2: invalid node id in '[label=x]'"},
        FailCase{"StopsAtFirstFailingLine", "-- a\n[b]", "line 1: empty node id"}),
    [](const testing::TestParamInfo<FailCase>& info) { return std::string(info.param.name); });

TEST(DotReader, EdgesAreNamedInOrder) {
    const auto graph = parse_dot_content(kChainOfThree);
    ASSERT_TRUE(graph.has_value());
    EXPECT_EQ(graph->edge_at(0).id, "e1");
    EXPECT_EQ(graph->edge_at(1).id, "e2");
    EXPECT_EQ(graph->edge_counter(), 2u);
}

TEST(ParseNodeId, Table) {
    const std::vector<std::pair<std::string, Failable<std::string>>> cases = {
        {"  a b", "a"},
        {"a[b", "a"},
        {"\xC2\xA0x\xE3\x80\x80", "x"},
        {"\"q\";", "\"q\";"},
        {"", std::unexpected("empty node id")},
        {" \t\xE2\x80\x80 ", std::unexpected("empty node id")},
        {" [x", std::unexpected("invalid node id in ' [x'")},
    };
    for (const auto& [text, expected] : cases) EXPECT_EQ(parse_node_id(text), expected) << text;
}

// A private directory for the file cases, removed with its files at the end.
class DotFile : public testing::Test {
protected:
    void SetUp() override {
        std::string pattern = testing::TempDir() + "quorl_dot_XXXXXX";
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        dir_ = pattern;
    }
    void TearDown() override {
        for (const std::string& file : files_) ::unlink(file.c_str());
        ::rmdir(dir_.c_str());
    }
    std::string write(const std::string& name, const std::string& content) {
        const std::string path = dir_ + "/" + name;
        std::ofstream(path, std::ios::binary) << content;
        files_.push_back(path);
        return path;
    }
    std::string dir_;
    std::vector<std::string> files_;
};

TEST_F(DotFile, ReadsTheSameGraphAsTheText) {
    const auto graph = parse_dot_file(write("g.dot", kChainOfThree));
    ASSERT_TRUE(graph.has_value()) << graph.error();
    const auto expected = parse_dot_content(kChainOfThree);
    EXPECT_EQ(node_labels(*graph), node_labels(*expected));
    EXPECT_EQ(edges(*graph), edges(*expected));
}

TEST_F(DotFile, EmptyFileIsAnEmptyGraph) {
    const auto graph = parse_dot_file(write("empty.dot", ""));
    ASSERT_TRUE(graph.has_value()) << graph.error();
    EXPECT_EQ(graph->node_count(), 0u);
}

TEST_F(DotFile, MissingFile) {
    EXPECT_EQ(parse_dot_file(dir_ + "/absent.dot"), std::unexpected("No such file or directory (os error 2)"));
}

TEST_F(DotFile, DirectoryFailsWithTheReadError) {
    EXPECT_EQ(parse_dot_file(dir_), std::unexpected("Is a directory (os error 21)"));
}

TEST_F(DotFile, NulInPathFailsBeforeTouchingTheFileSystem) {
    // The part before the NUL names an existing file: it must not be read.
    const std::string path = write("g.dot", kChainOfThree);
    EXPECT_EQ(parse_dot_file(path + std::string(1, '\0') + "x"),
              std::unexpected("file name contained an unexpected NUL byte"));
}

TEST_F(DotFile, InvalidUtf8) {
    const std::vector<std::string> invalid = {
        "\xFF",
        "a -- b\n\x80",
        "abcdefgh\xC3",                  // truncated after a full ASCII word
        "abcdefghijklmno\xC3(",          // bad continuation
        "\xC0\x80",                      // overlong NUL
        "\xC1\xBF",                      // overlong two-byte
        "\xE0\x9F\xBF",                  // overlong three-byte
        "\xED\xA0\x80",                  // surrogate U+D800
        "\xED\xBF\xBF",                  // surrogate U+DFFF
        "\xF0\x8F\xBF\xBF",              // overlong four-byte
        "\xF4\x90\x80\x80",              // above U+10FFFF
        "\xF5\x80\x80\x80",
        "a\xE2\x80",                     // truncated at the end
    };
    for (const std::string& content : invalid) {
        EXPECT_EQ(parse_dot_file(write("bad.dot", content)), std::unexpected("stream did not contain valid UTF-8"))
            << testing::PrintToString(content);
    }
}

TEST_F(DotFile, BoundaryCharactersAreValidUtf8) {
    const std::string content =
        "\xEF\xBB\xBF" "a -- \xC2\x80\xDF\xBF\xE0\xA0\x80\xED\x9F\xBF\xEE\x80\x80\xF0\x90\x80\x80\xF4\x8F\xBF\xBF\n";
    const auto graph = parse_dot_file(write("edge.dot", content));
    ASSERT_TRUE(graph.has_value()) << graph.error();
    EXPECT_EQ(graph->edge_count(), 1u);
}

TEST_F(DotFile, PipeIsReadToItsEnd) {
    // More than a pipe buffer, so the reader must keep growing its buffer
    // while the writer is still writing.
    std::string content;
    for (int i = 0; i < 20000; ++i) content += "n" + std::to_string(i) + " -- hub [weight=" + std::to_string(i % 7) + "]\n";
    const std::string fifo = dir_ + "/fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    files_.push_back(fifo);
    std::thread writer([&] { std::ofstream(fifo, std::ios::binary) << content; });
    const auto graph = parse_dot_file(fifo);
    writer.join();
    ASSERT_TRUE(graph.has_value()) << graph.error();
    EXPECT_EQ(graph->edge_count(), 20000u);
    EXPECT_EQ(graph->node_count(), 20001u);
    EXPECT_EQ(graph->edge_at(19999).modality, std::to_string(19999 % 7));
}

TEST_F(DotFile, SizeLimitHoldsForFilesPipesAndDevices) {
    const std::string content = "a -- b\nb -- c\n";  // 14 bytes
    const std::string path = write("g.dot", content);
    const auto too_large = std::unexpected(std::string("input is larger than the limit of 13 bytes"));
    EXPECT_EQ(parse_dot_file(path, 13), too_large);
    ASSERT_TRUE(parse_dot_file(path, 14).has_value());

    // A device that never ends, and a pipe that delivers more than the limit.
    EXPECT_EQ(parse_dot_file("/dev/zero", 100000),
              std::unexpected(std::string("input is larger than the limit of 100000 bytes")));
    const std::string fifo = dir_ + "/fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    files_.push_back(fifo);
    // The reader closes the pipe early: the writer's next write fails instead of raising SIGPIPE.
    const auto old_handler = std::signal(SIGPIPE, SIG_IGN);
    std::thread writer([&] {
        std::ofstream stream(fifo, std::ios::binary);
        for (int i = 0; i < 100 && stream; ++i) stream << std::string(1000, 'x') << '\n';
    });
    EXPECT_EQ(parse_dot_file(fifo, 5000), std::unexpected(std::string("input is larger than the limit of 5000 bytes")));
    writer.join();
    std::signal(SIGPIPE, old_handler);
}

TEST_F(DotFile, StopRequestEndsTheRead) {
    int polls = 0;
    const StopCheck stop([](void* count) { return ++*static_cast<int*>(count) > 3; }, &polls);
    EXPECT_EQ(parse_dot_file("/dev/zero", kDefaultMaxDotBytes, stop), std::unexpected(std::string(kInterruptedRead)));
    EXPECT_EQ(polls, 4);
}

}  // namespace
}  // namespace quorl
