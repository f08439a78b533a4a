// Reads a generated DOT file of about 100 MB (or the size in MB given as the
// first argument) and prints the read time, the graph's size and the peak
// resident set. The text is written to a temporary file in pieces, so the
// peak covers what reading holds: the text and the graph.
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>

#include "dot/dot_reader.hpp"

namespace {

long peak_rss_kib() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

// Nodes with labels, then edges between pseudo-random nodes (fixed seed).
std::uint64_t write_dot(const std::string& path, std::uint64_t target_bytes) {
    constexpr std::uint32_t kNodes = 500000;
    std::ofstream out(path, std::ios::binary);
    std::uint64_t written = 0;
    std::string chunk;
    const auto flush = [&] {
        out << chunk;
        written += chunk.size();
        chunk.clear();
    };
    chunk += "graph G {\n";
    for (std::uint32_t n = 0; n < kNodes; ++n) {
        chunk += "  n" + std::to_string(n) + " [label=\"L" + std::to_string(n % 97) + "\"];\n";
        if (chunk.size() > (1u << 20)) flush();
    }
    std::uint64_t state = 0x9E3779B97F4A7C15ULL;
    while (written + chunk.size() < target_bytes) {
        state = state * 6364136223846793005ULL + 1442695040888963407ULL;
        const auto a = static_cast<std::uint32_t>((state >> 33) % kNodes);
        const auto b = static_cast<std::uint32_t>((state >> 13) % kNodes);
        chunk += "  n" + std::to_string(a) + " -- n" + std::to_string(b) + " [weight=" + std::to_string(state % 5) +
                 "];\n";
        if (chunk.size() > (1u << 20)) flush();
    }
    chunk += "}\n";
    flush();
    return written;
}

double seconds_since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace

int main(int argc, char** argv) {
    const std::uint64_t megabytes = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 100;
    const std::string path = "/tmp/quorl_dot_bench_" + std::to_string(::getpid()) + ".dot";
    const std::uint64_t bytes = write_dot(path, megabytes * 1000 * 1000);
    const double megabytes_written = static_cast<double>(bytes) / 1e6;
    const long rss_before = peak_rss_kib();
    {
        const auto start = std::chrono::steady_clock::now();
        const auto graph = quorl::parse_dot_file(path);
        const double seconds = seconds_since(start);
        if (!graph) {
            std::printf("failed: %s\n", graph.error().c_str());
            std::remove(path.c_str());
            return 1;
        }
        std::printf("file: %.1f MB, %u nodes, %u edges\n", megabytes_written, graph->node_count(),
                    graph->edge_count());
        std::printf("parse_dot_file: %.3f s (%.1f MB/s)\n", seconds, megabytes_written / seconds);
        std::printf("peak RSS: %.1f MB (%.1f MB before reading)\n", static_cast<double>(peak_rss_kib()) / 1024.0,
                    static_cast<double>(rss_before) / 1024.0);
    }
    // The same text parsed from memory: the difference is reading and
    // validating the file.
    std::ifstream in(path, std::ios::binary);
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::remove(path.c_str());
    const auto start = std::chrono::steady_clock::now();
    const auto graph = quorl::parse_dot_content(text);
    const double seconds = seconds_since(start);
    std::printf("parse_dot_content: %.3f s (%.1f MB/s)\n", seconds, megabytes_written / seconds);
    return graph ? 0 : 1;
}
