// MD5 digests of byte strings. Nothing else in the engine knows where the
// digest comes from.
#pragma once

#include <string>
#include <string_view>

#include "graph/graph_wrap.hpp"

namespace quorl {

Digest md5_digest(std::string_view bytes);

// 32 lowercase hexadecimal digits, two per byte in digest order.
std::string to_lower_hex(const Digest& digest);
// The same digits written to `out`, which has room for 32 characters.
void write_lower_hex(const Digest& digest, char* out);

}  // namespace quorl
