// The byte format every pipeline fuzz target decodes into a small labelled
// multigraph, and the time and memory budget of one canonisation call.
//
// Input format, one byte per field (missing bytes read as 0):
//   node count (mod 41), then per node an id byte and a label byte;
//   edge count (mod 81), then per edge two endpoint bytes and a modality byte.
// The id byte picks a template (mod 12); below 48 the template's number is
// small (byte / 12), so ids collide with the names the rewrite generates,
// otherwise it is the node's position. The largest graph takes 322 bytes
// (each target's .options file lets inputs grow that long).
#pragma once

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "error/quorl_error.hpp"
#include "graph/graph_wrap.hpp"
#include "graph_snapshot.hpp"

#include <sanitizer/allocator_interface.h>

namespace quorl::fuzz {

inline constexpr std::string_view kLabels[] = {
    "",  ".", "C", "O", "N", "H",   "{",    "}",    "{}",  "{x}", "@",    "#", "*",
    "$", "$1", "é", "日本", "a b", "(", ")",    ",",    ":",   "*v0", "#m0_0", "\x7f"};
inline constexpr std::string_view kModalities[] = {"1", "2", "", "{", "}", "@", "#", "é", ":", "a,b", "{1}"};

class ByteReader {
public:
    ByteReader(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
    std::uint8_t next() { return at_ < size_ ? data_[at_++] : 0; }

private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t at_ = 0;
};

template <std::size_t N>
std::string_view pick(const std::string_view (&table)[N], std::uint8_t byte) {
    return table[byte % N];
}

inline std::string node_id(std::uint8_t byte, std::size_t position) {
    const std::string number = std::to_string(byte < 48 ? std::size_t{byte} / 12 : position);
    switch (byte % 12) {
        case 0: return "n" + number;
        case 1: return "*v" + number;
        case 2: return "#m" + number + "_0";
        case 3: return "x@#m0_" + number;
        case 4: return "*" + number + "_a";
        case 5: return number + "_main";
        case 6: return "e" + number + "_link_0";
        case 7: return "#e" + number + "_1";
        case 8: return "é" + number;
        case 9: return "{" + number + "}";
        case 10: return "";
        default: return "@" + number;
    }
}

inline GraphWrap decode_graph(const std::uint8_t* data, std::size_t size) {
    ByteReader reader(data, size);
    GraphWrap graph;
    std::vector<std::string> ids;
    const std::size_t node_count = reader.next() % 41;
    for (std::size_t position = 0; position < node_count; ++position) {
        ids.push_back(node_id(reader.next(), position));
        graph.ensure_node(ids.back(), pick(kLabels, reader.next()));
    }
    const std::size_t edge_count = reader.next() % 81;
    for (std::size_t e = 0; e < edge_count; ++e) {
        const std::uint8_t first = reader.next();
        const std::uint8_t second = reader.next();
        const std::uint8_t modality = reader.next();
        // An endpoint byte past the listed nodes names a node only edges create.
        const auto endpoint = [&](std::uint8_t byte) {
            return byte < 2 * ids.size() ? ids[byte % ids.size()] : "y" + std::to_string(byte % 4);
        };
        graph.add_edge_with_modality(endpoint(first), endpoint(second), pick(kModalities, modality));
    }
    return graph;
}

// Gives up on rewrites that explode (expanded resolution can grow a graph
// exponentially) so the fuzzer keeps its pace: a call stops after a share of
// time, when the input's time is used up, or once the heap holds too much.
// Interrupted calls are left out of the comparisons.
using Clock = std::chrono::steady_clock;
inline constexpr auto kTimePerCall = std::chrono::milliseconds(200);
inline constexpr auto kTimePerInput = std::chrono::milliseconds(600);
inline constexpr std::size_t kHeapLimit = std::size_t{384} << 20;

class Budget {
public:
    explicit Budget(Clock::time_point input_deadline)
        : deadline_(std::min(Clock::now() + kTimePerCall, input_deadline)) {}
    StopCheck stop_check() { return StopCheck(&Budget::exceeded, this); }

private:
    static bool exceeded(void* context) {
        return Clock::now() > static_cast<const Budget*>(context)->deadline_ ||
               __sanitizer_get_current_allocated_bytes() > kHeapLimit;
    }
    Clock::time_point deadline_;
};

bool interrupted(const auto& result) {
    return !result && result.error().kind() == ErrorKind::Interrupted;
}

template <class T>
void check_same_outcome(const Result<T>& first, const Result<T>& second) {
    if (interrupted(first) || interrupted(second)) return;
    QUORL_FUZZ_CHECK(first.has_value() == second.has_value());
    if (first) {
        QUORL_FUZZ_CHECK(*first == *second);
    } else {
        QUORL_FUZZ_CHECK(first.error().kind() == second.error().kind());
        QUORL_FUZZ_CHECK(first.error().message() == second.error().message());
    }
}

}  // namespace quorl::fuzz
