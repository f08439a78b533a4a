// MD5 digests of byte strings. Nothing else in the engine knows where the
// digest comes from.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "error/quorl_error.hpp"
#include "graph/graph_wrap.hpp"

namespace quorl {

Digest md5_digest(std::string_view bytes);
// The same, asking `stop` (when given) as it goes; nothing when it asked to stop.
std::optional<Digest> md5_digest(std::string_view bytes, StopPoll* stop);

// 32 lowercase hexadecimal digits, two per byte in digest order.
std::string to_lower_hex(const Digest& digest);
// The same digits written to `out`, which has room for 32 characters.
void write_lower_hex(const Digest& digest, char* out);

}  // namespace quorl
