#include "canonize/group_compression.hpp"

#include <cstdint>
#include <unordered_map>

namespace quorl {

std::string compress_groups(std::string_view text, std::span<const TextSpan> groups) {
    std::string output;
    output.reserve(text.size());
    // Numbers are handed out in order of first appearance, so nothing depends
    // on the map's iteration order.
    std::unordered_map<std::string_view, std::uint64_t> group_numbers;
    std::size_t copied = 0;
    for (const TextSpan& group : groups) {
        QUORL_ASSERT(group.begin >= copied && group.begin + group.size <= text.size());
        output.append(text.substr(copied, group.begin - copied));
        const auto [entry, added] =
            group_numbers.try_emplace(text.substr(group.begin, group.size), group_numbers.size() + 1);
        output += '$';
        output += std::to_string(entry->second);
        copied = group.begin + group.size;
    }
    output.append(text.substr(copied));
    return output;
}

}  // namespace quorl
