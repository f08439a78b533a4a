// The engine's error type and the result types every fallible operation returns.
#pragma once

#include <cstdint>
#include <exception>
#include <expected>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>

namespace quorl {

// Kinds in their declared order. Only Parse and Unsupported are raised by the
// engine; Interrupted is internal: it means the caller asked the computation to
// stop, and the host reports its own pending exception instead of this error.
enum class ErrorKind : std::uint8_t { Io, Parse, MissingNode, InvalidRule, Unsupported, Interrupted };

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

// Lets a long computation ask its caller, between steps, whether to stop (the
// host uses it to answer Ctrl-C). The default never stops.
class StopCheck {
public:
    using Poll = bool (*)(void* context);
    StopCheck() = default;
    StopCheck(Poll poll, void* context) : poll_(poll), context_(context) {}
    bool stop_requested() const { return poll_ != nullptr && poll_(context_); }

private:
    Poll poll_ = nullptr;
    void* context_ = nullptr;
};

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
