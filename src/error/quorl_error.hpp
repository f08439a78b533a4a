// The engine's error type and the result types every fallible operation returns.
#pragma once

#include <chrono>
#include <cstdint>
#include <exception>
#include <expected>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>

namespace quorl {

// Kinds in their declared order. Only Parse and Unsupported are raised by the
// engine for what it refuses; the last two are about the call, not the graph:
// Interrupted means the caller asked the computation to stop (a signal, its
// deadline), and the host reports that instead of this error; OutOfMemory
// means the call would have held more than its memory budget allows.
enum class ErrorKind : std::uint8_t { Io, Parse, MissingNode, InvalidRule, Unsupported, Interrupted, OutOfMemory };

class QuorlError {
public:
    QuorlError(ErrorKind kind, std::string message) : kind_(kind), message_(std::move(message)) {}

    ErrorKind kind() const { return kind_; }
    const std::string& message() const { return message_; }

    // The kind's prefix followed by the message, unchanged.
    std::string display() const;

private:
    ErrorKind kind_;
    std::string message_;
};

template <class T>
using Result = std::expected<T, QuorlError>;

// Lower layers (the DOT reader, the floor search, the tree writers) fail with a
// plain message; their callers wrap it in a QuorlError of the kind they report.
template <class T>
using Failable = std::expected<T, std::string>;

inline std::unexpected<QuorlError> parse_error(std::string message) {
    return std::unexpected(QuorlError(ErrorKind::Parse, std::move(message)));
}

inline std::unexpected<QuorlError> unsupported_error(std::string message) {
    return std::unexpected(QuorlError(ErrorKind::Unsupported, std::move(message)));
}

inline std::unexpected<QuorlError> interrupted_error() {
    return std::unexpected(QuorlError(ErrorKind::Interrupted, "interrupted"));
}

inline std::unexpected<QuorlError> out_of_memory_error(std::string message) {
    return std::unexpected(QuorlError(ErrorKind::OutOfMemory, std::move(message)));
}

class MemoryBudget;

// What bounds one call, as its long loops see it: they ask between steps
// whether to stop (the host's poll answers Ctrl-C; a deadline passed stops
// too), and take what they are about to hold out of the call's memory budget
// (none: no limit). The default never stops and has no budget.
class StopCheck {
public:
    using Poll = bool (*)(void* context);
    using Clock = std::chrono::steady_clock;
    StopCheck() = default;
    StopCheck(Poll poll, void* context) : poll_(poll), context_(context) {}

    StopCheck with_deadline(std::optional<Clock::time_point> deadline) const {
        StopCheck check = *this;
        check.deadline_ = deadline;
        return check;
    }
    StopCheck with_memory_budget(MemoryBudget* budget) const {
        StopCheck check = *this;
        check.memory_ = budget;
        return check;
    }

    bool stop_requested() const { return deadline_passed() || (poll_ != nullptr && poll_(context_)); }
    bool deadline_passed() const { return deadline_ && Clock::now() >= *deadline_; }
    MemoryBudget* memory_budget() const { return memory_; }

private:
    Poll poll_ = nullptr;
    void* context_ = nullptr;
    std::optional<Clock::time_point> deadline_;
    MemoryBudget* memory_ = nullptr;
};

// Polls a StopCheck from inside loops that run per node or per edge, so a long
// step answers a stop request within a fraction of a millisecond: a counter
// decides when the check itself runs, so a poll costs an increment. Once the
// check has asked to stop, every later poll says so too, so that callers
// several layers up can tell an interrupted step from a failed one. A step
// deep inside a lower layer (the tree writer) that finds what it is about to
// hold beyond the call's memory budget stops the poll the same way, with the
// out-of-memory error its callers report. One per call and thread; never shared.
class StopPoll {
public:
    explicit StopPoll(const StopCheck& check) : check_(check) {}

    MemoryBudget* memory_budget() const { return check_.memory_budget(); }
    // Stops every later poll; stop_error() reports `error` (an out-of-memory error).
    void stop_with(QuorlError error) {
        stopped_ = true;
        refusal_ = std::move(error);
    }
    // What a step that stopped reports: the error stop_with was given, else an interruption.
    QuorlError stop_error() const { return refusal_ ? *refusal_ : interrupted_error().error(); }

    // Runs the check once every kInterval polls.
    bool poll() {
        if (stopped_) return true;
        if (++polls_ < kInterval) return false;
        return check_now();
    }
    // Runs the check at once (between passes and candidates).
    bool check_now() {
        polls_ = 0;
        if (!stopped_) stopped_ = check_.stop_requested();
        return stopped_;
    }
    bool stopped() const { return stopped_; }

private:
    static constexpr std::uint32_t kInterval = 256;

    StopCheck check_;
    std::uint32_t polls_ = 0;
    bool stopped_ = false;
    std::optional<QuorlError> refusal_;
};

// A lower layer's failure `message` in a step polled by `stop`: the poll's own
// error when it stopped (an interruption, the memory budget), else a parse error.
inline std::unexpected<QuorlError> polled_failure(const StopPoll& stop, std::string message) {
    if (stop.stopped()) return std::unexpected(stop.stop_error());
    return parse_error(std::move(message));
}

// A broken invariant of the engine: never a user error. The host boundary turns
// it into an exception the interpreter survives.
class InternalFault : public std::logic_error {
public:
    using std::logic_error::logic_error;
};

[[noreturn]] void fail_invariant(const char* condition, const char* file, int line);

// What an exception that escaped the engine means to its caller. Running out
// of memory includes asking for a string or vector longer than the library
// can hold (std::length_error): a text or rewrite too large to build, not a
// fault of the engine.
enum class EscapedKind : std::uint8_t { OutOfMemory, InternalFault };

struct Escaped {
    EscapedKind kind;
    const char* message;  // lives as long as the exception
};

// Classifies the exception held by `exception`, which must not be null.
Escaped classify_escaped(const std::exception_ptr& exception) noexcept;

}  // namespace quorl

// Checked in every build; a violation throws InternalFault.
#define QUORL_ASSERT(condition) \
    ((condition) ? static_cast<void>(0) : ::quorl::fail_invariant(#condition, __FILE__, __LINE__))
