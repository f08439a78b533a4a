// Graphs on which the drivers are compared with the reference road: the bench
// families (paths, rings, ladders, grids, trees, random sparse graphs,
// molecule-like graphs) with uniform and random labels, random multigraphs,
// and molecules. Shared by the unit test and bench/exactness_check.
#pragma once

#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "error/quorl_error.hpp"
#include "graph/graph_wrap.hpp"

namespace quorl::exactness {

// The candidate rule and the default branch rule, as the host passes them.
inline constexpr std::string_view kDegree = "$degree";
inline constexpr std::string_view kBranch = "$depth > tree.parent_modality > $lexic";

struct FamilyCase {
    std::string name;
    GraphWrap graph;
};

// Builds a graph of `size` nodes named n0, n1, … with uniform ("C") or
// random C/N/O/H labels; edges are added as pairs of positions.
class FamilyBuilder {
public:
    FamilyBuilder(int size, bool random_labels, std::mt19937& random) {
        static constexpr const char* kLabels[] = {"C", "N", "O", "H"};
        for (int i = 0; i < size; ++i) {
            graph_.ensure_node(id(i), random_labels ? kLabels[random() % 4] : "C");
        }
    }
    void link(int a, int b, const char* modality = "1") { graph_.add_edge_with_modality(id(a), id(b), modality); }
    GraphWrap take() { return std::move(graph_); }
    static std::string id(int i) { return "n" + std::to_string(i); }

private:
    GraphWrap graph_;
};

inline GraphWrap family_graph(const std::string& family, int size, bool random_labels, std::mt19937& random) {
    FamilyBuilder builder(size, random_labels, random);
    const auto below = [&](int bound) { return static_cast<int>(random() % static_cast<unsigned>(bound)); };
    if (family == "path") {
        for (int i = 1; i < size; ++i) builder.link(i - 1, i);
    } else if (family == "ring") {
        for (int i = 0; i < size; ++i) builder.link(i, (i + 1) % size);
    } else if (family == "ladder") {
        const int half = size / 2;
        for (int i = 0; i < half; ++i) {
            builder.link(i, half + i);
            if (i > 0) {
                builder.link(i - 1, i);
                builder.link(half + i - 1, half + i);
            }
        }
    } else if (family == "grid") {
        int side = 1;
        while ((side + 1) * (side + 1) <= size) ++side;
        for (int r = 0; r < side; ++r) {
            for (int c = 0; c < side; ++c) {
                if (c + 1 < side) builder.link(r * side + c, r * side + c + 1);
                if (r + 1 < side) builder.link(r * side + c, (r + 1) * side + c);
            }
        }
    } else if (family == "tree") {
        for (int i = 1; i < size; ++i) builder.link(below(i), i);
    } else if (family == "sparse") {
        // A random tree plus 20% more edges: average degree about 2.4.
        for (int i = 1; i < size; ++i) builder.link(below(i), i);
        for (int extra = 0; extra < size / 5; ++extra) {
            const int a = below(size);
            const int b = below(size);
            if (a != b) builder.link(a, b);
        }
    } else if (family == "molecule") {
        // Chains and branches with a ring closed now and then, some double bonds.
        for (int i = 1; i < size; ++i) builder.link(i - 1 - (below(4) == 0 ? below(std::min(i, 3)) : 0), i,
                                                     below(5) == 0 ? "2" : "1");
        for (int i = 6; i < size; i += 7 + below(6)) builder.link(i, i - 5);
    } else if (family == "cubic") {
        // A ring with chords: every node of degree 3 (size even).
        for (int i = 0; i < size; ++i) builder.link(i, (i + 1) % size);
        for (int i = 0; i < size / 2; ++i) builder.link(i, i + size / 2);
    }
    return builder.take();
}

inline const std::vector<std::string>& family_names() {
    static const std::vector<std::string> names{"path", "ring",   "ladder",   "grid",
                                                "tree", "sparse", "molecule", "cubic"};
    return names;
}

inline std::vector<FamilyCase> bench_families(const std::vector<int>& sizes, unsigned seed) {
    std::mt19937 random(seed);
    std::vector<FamilyCase> cases;
    for (const std::string& family : family_names()) {
        for (const int size : sizes) {
            for (const bool random_labels : {false, true}) {
                cases.push_back({family + " " + std::to_string(size) + (random_labels ? " random" : " uniform"),
                                 family_graph(family, size, random_labels, random)});
            }
        }
    }
    return cases;
}

// Up to 14 nodes in up to three components, self-loops, parallel edges,
// two or three labels and modalities; one graph in ten has ids that look
// like the rewrite's generated names.
inline GraphWrap random_multigraph(std::mt19937& random) {
    static constexpr const char* kIds[] = {"a", "", "é", "{x}", "a b", "x@y", "日本", "_main", "e1"};
    static constexpr const char* kHostile[] = {"*v0", "#m0_0", "n@#m0_1", "*v1"};
    static constexpr const char* kLabels[] = {"C", "C", "N", "", "{", "é"};
    static constexpr const char* kModalities[] = {"1", "1", "2", ""};
    const auto below = [&](unsigned bound) { return static_cast<int>(random() % bound); };
    GraphWrap graph;
    const int size = 1 + below(14);
    const bool hostile = below(10) == 0;
    std::vector<std::string> ids;
    for (int i = 0; i < size; ++i) {
        std::string id = std::string(kIds[below(9)]) + std::to_string(i);
        if (hostile && below(3) == 0) id = kHostile[below(4)];
        ids.push_back(id);
        graph.ensure_node(id, kLabels[below(3 + static_cast<unsigned>(i % 3))]);
    }
    const int components = 1 + below(3);
    const int edges = below(static_cast<unsigned>(2 * size + 2));
    for (int e = 0; e < edges; ++e) {
        const int a = below(static_cast<unsigned>(size));
        int b = below(static_cast<unsigned>(size));
        if (below(8) == 0) b = a;  // self-loop
        if (a % components != b % components) continue;
        graph.add_edge_with_modality(ids[a], ids[b], kModalities[below(4)]);
        if (below(6) == 0) graph.add_edge_with_modality(ids[b], ids[a], kModalities[below(4)]);  // parallel
    }
    return graph;
}

// Reads a molecule sample such as tests/cpp/data/molecules_sample.txt
// ('molecule name', then 'n id label' and 'e first second order' lines),
// calling molecule(name), node(id, label) and edge(first, second, order) in
// file order. False when the file cannot be read.
template <class Molecule, class Node, class Edge>
bool read_molecule_sample(const std::filesystem::path& path, Molecule&& molecule, Node&& node, Edge&& edge) {
    std::ifstream input(path);
    if (!input.good()) return false;
    std::string line;
    while (std::getline(input, line)) {
        std::istringstream fields(line);
        std::string tag;
        std::string first;
        std::string second;
        std::string third;
        fields >> tag >> first >> second >> third;
        if (tag == "molecule") {
            molecule(first);
        } else if (tag == "n") {
            node(first, second);
        } else if (tag == "e") {
            edge(first, second, third);
        }
    }
    return true;
}

inline std::vector<FamilyCase> read_molecules(const std::filesystem::path& path) {
    std::vector<FamilyCase> molecules;
    read_molecule_sample(
        path, [&](const std::string& name) { molecules.push_back({name, {}}); },
        [&](const std::string& id, const std::string& label) { molecules.back().graph.ensure_node(id, label); },
        [&](const std::string& first, const std::string& second, const std::string& order) {
            molecules.back().graph.add_edge_with_modality(first, second, order);
        });
    return molecules;
}

// What a call gave, as one text to compare: the text, the node ids one per
// line, or "error " and the error's display text.
template <class T>
std::string outcome(const Result<T>& result) {
    if (!result) return "error " + result.error().display();
    if constexpr (std::is_same_v<T, std::string>) {
        return *result;
    } else {
        std::string joined;
        for (const std::string& id : *result) joined += id + "\n";
        return joined;
    }
}

}  // namespace quorl::exactness
