// Times to_cgraph and canonical_node_order on real molecules and on growing
// synthetic graphs, and reports each family's peak memory. Prints numbers,
// asserts nothing.
//
//   canonize_bench [molecules.jsonl] [max molecules]
//
// Each family and size runs in a child process so that its peak resident set
// is its own; the child's address space is capped so a blow-up ends the child,
// not the machine, and every call is stopped after a time limit.
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "canonize/canonize.hpp"
#include "graph/graph_wrap.hpp"
#include "molecule_records.hpp"

namespace {

using quorl::GraphWrap;
using quorl::bench::read_molecules;
using Clock = std::chrono::steady_clock;

std::string id(std::size_t n) { return "n" + std::to_string(n); }

const char* label_of(std::mt19937& random) {
    static constexpr const char* kLabels[] = {"C", "C", "C", "N", "O"};
    return kLabels[random() % 5];
}

GraphWrap path_graph(std::size_t n) {
    GraphWrap graph;
    for (std::size_t i = 0; i < n; ++i) graph.ensure_node(id(i), "C");
    for (std::size_t i = 1; i < n; ++i) graph.add_edge_with_modality(id(i - 1), id(i), "1");
    return graph;
}

GraphWrap random_tree(std::size_t n) {
    std::mt19937 random(7);
    GraphWrap graph;
    for (std::size_t i = 0; i < n; ++i) graph.ensure_node(id(i), label_of(random));
    for (std::size_t i = 1; i < n; ++i) graph.add_edge_with_modality(id(random() % i), id(i), "1");
    return graph;
}

GraphWrap ring(std::size_t n) {
    GraphWrap graph;
    for (std::size_t i = 0; i < n; ++i) graph.ensure_node(id(i), "C");
    for (std::size_t i = 0; i < n; ++i) graph.add_edge_with_modality(id(i), id((i + 1) % n), "1");
    return graph;
}

// Two rails of n/2 nodes joined by a rung at every position.
GraphWrap ladder(std::size_t n) {
    const std::size_t half = n / 2;
    GraphWrap graph;
    for (std::size_t i = 0; i < 2 * half; ++i) graph.ensure_node(id(i), "C");
    for (std::size_t i = 0; i < half; ++i) {
        graph.add_edge_with_modality(id(i), id(half + i), "2");
        if (i + 1 < half) {
            graph.add_edge_with_modality(id(i), id(i + 1), "1");
            graph.add_edge_with_modality(id(half + i), id(half + i + 1), "1");
        }
    }
    return graph;
}

GraphWrap grid(std::size_t n) {
    std::size_t side = 1;
    while ((side + 1) * (side + 1) <= n) ++side;
    GraphWrap graph;
    for (std::size_t i = 0; i < side * side; ++i) graph.ensure_node(id(i), "C");
    for (std::size_t r = 0; r < side; ++r) {
        for (std::size_t c = 0; c < side; ++c) {
            if (c + 1 < side) graph.add_edge_with_modality(id(r * side + c), id(r * side + c + 1), "1");
            if (r + 1 < side) graph.add_edge_with_modality(id(r * side + c), id((r + 1) * side + c), "1");
        }
    }
    return graph;
}

// About 1.2 edges per node between random pairs: a few small cycles and
// usually several components.
GraphWrap random_sparse(std::size_t n) {
    std::mt19937 random(11);
    GraphWrap graph;
    for (std::size_t i = 0; i < n; ++i) graph.ensure_node(id(i), label_of(random));
    for (std::size_t e = 0; e < n + n / 5; ++e) {
        const std::size_t a = random() % n;
        const std::size_t b = random() % n;
        if (a != b) graph.add_edge_with_modality(id(a), id(b), "1");
    }
    return graph;
}

double median(std::vector<double> values) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    const std::size_t mid = values.size() / 2;
    return values.size() % 2 == 1 ? values[mid] : (values[mid - 1] + values[mid]) / 2;
}

constexpr double kCallLimitMs = 30000;
constexpr rlim_t kAddressSpaceLimit = rlim_t{6} << 30;

// Asks the engine to stop once the call has run past its limit.
struct Deadline {
    Clock::time_point until = Clock::now() + std::chrono::milliseconds(static_cast<long>(kCallLimitMs));
    static bool passed(void* context) { return Clock::now() > static_cast<Deadline*>(context)->until; }
};

double milliseconds_of(const std::function<void()>& call) {
    const auto start = Clock::now();
    call();
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

struct Timings {
    double cgraph_ms;
    double order_ms;
    std::size_t calls;
    std::size_t failures;  // calls that failed or were stopped at the time limit
};

// Every graph once, then the list again until `budget_ms` is spent (at most
// `rounds` times over).
Timings time_calls(const std::vector<GraphWrap>& graphs, double budget_ms, int rounds) {
    std::vector<double> cgraph_times;
    std::vector<double> order_times;
    std::size_t failures = 0;
    double spent = 0;
    for (int round = 0; round < rounds && (round == 0 || spent < budget_ms); ++round) {
        for (const GraphWrap& graph : graphs) {
            const double t1 = milliseconds_of([&] {
                Deadline deadline;
                const quorl::StopCheck stop(&Deadline::passed, &deadline);
                failures += quorl::to_cgraph(graph, "$degree", "", true, true, false, stop).has_value() ? 0 : 1;
            });
            const double t2 = milliseconds_of([&] {
                Deadline deadline;
                const quorl::StopCheck stop(&Deadline::passed, &deadline);
                failures += quorl::canonical_node_order(graph, "$degree", "", true, false, stop).has_value() ? 0 : 1;
            });
            cgraph_times.push_back(t1);
            order_times.push_back(t2);
            spent += t1 + t2;
        }
    }
    return Timings{median(cgraph_times), median(order_times), cgraph_times.size(), failures};
}

// Runs `body` in a child process and returns the child's peak resident set in MiB.
double in_child(const std::function<void()>& body) {
    std::fflush(stdout);
    const pid_t child = fork();
    if (child == 0) {
        const rlimit limit{kAddressSpaceLimit, kAddressSpaceLimit};
        setrlimit(RLIMIT_AS, &limit);
        try {
            body();
        } catch (const std::bad_alloc&) {
            std::printf("out of memory");
        }
        std::fflush(stdout);
        _exit(0);
    }
    int status = 0;
    rusage usage{};
    wait4(child, &status, 0, &usage);
    return static_cast<double>(usage.ru_maxrss) / 1024.0;
}

void report(const char* family, std::size_t size, std::size_t nodes, std::size_t edges, const Timings& timings) {
    std::printf("%-14s %7zu %8zu %8zu %7zu %14.3f %14.3f", family, size, nodes, edges, timings.calls,
                timings.cgraph_ms, timings.order_ms);
    if (timings.failures > 0) {
        std::printf("  (%zu calls failed or ran past %.0f s)", timings.failures, kCallLimitMs / 1000);
    }
}

}  // namespace

int main(int argc, char** argv) {
    const std::string molecules_path =
        argc > 1 ? argv[1]
                 : (std::filesystem::path(__FILE__).parent_path().parent_path().parent_path() / "shared" / "data" /
                    "molecules.jsonl")
                       .string();
    const std::size_t molecule_limit = argc > 2 ? std::stoul(argv[2]) : SIZE_MAX;

    std::printf("%-14s %7s %8s %8s %7s %14s %14s %10s\n", "family", "size", "nodes", "edges", "calls",
                "cgraph ms(med)", "order ms(med)", "peak MiB");

    const double molecules_peak = in_child([&] {
        const std::vector<GraphWrap> molecules = read_molecules(molecules_path, molecule_limit);
        std::size_t nodes = 0;
        std::size_t edges = 0;
        for (const GraphWrap& graph : molecules) {
            nodes += graph.node_count();
            edges += graph.edge_count();
        }
        report("molecules", molecules.size(), nodes, edges, time_calls(molecules, 0, 1));
    });
    std::printf(" %10.1f\n", molecules_peak);

    struct Family {
        const char* name;
        GraphWrap (*make)(std::size_t);
    };
    const Family families[] = {{"path", path_graph}, {"tree", random_tree}, {"ring", ring},
                               {"ladder", ladder},   {"grid", grid},        {"random_sparse", random_sparse}};
    constexpr double kBudgetMs = 1000;   // per size
    constexpr double kLargestMs = 1000;  // a family stops growing past this median
    for (const Family& family : families) {
        for (std::size_t size = 16; size <= 16384; size *= 2) {
            // The child reports its median through its exit status (whole
            // milliseconds, capped) so the parent knows when to stop growing.
            std::fflush(stdout);
            int pipe_ends[2];
            if (pipe(pipe_ends) != 0) return 1;
            const double peak = in_child([&] {
                close(pipe_ends[0]);
                const GraphWrap graph = family.make(size);
                const Timings timings = time_calls({graph}, kBudgetMs, 15);
                report(family.name, size, graph.node_count(), graph.edge_count(), timings);
                const double slowest =
                    timings.failures > 0 ? kLargestMs + 1 : std::max(timings.cgraph_ms, timings.order_ms);
                if (write(pipe_ends[1], &slowest, sizeof slowest) != sizeof slowest) _exit(1);
            });
            close(pipe_ends[1]);
            double slowest = 0;
            if (read(pipe_ends[0], &slowest, sizeof slowest) != sizeof slowest) slowest = kLargestMs + 1;
            close(pipe_ends[0]);
            std::printf(" %10.1f\n", peak);
            if (slowest > kLargestMs) break;
        }
    }
    return 0;
}
