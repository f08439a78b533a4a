// Times the DAG rewrite plus the tree string of the result on rings, ladders,
// square grids and random molecule-like graphs of growing size, in both join
// resolutions, and prints the rewritten form's size. Expanded resolution
// copies the region below every join node once per inbound edge, so its size
// grows quadratically on ladders and exponentially on grids; a family stops
// growing once one rewrite takes too long or grows too large.
//
// Columns: family, input nodes, input edges, compact (1) or expanded (0),
// rewritten nodes, rewritten edges, tree text bytes, milliseconds.
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <random>
#include <string>

#include "dag/dag_rewrite.hpp"
#include "tree/tree_string.hpp"

namespace {

using quorl::GraphWrap;

std::string id(std::uint64_t n) { return "n" + std::to_string(n); }

GraphWrap ring(int size) {
    GraphWrap graph;
    for (int i = 0; i < size; ++i) graph.add_edge_with_modality(id(i), id((i + 1) % size), "1");
    return graph;
}

// Two rails of `size` nodes with a rung between every pair.
GraphWrap ladder(int size) {
    GraphWrap graph;
    for (int i = 0; i < size; ++i) {
        graph.add_edge_with_modality("a" + std::to_string(i), "b" + std::to_string(i), "1");
        if (i + 1 < size) {
            graph.add_edge_with_modality("a" + std::to_string(i), "a" + std::to_string(i + 1), "1");
            graph.add_edge_with_modality("b" + std::to_string(i), "b" + std::to_string(i + 1), "1");
        }
    }
    graph.ensure_node("n0", "");
    graph.add_edge_with_modality("n0", "a0", "1");
    return graph;
}

GraphWrap grid(int side) {
    GraphWrap graph;
    auto at = [side](int row, int column) { return id(static_cast<std::uint64_t>(row * side + column)); };
    for (int row = 0; row < side; ++row) {
        for (int column = 0; column < side; ++column) {
            graph.ensure_node(at(row, column), "C");
            if (column + 1 < side) graph.add_edge_with_modality(at(row, column), at(row, column + 1), "1");
            if (row + 1 < side) graph.add_edge_with_modality(at(row, column), at(row + 1, column), "1");
        }
    }
    return graph;
}

// A random tree of C, N, O, S with one ring-closing edge per eight nodes.
GraphWrap molecule(int size) {
    std::mt19937 random(static_cast<std::uint32_t>(size));
    const char* const labels[] = {"C", "C", "C", "C", "N", "O", "S"};
    const char* const modalities[] = {"1", "1", "1", "2"};
    GraphWrap graph;
    for (int i = 0; i < size; ++i) {
        graph.ensure_node(id(i), labels[random() % 7]);
        if (i > 0) graph.add_edge_with_modality(id(random() % i), id(i), modalities[random() % 4]);
    }
    for (int i = 0; i < size / 8; ++i) {
        graph.add_edge_with_modality(id(random() % size), id(random() % size), modalities[random() % 4]);
    }
    return graph;
}

struct Measure {
    double milliseconds = 0;
    std::uint32_t rewritten_nodes = 0;
};

Measure run(const char* family, const GraphWrap& graph, bool compact) {
    const auto start = std::chrono::steady_clock::now();
    const auto dag = quorl::to_dag_with_mode(graph, "n0", quorl::Exclusion{}, compact, true);
    if (!dag) {
        std::printf("%s\t%u\t%u\t%d\tfailed: %s\n", family, graph.node_count(), graph.edge_count(), compact ? 1 : 0,
                    dag.error().display().c_str());
        return {};
    }
    const auto tree = quorl::to_tree_string_with_depth_order(*dag, "n0", quorl::Exclusion{}, true);
    const double milliseconds =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    std::printf("%s\t%u\t%u\t%d\t%u\t%u\t%zu\t%.3f\n", family, graph.node_count(), graph.edge_count(), compact ? 1 : 0,
                dag->node_count(), dag->edge_count(), tree ? tree->text.size() : 0, milliseconds);
    std::fflush(stdout);
    return {milliseconds, dag->node_count()};
}

// Grows the input until one rewrite takes longer than the time budget or
// its result exceeds the size budget (the next, on a grid, would not fit).
void family(const char* name, const std::function<GraphWrap(int)>& make, int first, int last, double factor) {
    constexpr double kBudgetMilliseconds = 3000;
    constexpr std::uint32_t kBudgetNodes = 500000;
    for (const bool compact : {true, false}) {
        for (double size = first; size <= last; size *= factor) {
            const Measure measure = run(name, make(static_cast<int>(size)), compact);
            if (measure.milliseconds > kBudgetMilliseconds || measure.rewritten_nodes > kBudgetNodes) break;
        }
    }
}

}  // namespace

int main() {
    family("ring", ring, 100, 100000, 10);
    family("ladder", ladder, 8, 4096, 2);
    family("grid", grid, 3, 64, 1.5);
    family("molecule", molecule, 16, 65536, 4);
    return 0;
}
