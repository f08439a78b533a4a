// The memory a text's writing is counted as holding reads the label pool as a
// string grown from empty by the labels interned since the table was made or
// last cleared as new, whatever buffers the table keeps from before.
#include "tree/subtree_texts.hpp"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

namespace quorl {
namespace {

// Interns `count` random texts (leaves and nodes over the texts so far, with
// labels of 1 to 40 bytes from a small alphabet, so that many are found
// again) and checks every written_bytes against a string that appends each
// new text's label and grows, as the table's pool does, for each text found.
void intern_and_check(SubtreeTexts& texts, std::mt19937& random, int count, const std::string& name) {
    std::string pool;  // what the pool's capacity stands for
    std::vector<TextId> made;
    TextId next_new = 0;
    for (int step = 0; step < count; ++step) {
        const std::size_t size = random() % 4 == 0 ? 1 + random() % 40 : 1 + random() % 2;
        const std::string label(size, static_cast<char>('A' + random() % 3));
        TextId id;
        if (made.empty() || random() % 3 == 0) {
            id = texts.intern_leaf(label);
        } else {
            std::vector<ChildText> children;
            for (std::size_t child = 0; child < 1 + random() % 3; ++child) {
                children.push_back({made[random() % made.size()], random() % 2 == 0 ? "1" : "2"});
            }
            id = texts.intern_node(label, children);
        }
        if (id == next_new) {
            pool.append(label);
            ++next_new;
        } else if (pool.size() + label.size() > pool.capacity()) {
            pool.reserve(pool.size() + label.size());
        }
        made.push_back(id);
        ASSERT_EQ(texts.written_bytes(id), 3 * texts.length(id) + 2 * pool.capacity()) << name << " step " << step;
    }
}

TEST(SubtreeTextsMemory, LabelPoolCountsAsGrownFromEmpty) {
    for (const int seed : {1, 2, 3, 4, 5}) {
        std::mt19937 random(static_cast<std::mt19937::result_type>(seed));
        SubtreeTexts fresh;
        intern_and_check(fresh, random, 400, "fresh " + std::to_string(seed));
        // The same table lent to a larger walk before: its buffers stay, its figures start again.
        SubtreeTexts reused;
        intern_and_check(reused, random, 3000, "first use " + std::to_string(seed));
        reused.clear_as_new();
        intern_and_check(reused, random, 400, "cleared as new " + std::to_string(seed));
    }
}

}  // namespace
}  // namespace quorl
