// The molecule records of the shared data set (one JSON object per line
// with "nodes" and "edges" arrays of strings) read into graph stores.
#pragma once

#include <cstddef>
#include <fstream>
#include <string>
#include <vector>

#include "graph/graph_wrap.hpp"

namespace quorl::bench {

// Reads the "nodes" and "edges" arrays of one molecule record; every value in
// them is a JSON string.
class RecordReader {
public:
    explicit RecordReader(const std::string& line) : line_(line) {}

    bool read_into(GraphWrap& graph) {
        const auto nodes = arrays_of("\"nodes\":");
        const auto edges = arrays_of("\"edges\":");
        if (nodes.empty()) return false;
        for (const auto& node : nodes) {
            if (node.size() == 2) graph.ensure_node(node[0], node[1]);
        }
        for (const auto& edge : edges) {
            if (edge.size() == 3) graph.add_edge_with_modality(edge[0], edge[1], edge[2]);
        }
        return true;
    }

private:
    std::vector<std::vector<std::string>> arrays_of(const std::string& key) {
        std::vector<std::vector<std::string>> rows;
        std::size_t at = line_.find(key);
        if (at == std::string::npos) return rows;
        at = line_.find('[', at);
        if (at == std::string::npos) return rows;
        ++at;
        int depth = 1;
        std::vector<std::string> row;
        while (at < line_.size() && depth > 0) {
            const char c = line_[at];
            if (c == '"') {
                row.push_back(string_at(at));
                continue;
            }
            if (c == '[') {
                ++depth;
                row.clear();
            } else if (c == ']') {
                if (--depth == 1) rows.push_back(row);
            }
            ++at;
        }
        return rows;
    }

    // The JSON string starting at `at` (a quote); leaves `at` past its closing quote.
    std::string string_at(std::size_t& at) {
        std::string text;
        for (++at; at < line_.size() && line_[at] != '"'; ++at) {
            if (line_[at] == '\\' && at + 1 < line_.size()) ++at;
            text += line_[at];
        }
        ++at;
        return text;
    }

    const std::string& line_;
};

inline std::vector<GraphWrap> read_molecules(const std::string& path, std::size_t limit) {
    std::vector<GraphWrap> molecules;
    std::ifstream input(path);
    std::string line;
    while (molecules.size() < limit && std::getline(input, line)) {
        GraphWrap graph;
        if (RecordReader(line).read_into(graph)) molecules.push_back(std::move(graph));
    }
    return molecules;
}

}  // namespace quorl::bench
