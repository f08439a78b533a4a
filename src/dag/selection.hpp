// What inbound and cobound selection share: the list of the best candidates
// reported in trace events, how a floor is written there, and the ranking of
// a floor's entries.
#pragma once

#include <algorithm>
#include <compare>
#include <cstddef>
#include <cstdint>
#include <numeric>
#include <span>
#include <type_traits>
#include <utility>
#include <vector>

#include "dag/trace.hpp"
#include "error/quorl_error.hpp"

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

// Fills `positions` with the positions of `entries` best first by
// `compare`, equal entries in their order.
template <class Entry, class Compare>
void stable_ranking(const std::vector<Entry>& entries, Compare compare, std::vector<std::size_t>& positions) {
    positions.resize(entries.size());
    std::iota(positions.begin(), positions.end(), std::size_t{0});
    // A stable sort takes a buffer even for one entry, which is its own ranking.
    if (positions.size() < 2) return;
    std::stable_sort(positions.begin(), positions.end(), [&](std::size_t a, std::size_t b) {
        return compare(entries[a], entries[b]) == std::strong_ordering::less;
    });
}

// Scores every item, in order, stopping at the first failure, and fills
// `order` with the items' positions best first, equal scores in their order:
// the order in which a scan that keeps the first best entry would pick them,
// taking out each pick before the next scan. (`compare` orders the scores of
// one floor totally: equal means equal in every key.)
template <class Item, class Score, class Compare>
Result<void> rank_by_score(std::span<const Item> items, Score score, Compare compare, std::vector<std::size_t>& order) {
    using Entry = typename std::invoke_result_t<Score, const Item&>::value_type;
    order.clear();
    if (items.empty()) return {};  // most floors of a rewrite hold nothing
    std::vector<Entry> entries;
    entries.reserve(items.size());
    for (const Item& item : items) {
        Result<Entry> entry = score(item);
        if (!entry) return std::unexpected(std::move(entry.error()));
        entries.push_back(std::move(*entry));
    }
    stable_ranking(entries, compare, order);
    return {};
}

// Floors reach trace events as plain decimal numbers; the selections only see
// floors of levelled nodes, which are never negative.
inline JsonValue floor_field(std::int32_t floor) {
    if (floor < 0) return {std::int64_t{floor}};
    return {static_cast<std::uint64_t>(floor)};
}

}  // namespace quorl
