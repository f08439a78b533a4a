// Compares the drivers with the reference road on inputs too many for the unit
// tests: every shared molecule, the bench families at larger sizes, and many
// random multigraphs; texts under all eight flag sets, node orders under all
// four, errors included. Prints the cases compared and every difference; exits
// with 1 when there is one.
//
//   exactness_check [molecules.jsonl] [random multigraphs]
#include <malloc.h>

#include <chrono>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "../tests/cpp/exactness_families.hpp"
#include "canonize/canonize.hpp"
#include "molecule_records.hpp"

namespace {

using quorl::GraphWrap;
using quorl::exactness::kBranch;
using quorl::exactness::kDegree;
using quorl::exactness::outcome;

struct Tally {
    std::size_t graphs = 0;
    std::size_t calls = 0;
    std::size_t differences = 0;
    std::size_t over_budget = 0;
};

// Expanded resolution can grow a graph exponentially, and the reference road
// rewrites candidates the drivers skip: a call is stopped after a few seconds
// or once the heap holds 2 GiB, and the comparison is then left out.
// The heap is asked at most once a millisecond: mallinfo2 walks the
// allocator's arenas, and asked at every poll it took most of the run.
class Budget {
public:
    using Clock = std::chrono::steady_clock;
    Budget() : deadline_(Clock::now() + std::chrono::seconds(3)) {}
    quorl::StopCheck stop_check() { return quorl::StopCheck(&Budget::exceeded, this); }

private:
    static bool exceeded(void* context) {
        Budget& budget = *static_cast<Budget*>(context);
        const Clock::time_point now = Clock::now();
        if (now > budget.deadline_) return true;
        if (now < budget.next_heap_check_) return false;
        budget.next_heap_check_ = now + std::chrono::milliseconds(1);
        const struct mallinfo2 heap = mallinfo2();
        return heap.uordblks + heap.hblkhd > (std::size_t{2} << 30);
    }
    Clock::time_point deadline_;
    Clock::time_point next_heap_check_{};
};

template <class T>
bool interrupted(const quorl::Result<T>& result) {
    return !result && result.error().kind() == quorl::ErrorKind::Interrupted;
}

// Runs both roads, each with its own budget; false when one ran out of it.
template <class Fast, class Reference>
bool same(Fast&& fast, Reference&& reference, Tally& tally) {
    ++tally.calls;
    Budget fast_budget;
    const auto fast_result = fast(fast_budget.stop_check());
    Budget reference_budget;
    const auto reference_result = reference(reference_budget.stop_check());
    if (interrupted(fast_result) || interrupted(reference_result)) {
        ++tally.over_budget;
        return true;
    }
    return outcome(fast_result) == outcome(reference_result);
}

void compare(const GraphWrap& graph, const std::string& name, bool with_expanded, Tally& tally) {
    ++tally.graphs;
    const auto differ = [&](const std::string& what) {
        ++tally.differences;
        std::printf("DIFFERENT %s: %s\n", name.c_str(), what.c_str());
    };
    for (const bool compact : {true, false}) {
        if (!compact && !with_expanded) continue;
        for (const bool hashes : {true, false}) {
            for (const bool compress : {true, false}) {
                const bool equal = same(
                    [&](quorl::StopCheck stop) {
                        return quorl::to_cgraph(graph, kDegree, kBranch, hashes, compress, compact, stop);
                    },
                    [&](quorl::StopCheck stop) {
                        return quorl::to_cgraph_reference(graph, kDegree, kBranch, hashes, compress, compact, stop);
                    },
                    tally);
                if (!equal) {
                    differ("text compact=" + std::to_string(compact) + " hashes=" + std::to_string(hashes) +
                           " compress=" + std::to_string(compress));
                }
            }
            const bool equal = same(
                [&](quorl::StopCheck stop) {
                    return quorl::canonical_node_order(graph, kDegree, kBranch, hashes, compact, stop);
                },
                [&](quorl::StopCheck stop) {
                    return quorl::canonical_node_order_reference(graph, kDegree, kBranch, hashes, compact, stop);
                },
                tally);
            if (!equal) differ("order compact=" + std::to_string(compact) + " hashes=" + std::to_string(hashes));
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    const std::string molecules_path = argc > 1 ? argv[1] : "../shared/data/molecules.jsonl";
    const int random_graphs = argc > 2 ? std::stoi(argv[2]) : 20000;
    Tally tally;

    const std::vector<GraphWrap> molecules = quorl::bench::read_molecules(molecules_path, SIZE_MAX);
    for (std::size_t i = 0; i < molecules.size(); ++i) {
        compare(molecules[i], "molecule " + std::to_string(i), true, tally);
    }
    std::printf("molecules: %zu graphs, %zu calls, %zu different, %zu over budget\n", tally.graphs, tally.calls,
                tally.differences, tally.over_budget);

    // Expanded resolution grows exponentially on grids, ladders and cubic
    // graphs: those sizes are compared in compact resolution only.
    for (const auto& family : quorl::exactness::bench_families({40, 101, 300}, 11)) {
        const bool cyclic = family.name.starts_with("grid") || family.name.starts_with("ladder") ||
                            family.name.starts_with("cubic") || family.name.starts_with("sparse") ||
                            family.name.starts_with("molecule");
        compare(family.graph, family.name, !cyclic, tally);
    }
    // From 1,024 nodes the incidences are packed by a pass over the edges, from
    // 2,048 the walks of the graph itself read them.
    for (const auto& family : quorl::exactness::bench_families({2100}, 13)) {
        const bool acyclic = family.name.starts_with("path") || family.name.starts_with("tree");
        compare(family.graph, family.name, acyclic, tally);
    }
    for (const auto& family : quorl::exactness::bench_families({8, 15, 22}, 12)) {
        compare(family.graph, family.name + " (small)", true, tally);
    }
    std::printf("with families: %zu graphs, %zu calls, %zu different, %zu over budget\n", tally.graphs,
                tally.calls, tally.differences, tally.over_budget);

    std::mt19937 random(42);
    for (int round = 0; round < random_graphs; ++round) {
        compare(quorl::exactness::random_multigraph(random), "random multigraph " + std::to_string(round), true,
                tally);
    }
    std::printf("total: %zu graphs, %zu calls, %zu different, %zu over budget\n", tally.graphs, tally.calls,
                tally.differences, tally.over_budget);
    return tally.differences == 0 ? 0 : 1;
}
