#include "error/quorl_error.hpp"

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

}  // namespace quorl
