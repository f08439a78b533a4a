// Feeds arbitrary bytes to the DOT reader. Besides sanitizer findings it
// checks what holds for every text: reading is deterministic; Windows line
// ends read like plain ones; a read graph was built by additions only, its
// edges named e1, e2, ... in order; node ids are non-empty and hold no ASCII
// blank and no "["; failures name a line.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "dot/dot_reader.hpp"
#include "graph_snapshot.hpp"

namespace {

using quorl::fuzz::snapshot;

bool is_ascii_blank(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

bool starts_with_line_number(std::string_view message) {
    constexpr std::string_view kPrefix = "line ";
    if (!message.starts_with(kPrefix)) return false;
    message.remove_prefix(kPrefix.size());
    std::size_t digits = 0;
    while (digits < message.size() && message[digits] >= '0' && message[digits] <= '9') ++digits;
    if (digits == 0 || message[0] == '0') return false;
    message.remove_prefix(digits);
    return message == ": empty node id" || message.starts_with(": invalid node id in '");
}

void check_graph(const quorl::GraphWrap& graph) {
    QUORL_FUZZ_CHECK(graph.node_count() == graph.node_bound());
    QUORL_FUZZ_CHECK(graph.edge_count() == graph.edge_bound());
    QUORL_FUZZ_CHECK(graph.edge_counter() == graph.edge_count());
    for (quorl::NodeIndex node = 0; node < graph.node_bound(); ++node) {
        const std::string& id = graph.node_at(node).id;
        QUORL_FUZZ_CHECK(!id.empty());
        for (const char c : id) QUORL_FUZZ_CHECK(!is_ascii_blank(c) && c != '[');
        QUORL_FUZZ_CHECK(graph.find_node(id) == node);
    }
    for (quorl::EdgeIndex edge = 0; edge < graph.edge_bound(); ++edge) {
        QUORL_FUZZ_CHECK(graph.edge_at(edge).id == "e" + std::to_string(edge + 1));
    }
}

// The text with a carriage return before every line feed.
std::string with_windows_line_ends(std::string_view text) {
    std::string out;
    out.reserve(text.size() * 2);
    for (const char c : text) {
        if (c == '\n') out += '\r';
        out += c;
    }
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const auto first = quorl::parse_dot_content(text);
    const auto second = quorl::parse_dot_content(with_windows_line_ends(text));
    QUORL_FUZZ_CHECK(first.has_value() == second.has_value());
    if (!first) {
        QUORL_FUZZ_CHECK(first.error() == second.error());
        QUORL_FUZZ_CHECK(starts_with_line_number(first.error()));
        return 0;
    }
    check_graph(*first);
    QUORL_FUZZ_CHECK(snapshot(*first) == snapshot(*second));
    return 0;
}
