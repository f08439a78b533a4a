// The 32-bit index limits of the store. Filling a store to 4G slots is out of
// reach in a test, so the check every slot addition goes through is tested at
// its bounds directly.
#include "graph/graph_wrap.hpp"

#include <gtest/gtest.h>

namespace quorl {
namespace {

TEST(SlotLimits, LastIndicesBelowTheLimitsAreGiven) {
    EXPECT_EQ(appended_slot_index(0, kMaxNodeSlots), 0u);
    EXPECT_EQ(appended_slot_index(kMaxNodeSlots - 1, kMaxNodeSlots), 0xFFFFFFFDu);
    EXPECT_EQ(appended_slot_index(kMaxEdgeSlots - 1, kMaxEdgeSlots), 0xFFFFFFFEu);
}

TEST(SlotLimits, ReachingALimitIsAnInternalFaultNotAWrap) {
    EXPECT_THROW(appended_slot_index(kMaxNodeSlots, kMaxNodeSlots), InternalFault);
    EXPECT_THROW(appended_slot_index(kMaxEdgeSlots, kMaxEdgeSlots), InternalFault);
    EXPECT_THROW(appended_slot_index(std::size_t{1} << 33, kMaxEdgeSlots), InternalFault);
}

}  // namespace
}  // namespace quorl
