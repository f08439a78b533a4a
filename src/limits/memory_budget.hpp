// How much memory one engine call may hold, and how much it holds.
//
// The engine counts, before it commits memory, what a step will hold: the
// copies of the graph a rewrite works on, the copies expanded resolution makes
// of a region, the texts it writes. A step that would take the call past its
// budget fails with an out-of-memory error instead of allocating, so a graph
// too large for the machine ends in an error rather than in the kernel's
// out-of-memory killer. The account is an estimate from the sizes of the
// store's records and strings; it never changes what a call that fits writes.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "error/quorl_error.hpp"

namespace quorl {

// The share of the machine's memory a call may hold unless told otherwise:
// half of the memory available when the call first needs much (MemAvailable
// of /proc/meminfo, else the free physical pages), or half of the address
// space left under RLIMIT_AS when that is less.
inline constexpr std::uint64_t kMachineShareNumerator = 1;
inline constexpr std::uint64_t kMachineShareDenominator = 2;

// The bytes a call may hold by default, read from the system now.
std::uint64_t machine_memory_budget();

// A call's budget and its running account. Not shared between calls.
class MemoryBudget {
public:
    // At most `limit` bytes.
    explicit MemoryBudget(std::uint64_t limit) : limit_(limit) {}
    // The machine's share (machine_memory_budget), read only once the call
    // asks for more than kUnreadMachineBytes in all, so that small calls never
    // pay for reading it.
    static MemoryBudget of_machine() { return MemoryBudget(); }

    static constexpr std::uint64_t kUnreadMachineBytes = std::uint64_t{64} << 20;

    std::uint64_t limit();
    std::uint64_t held() const { return held_; }
    // Whether `bytes` more fit beside what is held.
    bool fits(std::uint64_t bytes);
    // The same, answered without reading the machine's memory: false where
    // only reading it could tell. For a step that asks whether work it may
    // leave out could have failed, which must not read it earlier than that work would.
    bool fits_unread(std::uint64_t bytes) const;
    void take(std::uint64_t bytes);
    void give_back(std::uint64_t bytes);

private:
    MemoryBudget() = default;

    std::optional<std::uint64_t> limit_;  // absent until the machine's share is read
    std::uint64_t held_ = 0;
};

// Bytes taken out of a budget for as long as the hold lives; with no budget
// everything fits and nothing is counted.
class MemoryHold {
public:
    explicit MemoryHold(MemoryBudget* budget) : budget_(budget) {}
    MemoryHold(const MemoryHold&) = delete;
    MemoryHold& operator=(const MemoryHold&) = delete;
    ~MemoryHold() {
        if (budget_ != nullptr) budget_->give_back(bytes_);
    }

    // Whether `bytes` more fit beside everything the budget holds.
    bool fits(std::uint64_t bytes) const { return budget_ == nullptr || budget_->fits(bytes); }
    // Takes `bytes` more when they fit; otherwise takes nothing and says so.
    bool try_take(std::uint64_t bytes);
    MemoryBudget* budget() const { return budget_; }

private:
    MemoryBudget* budget_;
    std::uint64_t bytes_ = 0;
};

// A byte count for messages, to three digits: "512 bytes", "3.40 kB", "12.0 MB", "250 GB".
std::string format_bytes(std::uint64_t bytes);

// "{step} needs {bytes} more, beyond the memory budget of {limit}": why a step was refused.
std::string beyond_budget_message(std::string_view step, std::uint64_t bytes, MemoryBudget& budget);

// Fails with an out-of-memory error whose message is beyond_budget_message
// unless `bytes` more fit beside everything the budget holds (always without one).
Result<void> check_fits(MemoryBudget* budget, std::uint64_t bytes, std::string_view step);

// Takes `bytes` into `hold`, or fails as check_fits does and takes nothing.
Result<void> take_or_fail(MemoryHold& hold, std::uint64_t bytes, std::string_view step);

// The same as check_fits for a step deep in a lower layer: false when they do not fit, and
// the poll is then stopped with that error, which its callers report.
bool fits_or_stop(StopPoll& stop, std::uint64_t bytes, std::string_view step);

}  // namespace quorl
