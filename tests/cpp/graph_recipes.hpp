// Graphs shared by the tests of whole canonisations: hand-made small graphs
// and a sample of the shared molecules.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "dag_test_support.hpp"
#include "exactness_families.hpp"

namespace quorl::testing {

struct GraphRecipe {
    std::string name;
    std::vector<NodeDef> nodes;
    std::vector<EdgeDef> edges;
};

inline std::vector<GraphRecipe> read_molecules() {
    const auto path = std::filesystem::path(__FILE__).parent_path() / "data" / "molecules_sample.txt";
    std::vector<GraphRecipe> molecules;
    const bool read = exactness::read_molecule_sample(
        path, [&](const std::string& name) { molecules.push_back({name, {}, {}}); },
        [&](const std::string& id, const std::string& label) { molecules.back().nodes.push_back({id, label}); },
        [&](const std::string& first, const std::string& second, const std::string& order) {
            molecules.back().edges.push_back({first, second, order});
        });
    EXPECT_TRUE(read) << path;
    return molecules;
}

inline GraphRecipe ring_recipe(const std::string& name, int size, const std::vector<std::string>& labels) {
    GraphRecipe recipe{name, {}, {}};
    for (int i = 0; i < size; ++i) {
        recipe.nodes.push_back({"r" + std::to_string(i), labels[static_cast<std::size_t>(i) % labels.size()]});
        recipe.edges.push_back({"r" + std::to_string(i), "r" + std::to_string((i + 1) % size), "1"});
    }
    return recipe;
}

inline GraphRecipe grid_recipe(int rows, int columns) {
    GraphRecipe recipe{"grid" + std::to_string(rows) + "x" + std::to_string(columns), {}, {}};
    auto id = [&](int r, int c) { return "g" + std::to_string(r * columns + c); };
    for (int r = 0; r < rows; ++r) {
        for (int c = 0; c < columns; ++c) {
            recipe.nodes.push_back({id(r, c), "C"});
            if (c + 1 < columns) recipe.edges.push_back({id(r, c), id(r, c + 1), "1"});
            if (r + 1 < rows) recipe.edges.push_back({id(r, c), id(r + 1, c), "2"});
        }
    }
    return recipe;
}

inline std::vector<GraphRecipe> small_graphs() {
    std::vector<GraphRecipe> graphs{
        {"triangle", {{"a", "C"}, {"b", "O"}, {"c", "N"}}, {{"a", "b", "1"}, {"b", "c", "1"}, {"c", "a", "1"}}},
        {"square_with_tail",
         {{"a", "C"}, {"b", "C"}, {"c", "C"}, {"d", "C"}, {"t", "O"}},
         {{"a", "b", "1"}, {"b", "c", "1"}, {"c", "d", "1"}, {"d", "a", "1"}, {"a", "t", "2"}}},
        {"k4", {{"a", "C"}, {"b", "C"}, {"c", "C"}, {"d", "C"}},
         {{"a", "b", "1"}, {"a", "c", "1"}, {"a", "d", "1"}, {"b", "c", "1"}, {"b", "d", "1"}, {"c", "d", "1"}}},
        {"parallel_and_loop", {{"a", "C"}, {"b", "O"}, {"c", "N"}},
         {{"a", "b", "1"}, {"a", "b", "2"}, {"b", "c", "1"}, {"c", "c", "3"}}},
        {"bowtie", {{"m", "C"}, {"a", "N"}, {"b", "N"}, {"c", "O"}, {"d", "O"}},
         {{"m", "a", "1"}, {"a", "b", "1"}, {"b", "m", "1"}, {"m", "c", "1"}, {"c", "d", "1"}, {"d", "m", "1"}}},
        {"unicode_labels",
         {{"a", "\xC3\xA9"}, {"b", "z"}, {"c", "{x}"}},
         {{"a", "b", "1"}, {"b", "c", "\xE2\x82\xAC"}}},
    };
    graphs.push_back(ring_recipe("hexagon", 6, {"C"}));
    graphs.push_back(ring_recipe("ring_co", 8, {"C", "C", "O"}));
    graphs.push_back(grid_recipe(3, 3));
    graphs.push_back(grid_recipe(2, 5));
    return graphs;
}

}  // namespace quorl::testing
