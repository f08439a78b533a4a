// Decodes bytes into a small labelled multigraph and runs the whole
// canonisation on it: the canonical text under every combination of
// allow_hashes, compress and compact, and the canonical node order. Checks,
// besides sanitizer findings: the graph built twice gives the same text (when
// no label or modality holds a brace, the compressed text of one copy is the
// plain text of the other with its outermost brace groups compressed);
// no call changes its input graph; text and order fail together; the order
// lists the ids of the first listed node's component, each once as given, and
// is empty only for an empty graph.
//
// Input format, one byte per field (missing bytes read as 0):
//   node count (mod 41), then per node an id byte and a label byte;
//   edge count (mod 81), then per edge two endpoint bytes and a modality byte.
// The id byte picks a template (mod 12); below 48 the template's number is
// small (byte / 12), so ids collide with the names the rewrite generates,
// otherwise it is the node's position. The largest graph takes 322 bytes
// (pipeline.options lets inputs grow that long).
#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "canonize/canonize.hpp"
#include "canonize/group_compression.hpp"
#include "graph_snapshot.hpp"

#include <sanitizer/allocator_interface.h>

namespace {

using quorl::fuzz::snapshot;

constexpr std::string_view kCandidateRule = "$degree";
constexpr std::string_view kBranchRule = "$depth > tree.parent_modality > $lexic";

constexpr std::string_view kLabels[] = {
    "",  ".", "C", "O", "N", "H",   "{",    "}",    "{}",  "{x}", "@",    "#", "*",
    "$", "$1", "é", "日本", "a b", "(", ")",    ",",    ":",   "*v0", "#m0_0", "\x7f"};
constexpr std::string_view kModalities[] = {"1", "2", "", "{", "}", "@", "#", "é", ":", "a,b", "{1}"};

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

std::string node_id(std::uint8_t byte, std::size_t position) {
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

quorl::GraphWrap decode_graph(const std::uint8_t* data, std::size_t size) {
    ByteReader reader(data, size);
    quorl::GraphWrap graph;
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
constexpr auto kTimePerCall = std::chrono::milliseconds(200);
constexpr auto kTimePerInput = std::chrono::milliseconds(600);
constexpr std::size_t kHeapLimit = std::size_t{384} << 20;

class Budget {
public:
    explicit Budget(Clock::time_point input_deadline)
        : deadline_(std::min(Clock::now() + kTimePerCall, input_deadline)) {}
    quorl::StopCheck stop_check() { return quorl::StopCheck(&Budget::exceeded, this); }

private:
    static bool exceeded(void* context) {
        return Clock::now() > static_cast<const Budget*>(context)->deadline_ ||
               __sanitizer_get_current_allocated_bytes() > kHeapLimit;
    }
    Clock::time_point deadline_;
};

// Without braces in labels and modalities, the brace groups of a text are
// exactly the writer's: the outermost balanced ones.
bool holds_braces(const quorl::GraphWrap& graph) {
    const auto braced = [](std::string_view text) { return text.find_first_of("{}") != std::string_view::npos; };
    for (quorl::NodeIndex node = 0; node < graph.node_bound(); ++node) {
        if (graph.has_node(node) && braced(graph.node_at(node).label)) return true;
    }
    for (quorl::EdgeIndex edge = 0; edge < graph.edge_bound(); ++edge) {
        if (graph.has_edge(edge) && braced(graph.edge_at(edge).modality)) return true;
    }
    return false;
}

std::vector<quorl::TextSpan> outermost_groups(std::string_view text) {
    std::vector<quorl::TextSpan> groups;
    std::size_t depth = 0;
    std::size_t begin = 0;
    for (std::size_t at = 0; at < text.size(); ++at) {
        if (text[at] == '{' && depth++ == 0) begin = at + 1;
        if (text[at] == '}' && depth > 0 && --depth == 0) groups.push_back({begin, at - begin});
    }
    return groups;
}

bool interrupted(const auto& result) {
    return !result && result.error().kind() == quorl::ErrorKind::Interrupted;
}

template <class T>
void check_same_outcome(const quorl::Result<T>& first, const quorl::Result<T>& second) {
    if (interrupted(first) || interrupted(second)) return;
    QUORL_FUZZ_CHECK(first.has_value() == second.has_value());
    if (first) {
        QUORL_FUZZ_CHECK(*first == *second);
    } else {
        QUORL_FUZZ_CHECK(first.error().kind() == second.error().kind());
        QUORL_FUZZ_CHECK(first.error().message() == second.error().message());
    }
}

// The ids of the nodes connected to `root`, the root's included.
std::set<std::string_view> component_ids(const quorl::GraphWrap& graph, quorl::NodeIndex root) {
    std::vector<bool> reached(graph.node_bound(), false);
    std::vector<quorl::NodeIndex> stack{root};
    reached[root] = true;
    std::set<std::string_view> ids;
    while (!stack.empty()) {
        const quorl::NodeIndex node = stack.back();
        stack.pop_back();
        ids.insert(graph.node_at(node).id);
        graph.for_each_incident(node, [&](quorl::EdgeIndex, quorl::NodeIndex other) {
            if (!reached[other]) {
                reached[other] = true;
                stack.push_back(other);
            }
        });
    }
    return ids;
}

void check_order(const quorl::GraphWrap& graph, const std::vector<std::string>& order) {
    // The root is a node of the graph, never a mirror or virtual node.
    QUORL_FUZZ_CHECK(graph.node_count() == 0 || !order.empty());
    if (order.empty()) return;
    const std::optional<quorl::NodeIndex> root = graph.find_node(order.front());
    QUORL_FUZZ_CHECK(root.has_value());
    // Mirrors, copies and compact join nodes all count as the input node they stand for.
    const std::set<std::string_view> listed(order.begin(), order.end());
    QUORL_FUZZ_CHECK(listed.size() == order.size());
    QUORL_FUZZ_CHECK(listed == component_ids(graph, *root));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto input_deadline = Clock::now() + kTimePerInput;
    const quorl::GraphWrap graph = decode_graph(data, size);
    const quorl::GraphWrap same_graph = decode_graph(data, size);
    const std::string before = snapshot(graph);
    QUORL_FUZZ_CHECK(before == snapshot(same_graph));

    // Per combination of compact and allow_hashes: the plain text of one copy
    // of the graph, the compressed text of the other (which must be the plain
    // text compressed: the same graph gives the same text), and the order.
    // Compact resolution first: it is cheap, expanded resolution may use up the time.
    for (const bool compact : {true, false}) {
        for (const bool allow_hashes : {false, true}) {
            Budget budget(input_deadline);
            const auto text = quorl::to_cgraph(graph, kCandidateRule, kBranchRule, allow_hashes, false, compact,
                                               budget.stop_check());
            QUORL_FUZZ_CHECK(snapshot(graph) == before);
            if (interrupted(text)) continue;

            Budget compressed_budget(input_deadline);
            const auto compressed = quorl::to_cgraph(same_graph, kCandidateRule, kBranchRule, allow_hashes, true,
                                                     compact, compressed_budget.stop_check());
            QUORL_FUZZ_CHECK(snapshot(same_graph) == before);
            if (!interrupted(compressed) && holds_braces(graph)) {
                QUORL_FUZZ_CHECK(compressed.has_value() == text.has_value());
            } else if (!interrupted(compressed)) {
                check_same_outcome(
                    text ? quorl::Result<std::string>(quorl::compress_groups(*text, outermost_groups(*text)))
                         : quorl::Result<std::string>(std::unexpected(text.error())),
                    compressed);
            }

            Budget order_budget(input_deadline);
            const auto order = quorl::canonical_node_order(graph, kCandidateRule, kBranchRule, allow_hashes, compact,
                                                           order_budget.stop_check());
            QUORL_FUZZ_CHECK(snapshot(graph) == before);
            if (interrupted(order)) continue;
            // The order comes from the same root choice as the text, so both fail or neither.
            QUORL_FUZZ_CHECK(order.has_value() == text.has_value());
            if (order) check_order(graph, *order);
        }
    }
    return 0;
}
