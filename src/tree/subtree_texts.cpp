#include "tree/subtree_texts.hpp"

#include <algorithm>
#include <cstring>
#include <functional>
#include <limits>

#include "error/quorl_error.hpp"

namespace quorl {

namespace {

std::uint64_t mix(std::uint64_t hash, std::uint64_t value) {
    // splitmix64 finaliser over the running hash and the next value
    std::uint64_t z = hash ^ (value + 0x9e3779b97f4a7c15ull + (hash << 6) + (hash >> 2));
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
    return z ^ (z >> 31);
}

std::uint64_t hash_bytes(std::string_view bytes) { return std::hash<std::string_view>{}(bytes); }

std::uint64_t saturating_add(std::uint64_t a, std::uint64_t b) {
    return a > std::numeric_limits<std::uint64_t>::max() - b ? std::numeric_limits<std::uint64_t>::max() : a + b;
}

}  // namespace

// Reads a rope as the sequence of byte chunks of its written text, with an
// explicit stack of the texts being read (no recursion on depth).
//
// A non-plain text with k children is read in steps: 0 "(", then for child i
// the four steps 1+4i child text, 2+4i ":", 3+4i modality, 4+4i ", " (none
// after the last child), then 1+4k ")", 2+4k label, 3+4k done. A plain text
// is step 0 label, step 1 done.
class SubtreeTexts::Cursor {
public:
    Cursor(const SubtreeTexts& texts, std::vector<Frame>& frames, TextId start) : texts_(texts), frames_(frames) {
        frames_.clear();
        frames_.push_back({start, 0});
    }

    // The next non-empty chunk; empty at the end of the text.
    std::string_view next_chunk() {
        while (!frames_.empty()) {
            const Frame frame = frames_.back();
            ++frames_.back().step;
            const Text& text = texts_.texts_[frame.text];
            const std::uint64_t step = frame.step;
            if (text.plain) {
                if (step == 0 && text.label_size > 0) return texts_.label_of(text);
                if (step > 0) frames_.pop_back();
                continue;
            }
            const std::uint64_t k = text.child_count;
            if (step == 0) return "(";
            if (step <= 4 * k) {
                const std::uint64_t i = (step - 1) / 4;
                const ChildText& child = texts_.children_[text.children_begin + i];
                switch ((step - 1) % 4) {
                    case 0: frames_.push_back({child.text, 0}); continue;
                    case 1: return ":";
                    case 2:
                        if (!child.modality.empty()) return child.modality;
                        continue;
                    default:
                        if (i + 1 < k) return ", ";
                        continue;
                }
            }
            if (step == 4 * k + 1) return ")";
            if (step == 4 * k + 2 && text.label_size > 0) return texts_.label_of(text);
            if (step > 4 * k + 2) frames_.pop_back();
        }
        return {};
    }

    // The child text whose first byte is next, if the cursor stands exactly at
    // the start of a whole child text; kNoText otherwise.
    TextId child_ahead() const {
        if (frames_.empty()) return kNoText;
        const Frame& frame = frames_.back();
        const Text& text = texts_.texts_[frame.text];
        if (text.plain || frame.step == 0 || frame.step > 4ull * text.child_count || (frame.step - 1) % 4 != 0) {
            return kNoText;
        }
        return texts_.children_[text.children_begin + (frame.step - 1) / 4].text;
    }

    // Precondition: child_ahead() named a text.
    void skip_child() { ++frames_.back().step; }

private:
    const SubtreeTexts& texts_;
    std::vector<Frame>& frames_;
};

SubtreeTexts::SubtreeTexts(std::size_t expected_texts) {
    texts_.reserve(expected_texts);
    children_.reserve(expected_texts);
    std::size_t slots = 16;
    while (slots < expected_texts * 2) slots *= 2;
    slots_.assign(slots, kNoText);
}

TextId SubtreeTexts::intern_leaf(std::string_view label) {
    const std::size_t label_begin = labels_.size();
    labels_.append(label);
    return intern_appended(true, label_begin, children_.size());
}

TextId SubtreeTexts::intern_node(std::string_view label, std::span<const ChildText> children) {
    const std::size_t label_begin = labels_.size();
    const std::size_t children_begin = children_.size();
    labels_.append(label);
    children_.insert(children_.end(), children.begin(), children.end());
    return intern_appended(false, label_begin, children_begin);
}

TextId SubtreeTexts::intern_appended(bool plain, std::size_t label_begin, std::size_t children_begin) {
    const std::size_t label_size = labels_.size() - label_begin;
    const std::size_t child_count = children_.size() - children_begin;
    QUORL_ASSERT(label_size <= std::numeric_limits<std::uint32_t>::max());
    QUORL_ASSERT(child_count <= std::numeric_limits<std::uint32_t>::max());
    Text text{0, 0, label_begin, children_begin, static_cast<std::uint32_t>(label_size),
              static_cast<std::uint32_t>(child_count), plain};

    text.length = label_size;
    text.hash = mix(plain ? 1 : 2, hash_bytes(label_of(text)));
    if (!plain) {
        text.length = saturating_add(text.length, child_count == 0 ? 2 : 2 * child_count);  // "()" and ", "
        for (const ChildText& child : children_of(text)) {
            text.length = saturating_add(text.length, texts_[child.text].length);
            text.length = saturating_add(text.length, 1 + child.modality.size());  // ":" modality
            text.hash = mix(mix(text.hash, child.text), hash_bytes(child.modality));
        }
    }

    const std::size_t mask = slots_.size() - 1;
    std::size_t at = text.hash & mask;
    for (; slots_[at] != kNoText; at = (at + 1) & mask) {
        const Text& held = texts_[slots_[at]];
        if (held.hash == text.hash && same_structure(held, text)) {
            labels_.resize(label_begin);
            children_.resize(children_begin);
            return slots_[at];
        }
    }
    QUORL_ASSERT(texts_.size() < kNoText);
    const TextId id = static_cast<TextId>(texts_.size());
    texts_.push_back(text);
    slots_[at] = id;
    if (texts_.size() * 2 > slots_.size()) grow_slots();
    return id;
}

bool SubtreeTexts::same_structure(const Text& a, const Text& b) const {
    if (a.plain != b.plain || a.child_count != b.child_count || label_of(a) != label_of(b)) return false;
    const auto children_a = children_of(a);
    const auto children_b = children_of(b);
    return std::equal(children_a.begin(), children_a.end(), children_b.begin(),
                      [](const ChildText& x, const ChildText& y) { return x.text == y.text && x.modality == y.modality; });
}

void SubtreeTexts::grow_slots() {
    slots_.assign(slots_.size() * 2, kNoText);
    const std::size_t mask = slots_.size() - 1;
    for (TextId id = 0; id < texts_.size(); ++id) {
        std::size_t at = texts_[id].hash & mask;
        while (slots_[at] != kNoText) at = (at + 1) & mask;
        slots_[at] = id;
    }
}

int SubtreeTexts::compare(TextId a, TextId b) const {
    if (a == b) return 0;
    const Text& text_a = texts_[a];
    const Text& text_b = texts_[b];
    if (text_a.plain && text_b.plain) return label_of(text_a).compare(label_of(text_b));

    Cursor cursor_a(*this, scratch_a_, a);
    Cursor cursor_b(*this, scratch_b_, b);
    std::string_view chunk_a;
    std::string_view chunk_b;
    for (;;) {
        if (chunk_a.empty() && chunk_b.empty()) {
            // Both stand at a chunk boundary: a child text both are about to
            // read is the same bytes on both sides.
            for (TextId ahead = cursor_a.child_ahead(); ahead != kNoText && ahead == cursor_b.child_ahead();
                 ahead = cursor_a.child_ahead()) {
                cursor_a.skip_child();
                cursor_b.skip_child();
            }
        }
        if (chunk_a.empty()) chunk_a = cursor_a.next_chunk();
        if (chunk_b.empty()) chunk_b = cursor_b.next_chunk();
        if (chunk_a.empty() || chunk_b.empty()) {
            return chunk_a.empty() ? (chunk_b.empty() ? 0 : -1) : 1;
        }
        const std::size_t common = std::min(chunk_a.size(), chunk_b.size());
        if (const int order = std::memcmp(chunk_a.data(), chunk_b.data(), common); order != 0) {
            return order < 0 ? -1 : 1;
        }
        chunk_a.remove_prefix(common);
        chunk_b.remove_prefix(common);
    }
}

std::string SubtreeTexts::write(TextId text) const {
    std::string out;
    out.reserve(length(text));
    Cursor cursor(*this, scratch_a_, text);
    for (std::string_view chunk = cursor.next_chunk(); !chunk.empty(); chunk = cursor.next_chunk()) out += chunk;
    return out;
}

}  // namespace quorl
