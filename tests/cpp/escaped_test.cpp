// What an exception escaping the engine becomes at the host boundary: the
// host raises MemoryError for OutOfMemory and InternalError otherwise.
#include "error/quorl_error.hpp"

#include <gtest/gtest.h>

#include <functional>
#include <new>
#include <stdexcept>
#include <string>
#include <vector>

namespace quorl {
namespace {

struct Classified {
    EscapedKind kind;
    std::string message;  // copied: Escaped::message lives only as long as the exception
};

Classified escaped_from(const std::function<void()>& body) {
    try {
        body();
    } catch (...) {
        const Escaped escaped = classify_escaped(std::current_exception());
        return {escaped.kind, escaped.message};
    }
    ADD_FAILURE() << "nothing was thrown";
    return {EscapedKind::InternalFault, ""};
}

struct EscapedCase {
    const char* name;
    std::function<void()> body;
    EscapedKind kind;
    std::string message;  // empty: not checked
};

class EscapedTest : public testing::TestWithParam<EscapedCase> {};

TEST_P(EscapedTest, Classifies) {
    const Classified escaped = escaped_from(GetParam().body);
    EXPECT_EQ(escaped.kind, GetParam().kind);
    if (!GetParam().message.empty()) {
        EXPECT_EQ(escaped.message, GetParam().message);
    }
}

// A string or vector asked to outgrow what the library can hold throws
// std::length_error: that is running out of memory, not a broken invariant.
INSTANTIATE_TEST_SUITE_P(
    Exceptions, EscapedTest,
    testing::Values(
        EscapedCase{"bad_alloc", [] { throw std::bad_alloc(); }, EscapedKind::OutOfMemory, "out of memory"},
        EscapedCase{"string_too_long",
                    [] {
                        std::string text;
                        text.reserve(text.max_size() + 1);
                    },
                    EscapedKind::OutOfMemory, ""},
        EscapedCase{"vector_too_long",
                    [] {
                        std::vector<int> items;
                        items.resize(items.max_size() + 1);
                    },
                    EscapedKind::OutOfMemory, ""},
        EscapedCase{"array_length", [] { throw std::bad_array_new_length(); }, EscapedKind::OutOfMemory, ""},
        EscapedCase{"broken_invariant", [] { QUORL_ASSERT(1 + 1 == 3); }, EscapedKind::InternalFault, ""},
        EscapedCase{"logic_error", [] { throw std::out_of_range("index 7"); }, EscapedKind::InternalFault,
                    "index 7"},
        EscapedCase{"not_an_exception", [] { throw 7; }, EscapedKind::InternalFault, "unknown internal fault"}),
    [](const testing::TestParamInfo<EscapedCase>& info) { return std::string(info.param.name); });

TEST(Escaped, InternalFaultCarriesTheBrokenCondition) {
    const Classified escaped = escaped_from([] { QUORL_ASSERT(1 + 1 == 3); });
    EXPECT_NE(escaped.message.find("1 + 1 == 3"), std::string::npos);
}

}  // namespace
}  // namespace quorl
