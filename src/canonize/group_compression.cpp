#include "canonize/group_compression.hpp"

#include <cstdint>
#include <unordered_map>

namespace quorl {

namespace {

// Length of the UTF-8 sequence starting at `at`: the lead byte's length,
// cut short at the first byte that is not a continuation byte, so a brace is
// never taken into a malformed sequence.
std::size_t sequence_length(std::string_view text, std::size_t at) {
    const auto lead = static_cast<unsigned char>(text[at]);
    std::size_t length = 1;
    if (lead >= 0xF0 && lead <= 0xF7) {
        length = 4;
    } else if (lead >= 0xE0) {
        length = lead <= 0xEF ? 3 : 1;
    } else if (lead >= 0xC0) {
        length = 2;
    }
    std::size_t taken = 1;
    while (taken < length && at + taken < text.size() &&
           (static_cast<unsigned char>(text[at + taken]) & 0xC0) == 0x80) {
        ++taken;
    }
    return taken;
}

}  // namespace

std::string compress_groups(std::string_view text) {
    std::string output;
    output.reserve(text.size());
    // Numbers are handed out in order of first appearance, so nothing depends
    // on the map's iteration order.
    std::unordered_map<std::string, std::uint64_t> group_numbers;
    std::uint64_t group_counter = 0;
    std::string group;
    bool inside = false;
    std::size_t nesting = 0;

    for (std::size_t at = 0; at < text.size();) {
        const std::size_t length = sequence_length(text, at);
        const std::string_view character = text.substr(at, length);
        at += length;
        if (!inside) {
            output += character;
            if (character == "{") {
                inside = true;
                nesting = 0;
                group.clear();
            }
        } else if (character == "{") {
            ++nesting;
            group += character;
        } else if (character == "}" && nesting > 0) {
            --nesting;
            group += character;
        } else if (character == "}") {
            auto [entry, added] = group_numbers.try_emplace(std::move(group), group_counter + 1);
            if (added) ++group_counter;
            output += '$';
            output += std::to_string(entry->second);
            output += '}';
            group.clear();
            inside = false;
        } else {
            group += character;
        }
    }
    return output;
}

}  // namespace quorl
