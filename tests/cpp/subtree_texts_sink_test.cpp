// Long texts handed to a sink are written out whole and kept, and later
// texts copy what they share with the kept one: every handed text must still
// be exactly what write() makes.
#include "tree/subtree_texts.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "stop_after_checks.hpp"

namespace quorl {
namespace {

class CollectedText final : public TextSink {
public:
    void append(std::string_view piece) override { bytes.append(piece); }
    std::string bytes;
};

// "((...(H:1, O:2)C:1, H:1)C ...": `levels` nodes, each above the one
// before, with a leaf beside it; some 8 bytes a level, long past the size
// from which texts are kept once `levels` passes a few thousand.
TextId chain(SubtreeTexts& texts, std::size_t levels, std::string_view leaf_label = "H") {
    TextId below = texts.intern_leaf("O");
    const TextId leaf = texts.intern_leaf(leaf_label);
    for (std::size_t level = 0; level < levels; ++level) {
        const ChildText children[] = {{below, level % 2 == 0 ? "1" : "2"}, {leaf, "1"}};
        below = texts.intern_node(level % 3 == 0 ? "C" : "N", children);
    }
    return below;
}

// A node holding the given texts as its children, all by modality "1".
TextId node_of(SubtreeTexts& texts, std::string_view label, const std::vector<TextId>& children) {
    std::vector<ChildText> listed;
    for (const TextId child : children) listed.push_back({child, "1"});
    return texts.intern_node(label, listed);
}

std::string handed(const SubtreeTexts& texts, TextId text) {
    StopPoll never(StopCheck{});
    CollectedText sink;
    EXPECT_TRUE(texts.write_to_sink(text, sink, never));
    return sink.bytes;
}

SubtreeTexts owning_texts() {
    SubtreeTexts texts;
    texts.own_modalities();
    return texts;
}

// Each step's texts, written in this order, share subtrees with the text
// kept before them, with themselves, or with nothing.
TEST(SubtreeTextsSink, HandsTheWrittenBytesOfTextsThatShareKeptSubtrees) {
    SubtreeTexts texts = owning_texts();
    const TextId small = chain(texts, 4000);
    const TextId larger = node_of(texts, "X", {small, texts.intern_leaf("H")});
    const TextId twice = node_of(texts, "Y", {larger, small, larger});
    const TextId apart = chain(texts, 3000, "Cl");
    const TextId both = node_of(texts, "Z", {apart, twice});
    const TextId short_one = chain(texts, 5);
    const TextId inner = chain(texts, 2500);  // held by `small`, marked by writings no longer kept
    for (const TextId text : {small, larger, twice, apart, both, short_one, both, inner, small}) {
        EXPECT_EQ(handed(texts, text), texts.write(text)) << "text " << text << ", " << texts.length(text) << " bytes";
    }
}

// A text handed after a writing that stopped part way, and after the table
// was cleared and its ids given to other texts, is still its own bytes.
TEST(SubtreeTextsSink, StoppedWritingsAndClearedTablesLeaveNoStaleBytes) {
    SubtreeTexts texts = owning_texts();
    const TextId first = chain(texts, 4000);
    EXPECT_EQ(handed(texts, first), texts.write(first));
    for (const int after : {1, 2, 3, 5, 8}) {
        // Its new part is walked with many polls; the second `fresh` is copied from the first.
        const std::string leaf_label = "F" + std::to_string(after);
        const TextId fresh = chain(texts, 5000, leaf_label);
        const TextId second = node_of(texts, "X", {fresh, first, fresh});
        testing::StopAfterChecks checks{after};
        StopPoll stop(StopCheck(&testing::StopAfterChecks::poll, &checks));
        CollectedText sink;
        EXPECT_FALSE(texts.write_to_sink(second, sink, stop)) << "stopped after " << after << " checks";
        EXPECT_EQ(handed(texts, second), texts.write(second)) << "after a stop at check " << after;
    }

    texts.clear();
    texts.own_modalities();
    const TextId other = chain(texts, 4000, "Br");
    const TextId above = node_of(texts, "Q", {other, texts.intern_leaf("H")});
    ASSERT_EQ(other, first);  // the same ids, other texts
    EXPECT_EQ(handed(texts, above), texts.write(above));
    EXPECT_EQ(handed(texts, other), texts.write(other));
}

}  // namespace
}  // namespace quorl
