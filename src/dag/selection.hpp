// What inbound and cobound selection share: the list of the best candidates
// reported in trace events, and how a floor is written there.
#pragma once

#include <compare>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "dag/trace.hpp"

namespace quorl {

inline constexpr std::size_t kTracedCandidates = 5;

// Inserts `entry` before the first listed entry it strictly precedes (else at
// the end) and keeps the first kTracedCandidates entries, so earlier entries
// win ties.
template <class Entry, class Compare>
void keep_among_best(std::vector<Entry>& best, const Entry& entry, Compare compare) {
    auto at = best.begin();
    while (at != best.end() && compare(entry, *at) != std::strong_ordering::less) ++at;
    best.insert(at, entry);
    if (best.size() > kTracedCandidates) best.pop_back();
}

// Floors reach trace events as plain decimal numbers; the selections only see
// floors of levelled nodes, which are never negative.
inline JsonValue floor_field(std::int32_t floor) {
    if (floor < 0) return {std::int64_t{floor}};
    return {static_cast<std::uint64_t>(floor)};
}

}  // namespace quorl
