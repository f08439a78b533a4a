// Canonisations on many threads at once give the serial results: the engine
// keeps no shared mutable state, reads its inputs only, and writes each trace
// line whole. Built and run under ThreadSanitizer by the test command.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <barrier>
#include <chrono>
#include <cstddef>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "canonize/canonize.hpp"
#include "dag_test_support.hpp"
#include "graph_recipes.hpp"

namespace quorl {
namespace {

using testing::GraphRecipe;
using testing::make_graph;
using testing::ScopedEnv;

constexpr std::size_t kThreads = 8;
constexpr std::string_view kDegree = "$degree";
constexpr std::string_view kBranch = "";

// Everything the engine computes for one graph: both texts, both node orders.
struct Results {
    std::string text;
    std::string uncompressed_compact_text;
    std::vector<std::string> order;
    std::vector<std::string> compact_order;
    bool operator==(const Results&) const = default;
};

Results results_of(const GraphWrap& graph) {
    Results results;
    results.text = to_cgraph(graph, kDegree, kBranch, true, true, false).value();
    results.uncompressed_compact_text = to_cgraph(graph, kDegree, kBranch, false, false, true).value();
    results.order = canonical_node_order(graph, kDegree, kBranch, true, false).value();
    results.compact_order = canonical_node_order(graph, kDegree, kBranch, false, true).value();
    return results;
}

std::vector<GraphWrap> test_graphs() {
    std::vector<GraphWrap> graphs;
    for (const auto& recipes : {testing::small_graphs(), testing::read_molecules()}) {
        for (const GraphRecipe& recipe : recipes) graphs.push_back(make_graph(recipe.nodes, recipe.edges));
    }
    return graphs;
}

// Runs body(thread) on kThreads threads released together.
template <class Body>
void on_threads(Body body) {
    std::barrier start(static_cast<std::ptrdiff_t>(kThreads));
    std::vector<std::jthread> threads;
    for (std::size_t thread = 0; thread < kThreads; ++thread) {
        threads.emplace_back([&, thread] {
            start.arrive_and_wait();
            body(thread);
        });
    }
}

TEST(ThreadSafety, DifferentGraphsAtOnceGiveSerialResults) {
    const std::vector<GraphWrap> graphs = test_graphs();
    std::vector<Results> serial;
    for (const GraphWrap& graph : graphs) serial.push_back(results_of(graph));

    // Each thread walks all graphs from its own starting point, so at any
    // moment the threads work on different graphs.
    std::vector<std::vector<Results>> seen(kThreads, std::vector<Results>(graphs.size()));
    on_threads([&](std::size_t thread) {
        for (std::size_t step = 0; step < graphs.size(); ++step) {
            const std::size_t at = (thread * graphs.size() / kThreads + step) % graphs.size();
            seen[thread][at] = results_of(graphs[at]);
        }
    });
    for (std::size_t thread = 0; thread < kThreads; ++thread) {
        for (std::size_t at = 0; at < graphs.size(); ++at) {
            EXPECT_EQ(seen[thread][at], serial[at]) << "thread " << thread << " graph " << at;
        }
    }
}

TEST(ThreadSafety, OneGraphSharedByAllThreads) {
    const std::vector<GraphRecipe> molecules = testing::read_molecules();
    ASSERT_FALSE(molecules.empty());
    const GraphWrap shared = make_graph(molecules.back().nodes, molecules.back().edges);
    const GraphWrap grid = make_graph(testing::grid_recipe(4, 4).nodes, testing::grid_recipe(4, 4).edges);
    const Results expected = results_of(shared);
    const Results expected_grid = results_of(grid);
    std::vector<std::vector<Results>> seen(kThreads);
    on_threads([&](std::size_t thread) {
        for (int round = 0; round < 3; ++round) {
            seen[thread].push_back(results_of(shared));
            seen[thread].push_back(results_of(grid));
        }
    });
    for (std::size_t thread = 0; thread < kThreads; ++thread) {
        for (std::size_t at = 0; at < seen[thread].size(); ++at) {
            EXPECT_EQ(seen[thread][at], at % 2 == 0 ? expected : expected_grid) << "thread " << thread;
        }
    }
}

TEST(ThreadSafety, TraceLinesOfConcurrentCallsStayWhole) {
    const GraphRecipe recipe = testing::grid_recipe(3, 3);
    const GraphWrap graph = make_graph(recipe.nodes, recipe.edges);
    ScopedEnv trace("QUORL_TRACE", "1");
    ::testing::internal::CaptureStdout();
    ASSERT_TRUE(to_cgraph(graph, kDegree, kBranch, true, true, false).has_value());
    const std::string serial = ::testing::internal::GetCapturedStdout();
    ASSERT_FALSE(serial.empty());

    ::testing::internal::CaptureStdout();
    on_threads([&](std::size_t) { ASSERT_TRUE(to_cgraph(graph, kDegree, kBranch, true, true, false).has_value()); });
    const std::string concurrent = ::testing::internal::GetCapturedStdout();

    // Every line of the concurrent output is one of the serial lines, and
    // each serial line appears once per thread.
    std::istringstream serial_lines(serial);
    std::vector<std::string> expected_lines;
    for (std::string line; std::getline(serial_lines, line);) expected_lines.push_back(line);
    std::istringstream concurrent_lines(concurrent);
    std::size_t count = 0;
    for (std::string line; std::getline(concurrent_lines, line); ++count) {
        EXPECT_NE(std::find(expected_lines.begin(), expected_lines.end(), line), expected_lines.end()) << line;
    }
    EXPECT_EQ(count, expected_lines.size() * kThreads);
}

TEST(ThreadSafety, StoresGivenUpAreFreedOnThreadsOfTheirOwn) {
    // What a stopped call gives up is moved to a thread that frees it while
    // the caller goes on building and canonising.
    const GraphRecipe recipe = testing::grid_recipe(4, 4);
    const GraphWrap small = make_graph(recipe.nodes, recipe.edges);
    const std::string expected = to_cgraph(small, kDegree, kBranch, true, true, false).value();
    on_threads([&](std::size_t thread) {
        for (int round = 0; round < 2; ++round) {
            GraphWrap large;  // above the size that is freed at once
            for (int i = 0; i < 34000; ++i) {
                large.add_edge_with_modality("t" + std::to_string(thread) + "_" + std::to_string(i),
                                             "t" + std::to_string(thread) + "_" + std::to_string(i + 1), "1");
            }
            release_in_background(std::move(large));
            EXPECT_EQ(large.node_count(), 0u);
            EXPECT_EQ(to_cgraph(small, kDegree, kBranch, true, true, false).value_or(""), expected);
        }
    });
}

TEST(ThreadSafety, StopRequestedFromAnotherThreadEndsEveryCall) {
    const GraphRecipe recipe = testing::grid_recipe(30, 30);
    const GraphWrap graph = make_graph(recipe.nodes, recipe.edges);
    std::atomic<bool> stop{false};
    const StopCheck check([](void* flag) { return static_cast<std::atomic<bool>*>(flag)->load(); }, &stop);
    std::vector<int> interrupted(kThreads, 0);
    std::jthread stopper([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        stop.store(true);
    });
    on_threads([&](std::size_t thread) {
        const auto text = to_cgraph(graph, kDegree, kBranch, true, false, false, check);
        interrupted[thread] = !text && text.error().kind() == ErrorKind::Interrupted;
    });
    for (std::size_t thread = 0; thread < kThreads; ++thread) EXPECT_TRUE(interrupted[thread]) << thread;
}

}  // namespace
}  // namespace quorl
