#include "dag/magnet.hpp"

#include <algorithm>
#include <array>
#include <cstdint>
#include <optional>
#include <vector>

#include "dag/digest.hpp"
#include "dag/trace.hpp"
#include "graph/exclusion.hpp"
#include "tree/tree_string.hpp"

namespace quorl {

namespace {

constexpr std::size_t kHashedMagnetSize = 2 + 2 * sizeof(Digest);  // "_", 32 hexadecimal digits, "_"

// The digests of short plain magnets made on this thread, by their bytes.
// Molecules hang the same few small regions (a hydrogen, a methyl, a
// hydroxyl) below their joins and cobound ends, so most magnets repeat one
// made before, in this call or an earlier one. A digest depends on the bytes
// alone, and an entry answers only for bytes equal to its own, so the table
// changes no result; it holds at most kEntries texts of kMostBytes each, and
// nothing reads or writes it across a stop poll.
class ShortMagnetDigests {
public:
    static constexpr std::size_t kMostBytes = 128;

    std::optional<Digest> find(std::string_view plain) const {
        const Entry& entry = entries_[slot_of(plain)];
        if (std::string_view(entry.bytes.data(), entry.size) != plain) return std::nullopt;
        return entry.digest;
    }
    void keep(std::string_view plain, const Digest& digest) {
        Entry& entry = entries_[slot_of(plain)];
        std::copy(plain.begin(), plain.end(), entry.bytes.begin());
        entry.size = static_cast<std::uint8_t>(plain.size());
        entry.digest = digest;
    }

private:
    static constexpr std::size_t kEntries = 512;
    static_assert(kMostBytes <= UINT8_MAX);
    struct Entry {
        std::array<char, kMostBytes> bytes;
        std::uint8_t size = 0;  // a plain magnet has two bytes at least
        Digest digest;
    };
    static std::size_t slot_of(std::string_view plain) { return id_hash(plain) & (kEntries - 1); }

    std::vector<Entry> entries_ = std::vector<Entry>(kEntries);
};

ShortMagnetDigests& short_magnet_digests() {
    thread_local ShortMagnetDigests digests;
    return digests;
}

// Digests the plain magnet as the tree text's pieces come: a short one from
// the bytes kept as they come, looked up first; a longer one is handed to the
// digester piece by piece once it outgrows them.
class PlainMagnetDigest final : public TextSink {
public:
    void append(std::string_view piece) override {
        if (!streaming_ && buffered_ + piece.size() < kMostBytes) {  // room for the closing "_"
            std::copy(piece.begin(), piece.end(), buffer_.begin() + static_cast<std::ptrdiff_t>(buffered_));
            buffered_ += piece.size();
            return;
        }
        if (!streaming_) {
            digester_.add({buffer_.data(), buffered_});
            streaming_ = true;
        }
        digester_.add(piece);
    }
    Digest finish() {
        if (streaming_) {
            digester_.add("_");
            return digester_.finish();
        }
        buffer_[buffered_++] = '_';
        const std::string_view plain(buffer_.data(), buffered_);
        ShortMagnetDigests& known = short_magnet_digests();
        if (const std::optional<Digest> digest = known.find(plain)) return *digest;
        const Digest digest = md5_digest(plain);
        known.keep(plain, digest);
        return digest;
    }

private:
    static constexpr std::size_t kMostBytes = ShortMagnetDigests::kMostBytes;
    std::array<char, kMostBytes> buffer_{'_'};
    std::size_t buffered_ = 1;
    bool streaming_ = false;
    Md5Digester digester_;
};

// A string's capacity after it has grown to hold `needed` bytes: a string
// that grows takes at least twice its capacity.
std::size_t grown_capacity(std::size_t capacity, std::size_t needed) {
    return needed <= capacity ? capacity : std::max(needed, 2 * capacity);
}

// A hashed magnet is counted as the buffer a magnet is made in when its tree
// text is written out: the text at its length, grown by the two underscores,
// then by the digits where they need more. The budget's figures read that
// count, though a hashed magnet digests the text in pieces and holds none of it.
std::uint64_t hashed_magnet_bytes(std::uint64_t text_length) {
    const auto length = static_cast<std::size_t>(text_length);
    const std::size_t written = std::max(length, std::string().capacity());
    return heap_bytes_of_size(grown_capacity(grown_capacity(written, length + 2), kHashedMagnetSize));
}

struct MadeMagnet {
    std::string text;
    std::optional<Digest> digest;
    std::uint64_t counted_bytes;  // what the cache is counted as in the memory budget
};

Result<MadeMagnet> make_magnet(const GraphWrap& graph, NodeIndex node, RewriteContext& context) {
    const NodeData& data = graph.node_at(node);
    const Exclusion blocked = Exclusion::floor_at_most(*data.meta.floor, node);
    if (context.allow_hashes) {
        PlainMagnetDigest plain;
        Failable<std::uint64_t> length = tree_string_to_sink(graph, data.id, blocked, /*modality_order=*/false,
                                                             plain, context.tree_scratch, context.stop);
        if (!length) return polled_failure(context.stop, std::move(length.error()));
        const Digest digest = plain.finish();
        std::string magnet(kHashedMagnetSize, '_');
        write_lower_hex(digest, magnet.data() + 1);
        return MadeMagnet{std::move(magnet), digest, hashed_magnet_bytes(*length)};
    }
    Failable<TreeText> tree = to_tree_string_with_depth_order(graph, data.id, blocked, /*modality_order=*/false,
                                                              &context.tree_scratch, &context.stop);
    if (!tree) return polled_failure(context.stop, std::move(tree.error()));
    // The tree's text is ours: wrapped where it lies, it is the plain magnet.
    std::string magnet = std::move(tree->text);
    magnet.reserve(magnet.size() + 2);
    magnet.insert(magnet.begin(), '_');
    magnet.push_back('_');
    const std::uint64_t bytes = heap_bytes(magnet);
    return MadeMagnet{std::move(magnet), std::nullopt, bytes};
}

// Stores the text as copying it in would: into an empty cache a copy holds
// exactly its bytes, so a text that holds just those (a hashed magnet is made
// so) is moved in instead; a cache holding a text keeps its block. Either way
// the cache holds what the budget's figures count.
void keep_in_cache(std::optional<std::string>& cache, std::string&& text) {
    if (!cache && text.capacity() == text.size()) {
        cache = std::move(text);
    } else {
        cache = text;
    }
}

}  // namespace

Result<std::string_view> cached_magnet(GraphWrap& graph, NodeIndex node, RewriteContext& context) {
    const bool allow_hashes = context.allow_hashes;
    {
        const NodeMeta& meta = graph.node_at(node).meta;
        if (meta.magnet && meta.magnet_flag == allow_hashes) return *meta.magnet;
        if (!meta.floor) return parse_error("magnet requires floored graph");
    }
    Result<MadeMagnet> made = make_magnet(graph, node, context);
    if (!made) return std::unexpected(std::move(made.error()));
    if (context.trace.magnets) {
        emit(context.trace, "magnet", {{"node", {graph.node_at(node).id}}, {"magnet", {made->text}}});
    }

    // Cached on the node for the rest of the rewrite.
    if (Result<void> held = take_or_fail(context.held, made->counted_bytes, "a magnet of this graph"); !held) {
        return std::unexpected(std::move(held.error()));
    }
    NodeMeta& meta = graph.node_at(node).meta;
    keep_in_cache(meta.magnet, std::move(made->text));
    meta.magnet_digest = made->digest;
    meta.magnet_digest_alt.reset();
    meta.magnet_flag = allow_hashes;
    return *meta.magnet;
}

Result<std::string> get_magnet(GraphWrap& graph, NodeIndex node, RewriteContext& context) {
    Result<std::string_view> magnet = cached_magnet(graph, node, context);
    if (!magnet) return std::unexpected(std::move(magnet.error()));
    return std::string(*magnet);
}

Result<std::string> get_magnet(GraphWrap& graph, NodeIndex node, bool allow_hashes) {
    RewriteContext context(allow_hashes, StopCheck{}, TraceSwitches::from_environment());
    return get_magnet(graph, node, context);
}

}  // namespace quorl
