// A complete, unambiguous description of a store (slots, records, metadata,
// incidence lists and counters), so fuzz targets can check that two stores are
// identical or that a call left its input unchanged.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>

#include "graph/graph_wrap.hpp"

namespace quorl::fuzz {

inline void put_text(std::string& out, std::string_view text) {
    out += std::to_string(text.size());
    out += ':';
    out += text;
    out += ' ';
}

inline void put_number(std::string& out, std::uint64_t number) {
    out += std::to_string(number);
    out += ' ';
}

template <class T>
void put_optional_number(std::string& out, const std::optional<T>& value) {
    if (value) {
        put_number(out, static_cast<std::uint64_t>(*value));
    } else {
        out += "- ";
    }
}

inline void put_optional_text(std::string& out, const std::optional<std::string>& value) {
    if (value) {
        put_text(out, *value);
    } else {
        out += "- ";
    }
}

inline void put_optional_digest(std::string& out, const std::optional<Digest>& value) {
    if (!value) {
        out += "- ";
        return;
    }
    for (const std::uint8_t byte : *value) put_number(out, byte);
}

inline void put_meta(std::string& out, const NodeMeta& meta) {
    put_optional_number(out, meta.mirror_seq);
    put_number(out, meta.prune_sources.size());
    for (const std::string& source : meta.prune_sources) put_text(out, source);
    put_optional_text(out, meta.origin);
    put_optional_text(out, meta.magnet);
    put_optional_text(out, meta.prune_source);
    put_optional_number(out, meta.floor);
    put_number(out, meta.is_mirror);
    put_number(out, meta.is_virtual);
    put_optional_digest(out, meta.magnet_digest);
    put_optional_digest(out, meta.magnet_digest_alt);
    put_number(out, meta.magnet_flag);
}

inline std::string snapshot(const GraphWrap& graph) {
    std::string out;
    put_number(out, graph.node_count());
    put_number(out, graph.edge_count());
    put_number(out, graph.edge_counter());
    out += '\n';
    for (NodeIndex node = 0; node < graph.node_bound(); ++node) {
        if (!graph.has_node(node)) {
            out += "vacant\n";
            continue;
        }
        const NodeData& data = graph.node_at(node);
        put_text(out, data.id);
        put_text(out, data.label);
        put_meta(out, data.meta);
        for (const End list : {End::First, End::Second}) {
            out += "| ";
            for (EdgeIndex edge = graph.list_head(node, list); edge != kNoIndex;
                 edge = graph.next_in_list(edge, list)) {
                put_number(out, edge);
            }
        }
        out += '\n';
    }
    for (EdgeIndex edge = 0; edge < graph.edge_bound(); ++edge) {
        if (!graph.has_edge(edge)) {
            out += "vacant\n";
            continue;
        }
        const EdgeData& data = graph.edge_at(edge);
        put_text(out, data.id);
        put_text(out, data.modality);
        const auto [first, second] = graph.endpoints(edge);
        put_number(out, first);
        put_number(out, second);
        out += '\n';
    }
    return out;
}

// Aborts with a message libFuzzer reports as a crash, keeping the input.
[[noreturn]] inline void fail_property(const char* what) {
    std::fprintf(stderr, "property violated: %s\n", what);
    std::abort();
}

#define QUORL_FUZZ_CHECK(condition) ((condition) ? static_cast<void>(0) : ::quorl::fuzz::fail_property(#condition))

}  // namespace quorl::fuzz
