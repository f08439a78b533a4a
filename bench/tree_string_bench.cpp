// Time and peak heap of writing tree strings (and tree node orders) for
// random trees, complete binary trees, a path and a star. Prints numbers;
// asserts nothing. For scale, each line also gives the time of levelling the
// same graph into floors, a breadth-first walk over the same store.
//
// Peak heap is counted by replacing the global allocation functions: the
// figure is the highest number of live heap bytes during the call above what
// was live before it (the graph itself is not counted).

#include <malloc.h>

#include <ctime>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <new>
#include <random>
#include <string>

#include "graph/floors.hpp"
#include "tree/tree_string.hpp"

namespace {

std::size_t live_bytes = 0;
std::size_t peak_bytes = 0;

void* counted_allocate(std::size_t size) {
    void* block = std::malloc(size == 0 ? 1 : size);
    if (block == nullptr) throw std::bad_alloc();
    live_bytes += malloc_usable_size(block);
    if (live_bytes > peak_bytes) peak_bytes = live_bytes;
    return block;
}

void counted_free(void* block) {
    if (block == nullptr) return;
    live_bytes -= malloc_usable_size(block);
    std::free(block);
}

}  // namespace

void* operator new(std::size_t size) { return counted_allocate(size); }
void* operator new[](std::size_t size) { return counted_allocate(size); }
void operator delete(void* block) noexcept { counted_free(block); }
void operator delete[](void* block) noexcept { counted_free(block); }
void operator delete(void* block, std::size_t) noexcept { counted_free(block); }
void operator delete[](void* block, std::size_t) noexcept { counted_free(block); }

namespace {

using quorl::GraphWrap;

const char* const kLabels[] = {"C", "N", "O", "H"};
const char* const kModalities[] = {"1", "2"};

// Node i hangs below a uniformly chosen earlier node.
GraphWrap random_tree(std::size_t nodes, std::mt19937& random) {
    GraphWrap graph;
    graph.ensure_node("0", kLabels[random() % 4]);
    for (std::size_t i = 1; i < nodes; ++i) {
        const std::string id = std::to_string(i);
        graph.ensure_node(id, kLabels[random() % 4]);
        graph.add_edge_with_modality(std::to_string(random() % i), id, kModalities[random() % 2]);
    }
    return graph;
}

// Node i hangs below node (i - 1) / 2; labels random or all "C".
GraphWrap binary_tree(std::size_t nodes, std::mt19937& random, bool random_labels) {
    GraphWrap graph;
    graph.ensure_node("0", random_labels ? kLabels[random() % 4] : "C");
    for (std::size_t i = 1; i < nodes; ++i) {
        const std::string id = std::to_string(i);
        graph.ensure_node(id, random_labels ? kLabels[random() % 4] : "C");
        graph.add_edge_with_modality(std::to_string((i - 1) / 2), id, "1");
    }
    return graph;
}

GraphWrap path(std::size_t nodes) {
    GraphWrap graph;
    graph.ensure_node("0", "C");
    for (std::size_t i = 1; i < nodes; ++i) graph.add_edge_with_modality(std::to_string(i - 1), std::to_string(i), "1");
    return graph;
}

GraphWrap star(std::size_t nodes, std::mt19937& random) {
    GraphWrap graph;
    graph.ensure_node("0", "C");
    for (std::size_t i = 1; i < nodes; ++i) {
        const std::string id = std::to_string(i);
        graph.ensure_node(id, kLabels[random() % 4]);
        graph.add_edge_with_modality("0", id, kModalities[random() % 2]);
    }
    return graph;
}

// CPU time rather than wall time, so that a busy machine inflates the
// figures less.
struct Measure {
    double milliseconds;
    double peak_mb;
};

Measure measure(const std::function<void()>& run) {
    const std::size_t before = live_bytes;
    peak_bytes = live_bytes;
    const std::clock_t start = std::clock();
    run();
    const std::clock_t stop = std::clock();
    return {1000.0 * static_cast<double>(stop - start) / CLOCKS_PER_SEC,
            static_cast<double>(peak_bytes - before) / (1024.0 * 1024.0)};
}

void report(const char* shape, std::size_t nodes, GraphWrap graph) {
    const Measure floors = measure([&] { (void)quorl::compute_floors(graph, "0", quorl::Exclusion()); });
    std::size_t text_bytes = 0;
    std::int32_t depth = 0;
    const Measure text = measure([&] {
        const auto written = quorl::to_tree_string_with_depth_order(graph, "0", quorl::Exclusion(), true);
        text_bytes = written->text.size();
        depth = written->depth;
    });
    const Measure order = measure([&] { (void)quorl::to_tree_node_order(graph, "0", quorl::Exclusion(), graph); });
    std::printf(
        "%-22s %8zu nodes  depth %7d  text %8zu B  string %7.1f ms %6.1f MB  node order %7.1f ms %6.1f MB  "
        "floors %6.1f ms\n",
        shape, nodes, depth, text_bytes, text.milliseconds, text.peak_mb, order.milliseconds, order.peak_mb,
        floors.milliseconds);
    std::fflush(stdout);
}

}  // namespace

int main() {
    std::mt19937 random(12345);
    for (std::size_t nodes : {1000u, 10000u, 100000u, 1000000u}) {
        report("random tree", nodes, random_tree(nodes, random));
        report("binary, random labels", nodes, binary_tree(nodes, random, true));
        report("binary, equal labels", nodes, binary_tree(nodes, random, false));
    }
    report("path", 1000000, path(1000000));
    report("star", 1000000, star(1000000, random));
    return 0;
}
