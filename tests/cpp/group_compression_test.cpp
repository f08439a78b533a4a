#include "canonize/group_compression.hpp"

#include <gtest/gtest.h>

#include <string>

namespace quorl {
namespace {

struct CompressionCase {
    std::string input;
    std::string output;
};

class CompressionTable : public ::testing::TestWithParam<CompressionCase> {};

TEST_P(CompressionTable, ReplacesOutermostGroupContents) {
    EXPECT_EQ(compress_groups(GetParam().input), GetParam().output);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, CompressionTable,
    ::testing::Values(
        CompressionCase{"", ""}, CompressionCase{"(H:1, O:2)C", "(H:1, O:2)C"},
        CompressionCase{"a{x}b{x}c{y}", "a{$1}b{$1}c{$2}"}, CompressionCase{"p{q{r}}", "p{$1}"},
        CompressionCase{"{}{}", "{$1}{$1}"}, CompressionCase{"a}b", "a}b"}, CompressionCase{"a{bc", "a{"},
        CompressionCase{"{q{r}}{r}{q{r}}", "{$1}{$2}{$1}"}, CompressionCase{"x{a{b}c", "x{"},
        CompressionCase{"}{a}}", "}{$1}}"},
        CompressionCase{"(.#0{(H:1)C}:1, .*{C}:1)C", "(.#0{$1}:1, .*{$2}:1)C"},
        // Multi-byte characters are copied whole, inside and outside groups.
        CompressionCase{"\xC3\xA9{\xE2\x82\xAC}{\xF0\x9F\x98\x80}{\xE2\x82\xAC}", "\xC3\xA9{$1}{$2}{$1}"},
        // A truncated sequence never swallows the brace after it.
        CompressionCase{"\xC3{x}\xE2\x82{x}", "\xC3{$1}\xE2\x82{$1}"},
        CompressionCase{"{1}{2}{3}{4}{5}{6}{7}{8}{9}{10}{11}{1}",
                        "{$1}{$2}{$3}{$4}{$5}{$6}{$7}{$8}{$9}{$10}{$11}{$1}"}));

}  // namespace
}  // namespace quorl
