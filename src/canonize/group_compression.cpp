#include "canonize/group_compression.hpp"

#include <bit>
#include <cstdint>
#include <functional>
#include <vector>

namespace quorl {

std::string compress_groups(std::string_view text, std::span<const TextSpan> groups) {
    std::string output;
    output.reserve(text.size());
    // The distinct contents seen so far, in an open-addressed table of at
    // least twice as many slots as groups (one allocation, never full): each
    // used slot holds a content's number and the group it first appeared in.
    // Numbers are handed out in order of first appearance, so nothing depends
    // on where a content lands in the table.
    struct Slot {
        std::uint64_t number = 0;  // 0: empty
        std::size_t first_group = 0;
    };
    std::vector<Slot> slots(groups.empty() ? 0 : std::bit_ceil(2 * groups.size()));
    const std::size_t mask = slots.size() - 1;
    const auto content = [&](std::size_t group) { return text.substr(groups[group].begin, groups[group].size); };
    std::uint64_t distinct = 0;
    std::size_t copied = 0;
    for (std::size_t group = 0; group < groups.size(); ++group) {
        const TextSpan& span = groups[group];
        QUORL_ASSERT(span.begin >= copied && span.begin + span.size <= text.size());
        output.append(text.substr(copied, span.begin - copied));
        const std::string_view here = content(group);
        std::size_t at = std::hash<std::string_view>{}(here) & mask;
        while (slots[at].number != 0 && content(slots[at].first_group) != here) at = (at + 1) & mask;
        if (slots[at].number == 0) slots[at] = Slot{++distinct, group};
        output += '$';
        output += std::to_string(slots[at].number);
        copied = span.begin + span.size;
    }
    output.append(text.substr(copied));
    return output;
}

}  // namespace quorl
