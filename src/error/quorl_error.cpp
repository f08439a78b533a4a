#include "error/quorl_error.hpp"

#include <new>
#include <stdexcept>

namespace quorl {

namespace {

std::string_view prefix_of(ErrorKind kind) {
    switch (kind) {
        case ErrorKind::Io: return "io error: ";
        case ErrorKind::Parse: return "parse error: ";
        case ErrorKind::MissingNode: return "missing node: ";
        case ErrorKind::InvalidRule: return "invalid rule: ";
        case ErrorKind::Unsupported: return "unsupported: ";
        case ErrorKind::Interrupted: return "interrupted: ";
        case ErrorKind::OutOfMemory: return "out of memory: ";
    }
    return "";
}

}  // namespace

std::string QuorlError::display() const {
    std::string text(prefix_of(kind_));
    text += message_;
    return text;
}

void fail_invariant(const char* condition, const char* file, int line) {
    throw InternalFault(std::string("internal fault: ") + condition + " (" + file + ":" + std::to_string(line) + ")");
}

Escaped classify_escaped(const std::exception_ptr& exception) noexcept {
    try {
        std::rethrow_exception(exception);
    } catch (const std::bad_alloc&) {
        return {EscapedKind::OutOfMemory, "out of memory"};
    } catch (const std::length_error& error) {
        return {EscapedKind::OutOfMemory, error.what()};
    } catch (const std::exception& fault) {
        return {EscapedKind::InternalFault, fault.what()};
    } catch (...) {
        return {EscapedKind::InternalFault, "unknown internal fault"};
    }
}

}  // namespace quorl
