// How soon a long canonisation stops once asked to: canonises a grid (which,
// expanded, grows without bound: every join copies the region below it) with
// a stop check that asks to stop after the given number of seconds, and
// records how long the engine ran between two calls of the check (its longest
// unpolled stretches) and how long it took from the first "stop" to the
// call's return.
//
// Usage: stop_latency [side=60] [text|order=text] [expanded|compact=expanded]
// [seconds...=1 2 3]: the call is to_cgraph (text) or canonical_node_order
// (order), with expanded or compact resolution. Run it under an address-space
// limit (ulimit -v): the expanded working copy grows by gigabytes.
//
// Columns: seconds before the stop, calls of the check, the three longest
// gaps between calls (ms of wall time, then of this thread's CPU time, which
// a loaded machine's scheduling does not stretch), time from the stop to the
// return (ms, wall and CPU).
#include <time.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "canonize/canonize.hpp"
#include "graph/polled_buffers.hpp"

namespace {

using Clock = std::chrono::steady_clock;

double thread_cpu_seconds() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

quorl::GraphWrap grid(int side) {
    quorl::GraphWrap graph;
    auto id = [](int r, int c) { return std::to_string(r) + "_" + std::to_string(c); };
    for (int r = 0; r < side; ++r) {
        for (int c = 0; c < side; ++c) {
            if (c + 1 < side) graph.add_edge_with_modality(id(r, c), id(r, c + 1), "1");
            if (r + 1 < side) graph.add_edge_with_modality(id(r, c), id(r + 1, c), "1");
        }
    }
    return graph;
}

// The three greatest values seen, greatest first.
struct Longest {
    std::array<double, 3> values{};
    void add(double value) {
        if (value <= values.back()) return;
        values.back() = value;
        std::sort(values.begin(), values.end(), std::greater<>());
    }
};

struct Watch {
    Clock::time_point stop_at;
    Clock::time_point last;
    double last_cpu = 0;
    Longest wall_gaps;  // seconds
    Longest cpu_gaps;   // seconds of this thread's CPU time
    std::uint64_t calls = 0;
    bool stopped = false;
    Clock::time_point stopped_at;
    double stopped_cpu = 0;

    static bool poll(void* self) { return static_cast<Watch*>(self)->check(); }

    bool check() {
        const Clock::time_point now = Clock::now();
        const double cpu = thread_cpu_seconds();
        ++calls;
        wall_gaps.add(std::chrono::duration<double>(now - last).count());
        cpu_gaps.add(cpu - last_cpu);
        last = now;
        last_cpu = cpu;
        if (!stopped && now >= stop_at) {
            stopped = true;
            stopped_at = now;
            stopped_cpu = cpu;
        }
        return stopped;
    }
};

}  // namespace

int main(int argc, char** argv) {
    const int side = argc > 1 ? std::atoi(argv[1]) : 60;
    const std::string kind = argc > 2 ? argv[2] : "text";
    const std::string resolution = argc > 3 ? argv[3] : "expanded";
    if ((kind != "text" && kind != "order") || (resolution != "expanded" && resolution != "compact")) {
        std::fprintf(stderr, "usage: stop_latency [side] [text|order] [expanded|compact] [seconds...]\n");
        return 2;
    }
    const bool compact = resolution == "compact";
    std::vector<double> delays;
    for (int at = 4; at < argc; ++at) delays.push_back(std::atof(argv[at]));
    if (delays.empty()) delays = {1.0, 2.0, 3.0};
    quorl::merge_small_blocks_when_freed();  // as the host module does at import
    const quorl::GraphWrap graph = grid(side);
    std::printf("seconds\tchecks\twall_gaps_ms\t\t\tcpu_gaps_ms\t\t\tto_return_ms\tto_return_cpu_ms\n");
    for (const double delay : delays) {
        Watch watch;
        watch.last = Clock::now();
        watch.last_cpu = thread_cpu_seconds();
        watch.stop_at = watch.last + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(delay));
        const quorl::StopCheck stop(&Watch::poll, &watch);
        const bool finished =
            kind == "text"
                ? quorl::to_cgraph(graph, "$degree", "", true, true, compact, stop, quorl::TraceSwitches{}).has_value()
                : quorl::canonical_node_order(graph, "$degree", "", true, compact, stop, quorl::TraceSwitches{})
                      .has_value();
        const Clock::time_point returned = Clock::now();
        const double returned_cpu = thread_cpu_seconds();
        if (finished || !watch.stopped) {
            std::printf("%.1f\tfinished before the stop\n", delay);
            continue;
        }
        const auto& wall = watch.wall_gaps.values;
        const auto& cpu = watch.cpu_gaps.values;
        std::printf("%.1f\t%llu\t%.1f\t%.1f\t%.1f\t%.1f\t%.1f\t%.1f\t%.1f\t%.1f\n", delay,
                    static_cast<unsigned long long>(watch.calls), wall[0] * 1e3, wall[1] * 1e3, wall[2] * 1e3,
                    cpu[0] * 1e3, cpu[1] * 1e3, cpu[2] * 1e3,
                    std::chrono::duration<double>(returned - watch.stopped_at).count() * 1e3,
                    (returned_cpu - watch.stopped_cpu) * 1e3);
    }
    return 0;
}
