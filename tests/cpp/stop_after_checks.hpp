// A stop check for tests that stop a call part way.
#pragma once

namespace quorl::testing {

// Asks to stop from its `after`-th check on.
struct StopAfterChecks {
    int after;
    int checks = 0;
    static bool poll(void* self) {
        auto& stop = *static_cast<StopAfterChecks*>(self);
        return ++stop.checks >= stop.after;
    }
};

}  // namespace quorl::testing
