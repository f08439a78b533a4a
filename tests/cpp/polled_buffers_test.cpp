#include "graph/polled_buffers.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "dag/digest.hpp"
#include "stop_after_checks.hpp"
#include "graph/exclusion.hpp"
#include "tree/tree_string.hpp"
#include "tree/tree_traversal.hpp"

namespace quorl {
namespace {

using testing::StopAfterChecks;

constexpr std::size_t kStep32 = polled_step<std::uint32_t>();

TEST(PolledBuffers, GrowGivesWhatResizeGivesRoomIncluded) {
    struct Case {
        std::size_t held, reserved, size;
    };
    for (const Case c : {Case{0, 0, 10}, Case{5, 5, kStep32}, Case{0, 0, 3 * kStep32 + 7}, Case{kStep32, kStep32, kStep32 + 1},
                         Case{2 * kStep32, 2 * kStep32, 3 * kStep32}, Case{10, 5 * kStep32, 4 * kStep32}}) {
        std::vector<std::uint32_t> plain(c.held, 7);
        plain.reserve(c.reserved);
        std::vector<std::uint32_t> polled = plain;
        polled.reserve(c.reserved);
        plain.resize(c.size, 9);
        ASSERT_TRUE(grow_polled(polled, c.size, 9, nullptr));
        EXPECT_EQ(polled, plain) << c.held << " " << c.size;
        EXPECT_EQ(polled.capacity(), plain.capacity()) << c.held << " " << c.size;
    }
}

TEST(PolledBuffers, StoppedGrowLeavesEveryElementValid) {
    for (const int after : {1, 2, 5}) {
        std::vector<std::uint32_t> values(2 * kStep32, 7);
        const std::size_t capacity = values.capacity();
        StopAfterChecks stop{after};
        StopPoll poll(StopCheck(&StopAfterChecks::poll, &stop));
        EXPECT_FALSE(grow_polled(values, 8 * kStep32, 9, &poll)) << after;
        ASSERT_GE(values.size(), 2 * kStep32);
        ASSERT_LT(values.size(), 8 * kStep32);
        EXPECT_TRUE(std::all_of(values.begin(), values.begin() + 2 * kStep32, [](auto v) { return v == 7; }));
        EXPECT_TRUE(std::all_of(values.begin() + 2 * kStep32, values.end(), [](auto v) { return v == 9; }));
        // Stopped while moving, it keeps its buffer; once moved, it has the new room.
        EXPECT_TRUE(values.capacity() == capacity || values.capacity() == 8 * kStep32) << after;
    }
}

TEST(PolledBuffers, StoppedRelocationKeepsTheBufferAndTheElementsNotMoved) {
    const std::size_t count = 5 * polled_step<std::string>();
    std::vector<std::string> values;
    for (std::size_t i = 0; i < count; ++i) values.push_back("a string long enough for the heap " + std::to_string(i));
    const std::string* buffer = values.data();
    StopAfterChecks stop{2};
    StopPoll poll(StopCheck(&StopAfterChecks::poll, &stop));
    EXPECT_FALSE(relocate_polled(values, 2 * count, &poll));
    EXPECT_EQ(values.data(), buffer);
    ASSERT_EQ(values.size(), count);
    EXPECT_EQ(values.back(), "a string long enough for the heap " + std::to_string(count - 1));

    StopPoll never(StopCheck{});
    std::vector<std::string> expected = values;
    ASSERT_TRUE(relocate_polled(values, 2 * count, &never));
    EXPECT_EQ(values, expected);
    EXPECT_EQ(values.capacity(), 2 * count);
}

TEST(PolledBuffers, ReleaseLeavesTheVectorEmpty) {
    // Freed at once, on a thread with what a stop left, and on a thread for its size.
    for (const std::size_t count : {std::size_t{100}, 4 * polled_step<std::string>()}) {
        std::vector<std::string> values(count, std::string(40, 'x'));
        StopAfterChecks stop{1};
        StopPoll poll(StopCheck(&StopAfterChecks::poll, &stop));
        release_polled(values, &poll);
        EXPECT_TRUE(values.empty());
        EXPECT_EQ(values.capacity(), 0u);
    }
    std::vector<char> large;
    large.reserve(kLargeBufferBytes);
    release_polled(large, nullptr);
    EXPECT_EQ(large.capacity(), 0u);
}

TEST(PolledBuffers, SortMatchesStdSortWhateverTheBufferHolds) {
    std::mt19937 random(7);  // 32-bit draws
    const auto draw = [&random] { return static_cast<std::uint32_t>(random()); };
    std::vector<std::uint32_t> buffer(3 * kStep32, 0xDEADBEEF);  // larger than some inputs, as a reused one is
    for (const std::size_t size : {std::size_t{0}, std::size_t{1}, std::size_t{4096}, std::size_t{4097}, kStep32 + 3,
                                   std::size_t{200000}, std::size_t{5000}}) {
        std::vector<std::uint32_t> values(size);
        for (std::uint32_t& value : values) value = draw() >> (draw() % 32);
        std::vector<std::uint32_t> expected = values;
        std::sort(expected.begin(), expected.end());
        ASSERT_TRUE(sort_indices_polled(values, buffer, nullptr));
        EXPECT_EQ(values, expected) << size;
    }
    std::vector<std::uint32_t> values(3 * kStep32);
    for (std::uint32_t& value : values) value = draw();
    std::vector<std::uint32_t> held = values;
    StopAfterChecks stop{3};
    StopPoll poll(StopCheck(&StopAfterChecks::poll, &stop));
    EXPECT_FALSE(sort_indices_polled(values, buffer, &poll));
    std::sort(values.begin(), values.end());
    std::sort(held.begin(), held.end());
    EXPECT_EQ(values, held);  // the same indices
}

TEST(PolledBuffers, ZeroedStringHasTheRoomOfAConstructedOne) {
    for (const std::size_t size : {std::size_t{0}, std::size_t{15}, std::size_t{16}, std::size_t{29}, kPolledStepBytes,
                                   kPolledStepBytes + 1, 3 * kPolledStepBytes + 5}) {
        const std::optional<std::string> zeroed = zeroed_string_polled(size, nullptr);
        ASSERT_TRUE(zeroed);
        EXPECT_EQ(*zeroed, std::string(size, '\0'));
        EXPECT_EQ(zeroed->capacity(), std::string(size, '\0').capacity()) << size;
    }
    StopAfterChecks stop{1};
    StopPoll poll(StopCheck(&StopAfterChecks::poll, &stop));
    EXPECT_FALSE(zeroed_string_polled(3 * kPolledStepBytes, &poll));
}

TEST(PolledBuffers, PolledDigestIsTheDigest) {
    std::string bytes(3 * kPolledStepBytes + 17, '\0');
    for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>(i * 131 % 251);
    EXPECT_EQ(md5_digest(bytes, nullptr), md5_digest(bytes));
    StopAfterChecks stop{1};
    StopPoll poll(StopCheck(&StopAfterChecks::poll, &stop));
    EXPECT_FALSE(md5_digest(bytes, &poll));
}

TEST(PolledBuffers, WalksStoppedAnywhereLeaveALentScratchAsTheNextWalkExpects) {
    // Large enough that the walk's tables grow and its forgetting goes in polled steps.
    GraphWrap graph;
    const int nodes = 3 * static_cast<int>(polled_step<FinishedNode>());
    for (int i = 1; i < nodes; ++i) graph.add_edge_with_modality("n" + std::to_string(i / 3), "n" + std::to_string(i), "1");
    const Exclusion none;
    const auto walk = [&](TreeScratch& scratch, StopPoll* stop) {
        return to_tree_string_with_depth_order(graph, "n7", none, true, &scratch, stop);
    };
    TreeScratch fresh;
    const std::string expected = walk(fresh, nullptr)->text;
    for (const int after : {1, 2, 3, 5, 8}) {
        for (const bool walked_before : {false, true}) {
            TreeScratch scratch;
            if (walked_before) {
                ASSERT_TRUE(walk(scratch, nullptr));
            }
            StopAfterChecks stop{after};
            StopPoll poll(StopCheck(&StopAfterChecks::poll, &stop));
            EXPECT_FALSE(walk(scratch, &poll)) << after;
            const auto again = walk(scratch, nullptr);
            ASSERT_TRUE(again) << after;
            EXPECT_EQ(again->text, expected) << after << " " << walked_before;
        }
    }
}

}  // namespace
}  // namespace quorl
