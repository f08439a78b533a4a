#include "tree/subtree_texts.hpp"

#include <algorithm>
#include <bit>
#include <cstring>
#include <limits>
#include <utility>

#include "error/quorl_error.hpp"
#include "graph/polled_buffers.hpp"
#include "limits/memory_budget.hpp"

namespace quorl {

namespace {

// The structure hash only places texts in the table (equality is always
// checked in full), so it needs spread, not strength: one multiply per value
// while accumulating, and the splitmix64 finaliser once at the end.
std::uint64_t combine(std::uint64_t hash, std::uint64_t value) {
    return std::rotl((hash ^ value) * 0x9e3779b97f4a7c15ull, 29);
}

std::uint64_t finalised(std::uint64_t hash) {
    hash = (hash ^ (hash >> 30)) * 0xbf58476d1ce4e5b9ull;
    hash = (hash ^ (hash >> 27)) * 0x94d049bb133111ebull;
    return hash ^ (hash >> 31);
}

// Eight bytes a step: mirrors' and virtual nodes' labels carry their origin,
// a magnet of some 40 bytes. An inline loop beats a call on the short rest.
std::uint64_t hash_longer_bytes(std::string_view bytes) {
    std::uint64_t hash = bytes.size();
    std::size_t at = 0;
    for (; at + 8 <= bytes.size(); at += 8) {
        std::uint64_t word;
        std::memcpy(&word, bytes.data() + at, 8);
        hash = combine(hash, word);
    }
    if (at == bytes.size()) return hash;
    std::uint64_t rest = 0;
    for (; at < bytes.size(); ++at) rest = rest << 8 | static_cast<unsigned char>(bytes[at]);
    return combine(hash, rest);
}

// Most labels and modalities are one byte ("C", "H", "1"): those are hashed
// inline, as hash_longer_bytes would hash them.
std::uint64_t hash_bytes(std::string_view bytes) {
    if (bytes.size() == 1) return combine(1, static_cast<unsigned char>(bytes[0]));
    return hash_longer_bytes(bytes);
}

// A text to a sink this long is written out whole and kept (see
// write_kept_to_sink); a shorter one would replace the kept text for little gain.
constexpr std::uint64_t kKeptTextMinimum = std::uint64_t{1} << 14;
// Texts this long are copied from a kept text instead of walked again;
// below, walking costs about what copying does.
constexpr std::uint64_t kCopiedTextMinimum = 256;

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
    slots_.assign(16, kNoText);
    reserve(expected_texts);
}

void SubtreeTexts::clear() {
    labels_.clear();
    children_.clear();
    texts_.clear();
    for (const std::size_t at : filled_slots_) slots_[at] = kNoText;
    filled_slots_.clear();
    forget_kept();
}

void SubtreeTexts::forget_kept() {
    std::vector<KeptMark>().swap(kept_marks_);
    std::string().swap(kept_);
    std::string().swap(writing_);
    kept_generation_ = 0;
}

void SubtreeTexts::clear_as_new() {
    clear();
    label_capacity_ = std::string().capacity();
    own_modalities_ = false;
    // The copies of modalities are kept for the next texts that own theirs:
    // an equal copy is as good as a new one, and most graphs use a handful.
    if (modalities_.size() > kKeptModalities) {
        modalities_.clear();
        first_owned_count_ = 0;
    }
}

void SubtreeTexts::reserve(std::size_t expected_texts) {
    const std::size_t texts = texts_.size() + expected_texts;
    texts_.reserve(texts);
    children_.reserve(children_.size() + expected_texts);
    filled_slots_.reserve(texts);
    // The table keeps at most half its slots used; sizing it now spares the
    // rehash at every doubling on the way.
    std::size_t slots = slots_.size();
    while (slots / 2 < texts) slots *= 2;
    if (slots != slots_.size()) rehash(slots);
}

TextId SubtreeTexts::intern_leaf(std::string_view label, std::uint32_t group_open) {
    return intern({true, label, {}, group_open});
}

TextId SubtreeTexts::intern_node(std::string_view label, std::span<const ChildText> children,
                                 std::uint32_t group_open) {
    return intern({false, label, children, group_open});
}

std::string_view SubtreeTexts::owned_modality(std::string_view modality) {
    // Most graphs use a handful of modalities ("1", "2"): the first copies
    // made are found by a scan, without hashing.
    for (std::size_t i = 0; i < first_owned_count_; ++i) {
        const std::string& copy = *first_owned_[i];
        if (copy.size() == modality.size() && (copy.empty() || copy[0] == modality[0]) && copy == modality) {
            return copy;
        }
    }
    auto found = modalities_.find(modality);
    if (found == modalities_.end()) {
        found = modalities_.emplace(modality).first;
        if (first_owned_count_ < first_owned_.size()) first_owned_[first_owned_count_++] = &*found;
    }
    return *found;
}

// Structurally equal texts have the same children. So while some child of a
// new text has never been a child before, no held text can equal it, and it
// is recorded as that child's first parent instead of in the hash table; a
// later equal text finds it there. Only texts whose children all had parents
// go into the table. On trees whose subtrees are mostly distinct (paths,
// random trees) this keeps most texts out of the table, whose random
// accesses would otherwise dominate the cost.
TextId SubtreeTexts::intern(const Candidate& candidate) {
    QUORL_ASSERT(candidate.label.size() <= std::numeric_limits<std::uint32_t>::max());
    QUORL_ASSERT(candidate.children.size() <= std::numeric_limits<std::uint32_t>::max());
    QUORL_ASSERT(texts_.size() < kNoText);
    QUORL_ASSERT(candidate.group_open == kNoGroup || candidate.group_open + std::size_t{2} <= candidate.label.size());
    std::uint64_t length = candidate.label.size();
    std::uint64_t hash =
        combine(combine(candidate.plain ? 1 : 2, candidate.group_open), hash_bytes(candidate.label));
    bool children_all_had_parents = true;
    if (!candidate.plain) {
        const std::size_t child_count = candidate.children.size();
        length = saturating_add(length, child_count == 0 ? 2 : 2 * child_count);  // "()" and ", "
        for (const ChildText& child : candidate.children) {
            const Text& child_text = texts_[child.text];
            length = saturating_add(length, child_text.length);
            length = saturating_add(length, 1 + child.modality.size());  // ":" modality
            hash = combine(hash, hash_bytes(child.modality) ^ (std::uint64_t{child.text} << 32));
            if (child_text.first_parent == kNoText) children_all_had_parents = false;
        }
    }
    hash = finalised(hash);

    // Where the text goes in the table, if it goes there.
    std::size_t slot = 0;
    if (children_all_had_parents) {
        const auto held_equal = [&](TextId held) {
            return texts_[held].hash == hash && same_structure(texts_[held], candidate);
        };
        TextId found = kNoText;
        for (const ChildText& child : candidate.children) {
            if (held_equal(texts_[child.text].first_parent)) {
                found = texts_[child.text].first_parent;
                break;
            }
        }
        if (found == kNoText) {
            const std::size_t mask = slots_.size() - 1;
            for (slot = hash & mask; slots_[slot] != kNoText; slot = (slot + 1) & mask) {
                if (held_equal(slots_[slot])) {
                    found = slots_[slot];
                    break;
                }
            }
        }
        if (found != kNoText) {
            // The label pool grows as if the label had been appended and taken
            // back, as it did when equal texts were found only after appending:
            // the memory its capacity stands for (written_bytes) stays the same.
            grow_label_capacity(labels_.size() + candidate.label.size());
            return found;
        }
    }

    const TextId id = static_cast<TextId>(texts_.size());
    Text text{length,
              hash,
              0,
              labels_.size(),
              children_.size(),
              static_cast<std::uint32_t>(candidate.label.size()),
              static_cast<std::uint32_t>(candidate.children.size()),
              kNoText,
              candidate.group_open,
              candidate.plain};
    labels_.append(candidate.label);
    grow_label_capacity(labels_.size());
    children_.insert(children_.end(), candidate.children.begin(), candidate.children.end());
    if (own_modalities_) {
        for (std::size_t i = text.children_begin; i < children_.size(); ++i) {
            children_[i].modality = owned_modality(children_[i].modality);
        }
    }
    text.leading_bytes = leading_bytes_of(text);
    texts_.push_back(text);
    if (!children_all_had_parents) {
        for (const ChildText& child : children_of(text)) {
            if (texts_[child.text].first_parent == kNoText) texts_[child.text].first_parent = id;
        }
        return id;
    }
    slots_[slot] = id;
    filled_slots_.push_back(slot);
    if (filled_slots_.size() * 2 > slots_.size()) rehash(slots_.size() * 2);
    return id;
}

// A leading-bytes key built piece by piece, as the pieces are written.
class LeadingBytesBuilder {
public:
    // Each returns false once the key holds eight bytes.
    bool add(std::string_view piece) {
        for (std::size_t i = 0; i < piece.size() && size_ < 8; ++i, ++size_) {
            key_ = key_ << 8 | static_cast<unsigned char>(piece[i]);
        }
        return size_ < 8;
    }
    // The text whose key is `key` and length `length`: its first bytes are the key's.
    bool add_text(std::uint64_t key, std::uint64_t length) {
        const std::size_t taken = static_cast<std::size_t>(std::min<std::uint64_t>(length, 8 - size_));
        if (taken == 8) {
            key_ = key;
        } else if (taken > 0) {
            key_ = key_ << (8 * taken) | key >> (64 - 8 * taken);
        }
        size_ += taken;
        return size_ < 8;
    }
    std::uint64_t key() const { return size_ == 0 ? 0 : key_ << (8 * (8 - size_)); }

private:
    std::uint64_t key_ = 0;
    std::size_t size_ = 0;
};

// Composed from the pieces of the text without reading further than eight
// bytes: a child text's first bytes are in its own leading-bytes key.
std::uint64_t SubtreeTexts::leading_bytes_of(const Text& text) const {
    if (text.plain) return leading_bytes_key(label_of(text));
    LeadingBytesBuilder bytes;
    bool room = bytes.add("(");
    const auto children = children_of(text);
    for (std::size_t i = 0; room && i < children.size(); ++i) {
        const Text& child = texts_[children[i].text];
        room = bytes.add_text(child.leading_bytes, child.length) && bytes.add(":") && bytes.add(children[i].modality) &&
               (i + 1 == children.size() || bytes.add(", "));
    }
    if (room && bytes.add(")")) bytes.add(label_of(text));
    return bytes.key();
}

bool SubtreeTexts::same_structure(const Text& held, const Candidate& candidate) const {
    if (held.plain != candidate.plain || held.child_count != candidate.children.size() ||
        held.group_open != candidate.group_open || label_of(held) != candidate.label) {
        return false;
    }
    const auto children = children_of(held);
    return std::equal(children.begin(), children.end(), candidate.children.begin(),
                      [](const ChildText& x, const ChildText& y) { return x.text == y.text && x.modality == y.modality; });
}

void SubtreeTexts::rehash(std::size_t slot_count) {
    const std::vector<TextId> held = std::exchange(slots_, std::vector<TextId>(slot_count, kNoText));
    const std::size_t mask = slots_.size() - 1;
    filled_slots_.clear();
    for (const TextId id : held) {
        if (id == kNoText) continue;
        std::size_t at = texts_[id].hash & mask;
        while (slots_[at] != kNoText) at = (at + 1) & mask;
        slots_[at] = id;
        filled_slots_.push_back(at);
    }
}

int SubtreeTexts::compare(TextId a, TextId b) const {
    if (a == b) return 0;
    const Text& text_a = texts_[a];
    const Text& text_b = texts_[b];
    if (const auto order = compare_leading_bytes(text_a.leading_bytes, text_a.length, text_b.leading_bytes,
                                                 text_b.length)) {
        return *order;
    }
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

// Besides the graph, which its owner counts: the text as written and in the
// copy its caller makes (a magnet wraps it, the scoring pass keeps it), and
// this table's copy of every label, mirrors' and virtual nodes' origins
// included. Texts this large grow from texts written just before, which the
// allocator often cannot reuse for them: one more text and one more pool
// allow for that slack. Saturates.
std::uint64_t SubtreeTexts::written_bytes(TextId root) const {
    const std::uint64_t text = std::min<std::uint64_t>(length(root), UINT64_MAX / 4);
    return saturating_add(3 * text, 2 * std::uint64_t{label_capacity_});
}

// The bytes of a text as write() makes them, stored where the text is written in full.
class SubtreeTexts::WholeText {
public:
    explicit WholeText(std::string& out) : begin_(out.data()), at_(out.data()) {}
    bool put_whole(TextId, const Text&) { return false; }  // every text is walked
    void put(char byte) { *at_++ = byte; }
    void put(std::string_view bytes) {
        std::memcpy(at_, bytes.data(), bytes.size());
        at_ += bytes.size();
    }
    std::size_t offset() const { return static_cast<std::size_t>(at_ - begin_); }

private:
    char* const begin_;
    char* at_;
};

// The same bytes gathered in a small buffer and handed to a sink buffer by buffer.
class SubtreeTexts::BufferedText {
public:
    explicit BufferedText(TextSink& sink) : sink_(sink) {}
    bool put_whole(TextId, const Text&) { return false; }  // every text is walked
    void put(char byte) {
        if (size_ == buffer_.size()) flush();
        buffer_[size_++] = byte;
    }
    void put(std::string_view bytes) {
        if (bytes.size() > buffer_.size() - size_) flush();
        if (bytes.size() >= buffer_.size()) {
            sink_.append(bytes);
            handed_ += bytes.size();
            return;
        }
        std::memcpy(buffer_.data() + size_, bytes.data(), bytes.size());
        size_ += bytes.size();
    }
    std::size_t offset() const { return handed_ + size_; }
    void flush() {
        if (size_ > 0) sink_.append({buffer_.data(), size_});
        handed_ += size_;
        size_ = 0;
    }

private:
    TextSink& sink_;
    std::size_t handed_ = 0;
    std::array<char, 4096> buffer_;
    std::size_t size_ = 0;
};

// The bytes of a long text, written out whole into `out`, which has room for
// them. Each text of at least kCopiedTextMinimum bytes that the walk enters is marked
// with this writing's generation and its offset here; a text marked by this
// writing or by the kept one (whose generation is the kept one's) is copied
// from there instead of walked again. A text's bytes never change while the
// table owns its modalities and is not cleared, so a copy is the same bytes
// the walk would write. A text marked now is copied from here only once it
// is complete: a text never holds itself, so it comes again only after its
// end. Marks of a writing that failed are never read: its generation is not
// handed out again nor kept.
class SubtreeTexts::KeptText {
public:
    KeptText(char* out, std::vector<KeptMark>& marks, const std::string& kept, std::uint64_t kept_generation,
             std::uint64_t generation, StopPoll& stop)
        : begin_(out),
          at_(out),
          marks_(marks),
          kept_(kept.data()),
          kept_generation_(kept_generation),
          generation_(generation),
          stop_(stop) {}
    void put(char byte) { *at_++ = byte; }
    void put(std::string_view bytes) {
        std::memcpy(at_, bytes.data(), bytes.size());
        at_ += bytes.size();
    }
    std::size_t offset() const { return static_cast<std::size_t>(at_ - begin_); }

    // Copies the whole of `text` when a marked writing holds it, else marks
    // it as starting here; true when copied. A copy of megabytes is made in
    // polled steps: one the poll stopped leaves the poll stopped.
    bool put_whole(TextId id, const Text& text) {
        if (text.length < kCopiedTextMinimum) return false;
        KeptMark& mark = marks_[id];
        const char* source = nullptr;
        if (mark.generation == generation_) {
            source = begin_ + mark.at;
        } else if (mark.generation == kept_generation_ && kept_generation_ != 0) {
            source = kept_ + mark.at;
        }
        mark = {generation_, offset()};
        if (source == nullptr) return false;
        const auto size = static_cast<std::size_t>(text.length);
        in_polled_steps(size, kPolledStepBytes, &stop_, [&](std::size_t begin, std::size_t end) {
            std::memcpy(at_ + begin, source + begin, end - begin);
        });
        at_ += size;
        return true;
    }

private:
    char* const begin_;
    char* at_;
    std::vector<KeptMark>& marks_;
    const char* const kept_;
    const std::uint64_t kept_generation_;
    const std::uint64_t generation_;
    StopPoll& stop_;
};

bool SubtreeTexts::fits_written(TextId root, StopPoll& stop) const {
    return fits_or_stop(stop, written_bytes(root), "writing a text of this graph");
}

std::string SubtreeTexts::write(TextId root, std::vector<TextSpan>* groups) const {
    StopPoll never(StopCheck{});
    return *write(root, groups, never);
}

std::optional<std::string> SubtreeTexts::write(TextId root, std::vector<TextSpan>* groups, StopPoll& stop) const {
    if (!fits_written(root, stop)) return std::nullopt;
    std::optional<std::string> written = zeroed_string_polled(length(root), &stop);
    if (!written) return written;
    WholeText whole(*written);
    if (!write_to(root, groups, stop, whole)) return std::nullopt;
    QUORL_ASSERT(whole.offset() == written->size());
    return written;
}

// Checked as write() checks: a text that could not be written cannot be handed over either.
bool SubtreeTexts::write_to_sink(TextId root, TextSink& sink, StopPoll& stop) const {
    if (!fits_written(root, stop)) return false;
    if (own_modalities_ && length(root) >= kKeptTextMinimum) return write_kept_to_sink(root, sink, stop);
    BufferedText buffered(sink);
    if (!write_to(root, nullptr, stop, buffered)) return false;
    buffered.flush();
    return true;
}

// The rewrite digests the tree below each join it resolves, and each such
// tree holds the trees below the joins resolved before it, whose texts the
// walks keep: kept, the latest one is mostly copied into the next instead of
// walked again. Holding it and the next one costs no more than the count the
// memory budget keeps for every digested magnet, the text at its length.
bool SubtreeTexts::write_kept_to_sink(TextId root, TextSink& sink, StopPoll& stop) const {
    const auto size = static_cast<std::size_t>(length(root));
    // Texts made since the last long text have no marks yet; marks of an
    // earlier table (before a clear) are of generations never handed out again.
    if (!grow_polled(kept_marks_, texts_.size(), KeptMark{}, &stop)) return false;
    const std::uint64_t generation = ++last_generation_;
    bool written = false;
    if (writing_.capacity() < size) {
        // Room for this text alone, not the doubled room of a growing string.
        std::string().swap(writing_);
        writing_.reserve(size);
    }
    // Every byte is written below: the buffer is not filled first.
    writing_.resize_and_overwrite(size, [&](char* data, std::size_t) {
        KeptText kept(data, kept_marks_, kept_, kept_generation_, generation, stop);
        written = write_to(root, nullptr, stop, kept) && !stop.stopped();
        QUORL_ASSERT(!written || kept.offset() == size);
        return size;
    });
    if (!written) return false;
    const bool handed = in_polled_steps(size, kPolledStepBytes, &stop, [&](std::size_t begin, std::size_t end) {
        sink.append(std::string_view(writing_).substr(begin, end - begin));
    });
    if (!handed) return false;
    kept_.swap(writing_);
    kept_generation_ = generation;
    return true;
}

// Writes the same bytes, in the same layout, as a Cursor reads; appending
// directly instead of chunk by chunk makes it several times faster, and
// writing the final text is on every caller's path.
template <class Out>
bool SubtreeTexts::write_to(TextId root, std::vector<TextSpan>* groups, StopPoll& stop, Out& out) const {
    // Most labels and modalities are one byte ("C", "H", "1"): storing those
    // directly spares a library call per piece.
    const auto put = [&out](std::string_view bytes) {
        if (bytes.size() == 1) {
            out.put(bytes[0]);
            return;
        }
        out.put(bytes);
    };
    // Recording a group is rare (mirrors and virtual nodes) and apart, so
    // that writing a label stays small enough to be inlined.
    const auto record_group = [&](const Text& text) {
        groups->push_back({out.offset() + text.group_open + 1, text.label_size - text.group_open - 2});
    };
    const auto put_label = [&](const Text& text) {
        if (groups != nullptr && text.group_open != kNoGroup) record_group(text);
        put(label_of(text));
    };
    // The non-plain texts being written, each with the number of its
    // children begun; plain children are written in their parent's frame.
    std::vector<Frame>& open = scratch_a_;
    open.clear();
    const Text& root_text = texts_[root];
    if (root_text.plain) {
        put_label(root_text);
    } else if (!out.put_whole(root, root_text)) {
        out.put('(');
        open.push_back({root, 0});
    }
    while (!open.empty()) {
        Frame& frame = open.back();
        const Text& text = texts_[frame.text];
        const ChildText* const children = children_.data() + text.children_begin;
        bool descended = false;
        while (frame.step < text.child_count) {
            if (stop.poll()) return false;
            if (frame.step > 0) {
                out.put(',');
                out.put(' ');
            }
            const ChildText& child = children[frame.step++];
            const Text& child_text = texts_[child.text];
            if (!child_text.plain && !out.put_whole(child.text, child_text)) {
                out.put('(');
                open.push_back({child.text, 0});  // `frame` is not used again
                descended = true;
                break;
            }
            if (child_text.plain) put_label(child_text);
            out.put(':');
            put(child.modality);
        }
        if (descended) continue;
        out.put(')');
        put_label(text);
        open.pop_back();
        if (!open.empty()) {
            const Frame& parent = open.back();
            out.put(':');
            put(children_[texts_[parent.text].children_begin + parent.step - 1].modality);
        }
    }
    return true;
}

}  // namespace quorl
