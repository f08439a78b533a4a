// MD5 digests of byte strings. Nothing else in the engine knows where the
// digest comes from.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "error/quorl_error.hpp"
#include "graph/graph_wrap.hpp"

namespace quorl {

Digest md5_digest(std::string_view bytes);
// The same, asking `stop` (when given) as it goes; nothing when it asked to stop.
std::optional<Digest> md5_digest(std::string_view bytes, StopPoll* stop);

// The MD5 digest of bytes given piece by piece: the same digest as of all the
// pieces joined, without joining them.
class Md5Digester {
public:
    void add(std::string_view bytes);
    // The digest of everything added; the digester is spent.
    Digest finish();

private:
    std::array<std::uint32_t, 4> state_ = {0x67452301, 0xefcdab89, 0x98badcfe, 0x10325476};
    std::array<unsigned char, 64> block_{};  // the bytes added since the last whole block
    std::size_t buffered_ = 0;
    std::uint64_t length_ = 0;
};

// 32 lowercase hexadecimal digits, two per byte in digest order.
std::string to_lower_hex(const Digest& digest);
// The same digits written to `out`, which has room for 32 characters.
void write_lower_hex(const Digest& digest, char* out);

}  // namespace quorl
