// The subtree texts of one tree-writer call, shared instead of copied.
//
// A node's text is "(" child ":" modality ", " ... ")" label, or the bare
// label for a plain leaf, so it contains every descendant's text. Building
// each node's text as a string would copy a subtree once per ancestor: on a
// path of n nodes that is O(n^2) bytes. Instead each text is stored once as
// its label plus references to its children's texts (a rope), and only the
// root's text is ever written out as bytes.
//
// The writers still need to order sibling texts bytewise. Each text keeps its
// first eight bytes as an integer, which decides most comparisons at once;
// otherwise `SubtreeTexts::compare` walks two ropes chunk by chunk and stops
// at the first differing byte, so it costs the length of the common prefix,
// not of the texts. Texts are interned
// by structure (same label, same children texts, same modalities), so equal
// subtrees get the same id and compare in O(1); where two ropes meet the same
// child text at the same offset, the walk skips it whole. Structurally
// different ropes that spell the same bytes (labels are not escaped) are still
// found equal by the walk, so the order is exactly the bytewise order of the
// written texts.
//
// Cost: writing the root's text is linear in its length. Sorting siblings
// costs, per comparison, at most the shorter sibling text and usually a few
// bytes: siblings are compared by text only when their depths (and, with the
// modality order, their modalities) tie, and equal subtrees compare in O(1).
// A path or a star needs no walk deeper than one label.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "error/quorl_error.hpp"
#include "graph/exclusion.hpp"

namespace quorl {

using TextId = std::uint32_t;
inline constexpr TextId kNoText = 0xFFFFFFFFu;

// Where in a label its writer's brace group opens (the "{" before a mirror's
// or virtual node's origin, closed by the label's last byte); kNoGroup for a
// label without one. Braces a label or origin holds itself are no group.
inline constexpr std::uint32_t kNoGroup = 0xFFFFFFFFu;

// A byte range of a written text: a group's content, without its braces.
struct TextSpan {
    std::size_t begin;
    std::size_t size;
    friend bool operator==(const TextSpan&, const TextSpan&) = default;
};

// The first eight bytes of a text as a big-endian number, zero-padded. When
// the keys of two texts differ they order the texts bytewise; when they are
// equal the texts must be compared further.
inline std::uint64_t leading_bytes_key(std::string_view bytes) {
    std::uint64_t key = 0;
    for (std::size_t i = 0; i < 8; ++i) {
        key <<= 8;
        if (i < bytes.size()) key |= static_cast<unsigned char>(bytes[i]);
    }
    return key;
}

// Orders two texts by their leading-bytes keys and lengths alone when that
// decides: the keys differ, or both texts fit in their keys.
inline std::optional<int> compare_leading_bytes(std::uint64_t key_a, std::uint64_t length_a, std::uint64_t key_b,
                                                std::uint64_t length_b) {
    if (key_a != key_b) return key_a < key_b ? -1 : 1;
    if (length_a <= 8 && length_b <= 8) return length_a == length_b ? 0 : (length_a < length_b ? -1 : 1);
    return std::nullopt;
}

// Takes a written text piece by piece (see SubtreeTexts::write_to_sink).
class TextSink {
public:
    virtual void append(std::string_view piece) = 0;

protected:
    ~TextSink() = default;
};

struct ChildText {
    TextId text;
    std::string_view modality;  // refers into the graph's edge records, or into the texts' own copies
};

class SubtreeTexts {
public:
    SubtreeTexts() : SubtreeTexts(0) {}
    explicit SubtreeTexts(std::size_t expected_texts);
    // Moved, never copied: a copy would keep pointing at the source's modality copies.
    SubtreeTexts(const SubtreeTexts&) = delete;
    SubtreeTexts& operator=(const SubtreeTexts&) = delete;
    SubtreeTexts(SubtreeTexts&&) = default;
    SubtreeTexts& operator=(SubtreeTexts&&) = default;

    // Forgets every text and keeps the buffers; costs the texts held, not the
    // largest table ever used.
    void clear();
    // Also as a new table in all that can be seen: the label pool counts as
    // given back, so the next texts grow it from nothing (written_bytes reads
    // its capacity), and the texts refer to the edge records again.
    void clear_as_new();
    // From now on the texts keep their own copies of the modalities instead
    // of referring to the edge records they were read from: for texts that
    // outlive changes to the graph, which move those records.
    void own_modalities() { own_modalities_ = true; }
    bool owns_modalities() const { return own_modalities_; }
    // Room for this many more texts without growing.
    void reserve(std::size_t expected_texts);

    // The bare label of a plain leaf. Texts that spell the same bytes with
    // their groups in different places are different texts.
    TextId intern_leaf(std::string_view label, std::uint32_t group_open = kNoGroup);
    // "(" each child's text ":" modality, separated by ", ", then ")" label.
    TextId intern_node(std::string_view label, std::span<const ChildText> children,
                       std::uint32_t group_open = kNoGroup);

    // Bytewise order of the written texts, a proper prefix first: <0, 0, >0.
    int compare(TextId a, TextId b) const;
    // Length of the written text; saturates at UINT64_MAX, a text too long to write.
    std::uint64_t length(TextId text) const { return texts_[text].length; }
    // With `groups`, also appends the content of every label's group to it, in text order.
    std::string write(TextId text, std::vector<TextSpan>* groups = nullptr) const;
    // The same, polling `stop` once per child text; nothing when it asks to
    // stop, or when what writing the text holds does not fit the poll's memory
    // budget (the poll is then stopped with an out-of-memory error).
    std::optional<std::string> write(TextId text, std::vector<TextSpan>* groups, StopPoll& stop) const;
    // The same bytes handed to `sink` in pieces, for a reader that needs them
    // once. A short text goes in pieces of a few kilobytes and nothing as
    // large as it is held. A long one, in a table that owns its modalities
    // (whose texts then never change), is written out whole and kept until
    // the next long one: the texts it holds are copied from it, not walked
    // again, when that one holds them too (see KeptText). False when the poll
    // asks to stop or the text would not fit to be written.
    bool write_to_sink(TextId text, TextSink& sink, StopPoll& stop) const;
    // The memory check that writing the text makes: false, with the poll
    // stopped by an out-of-memory error, when what writing it holds does not fit.
    bool fits_written(TextId text, StopPoll& stop) const;
    // What writing the text holds beside what is already counted: see the definition.
    std::uint64_t written_bytes(TextId text) const;

private:
    class Cursor;
    class WholeText;
    class BufferedText;
    class KeptText;
    struct Frame {
        TextId text;
        std::uint64_t step;
    };
    struct Text {
        std::uint64_t length;
        std::uint64_t hash;
        std::uint64_t leading_bytes;  // leading_bytes_key of the written text
        std::size_t label_begin;
        std::size_t children_begin;
        std::uint32_t label_size;
        std::uint32_t child_count;
        TextId first_parent;  // the first text made with this one as a child
        std::uint32_t group_open;  // offset in the label, or kNoGroup
        bool plain;
    };
    // Where the long text written with `generation` holds a text (see KeptText).
    struct KeptMark {
        std::uint64_t generation = 0;
        std::uint64_t at = 0;
    };

    std::string_view label_of(const Text& text) const { return {labels_.data() + text.label_begin, text.label_size}; }
    std::span<const ChildText> children_of(const Text& text) const {
        return {children_.data() + text.children_begin, text.child_count};
    }
    // A text to intern, its label and children still where the caller holds them.
    struct Candidate {
        bool plain;
        std::string_view label;
        std::span<const ChildText> children;
        std::uint32_t group_open;
    };
    // The held text equal to the candidate, else the candidate copied into the pools.
    TextId intern(const Candidate& candidate);
    bool same_structure(const Text& held, const Candidate& candidate) const;
    std::uint64_t leading_bytes_of(const Text& text) const;
    // Moves the table's texts into a table of `slot_count` slots, a power of two.
    void rehash(std::size_t slot_count);

    std::string_view owned_modality(std::string_view modality);
    // Writes the text's bytes through `out` (WholeText or BufferedText); false when the poll asks to stop.
    template <class Out>
    bool write_to(TextId root, std::vector<TextSpan>* groups, StopPoll& stop, Out& out) const;
    // write_to_sink for a long text of a table that owns its modalities.
    bool write_kept_to_sink(TextId root, TextSink& sink, StopPoll& stop) const;
    // Gives the kept text's buffers back.
    void forget_kept();

    bool own_modalities_ = false;
    IdSet modalities_;  // the copies; a set's elements never move
    static constexpr std::size_t kKeptModalities = 64;  // more are dropped by clear_as_new
    std::array<const std::string*, 4> first_owned_{};  // the first elements put into modalities_
    std::size_t first_owned_count_ = 0;
    std::string labels_;
    // The capacity labels_ would have had it been made anew by the latest
    // clear_as_new (or with the table) and grown only as the labels asked
    // for: what the memory figures read. The buffer itself is kept, so a
    // table lent to walk after walk does not grow a pool for each.
    std::size_t label_capacity_ = std::string().capacity();
    // Grows label_capacity_ to hold `size` bytes, as a string grows: to the
    // size asked for, or to twice what it had when that is more.
    void grow_label_capacity(std::size_t size) {
        if (size > label_capacity_) label_capacity_ = std::max(size, 2 * label_capacity_);
    }
    std::vector<ChildText> children_;
    std::vector<Text> texts_;
    // Open addressing by structure hash, size a power of two, at most half used.
    std::vector<TextId> slots_;
    std::vector<std::size_t> filled_slots_;  // the used positions of slots_, for clear()
    // Reading stacks reused by every compare; the first also by every write.
    mutable std::vector<Frame> scratch_a_;
    mutable std::vector<Frame> scratch_b_;
    // The latest long text written to a sink, with the generation its texts
    // were marked with, and the buffer the next one is written into. The
    // marks, by text id, are as many as the texts when a long text was last
    // written.
    mutable std::vector<KeptMark> kept_marks_;
    mutable std::string kept_;
    mutable std::uint64_t kept_generation_ = 0;
    mutable std::string writing_;
    mutable std::uint64_t last_generation_ = 0;  // the latest generation handed out
};

}  // namespace quorl
