// Reading graphs from the line-oriented DOT subset.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "error/quorl_error.hpp"
#include "graph/graph_wrap.hpp"

namespace quorl {

// A node id from a statement side; fails with "empty node id" or
// "invalid node id in '{}'".
Failable<std::string> parse_node_id(std::string_view text);

// One pass over the text, line by line; fails with "line {}: {}".
Failable<GraphWrap> parse_dot_content(std::string_view text);

// What parse_dot_file reads at most unless told otherwise: 4 GiB.
inline constexpr std::uint64_t kDefaultMaxDotBytes = std::uint64_t{4} << 30;

// Reads the whole file as UTF-8 and parses it; read failures carry the
// operating system's text as "{} (os error {})". A file, pipe or device that
// holds more than `max_bytes` fails with "input is larger than the limit of
// {} bytes" once that many are read (a regular file at once), so an endless
// stream ends. `stop` is polled between reads and when a signal interrupts
// one; when it asks to stop, the read fails with kInterruptedRead.
Failable<GraphWrap> parse_dot_file(std::string_view path, std::uint64_t max_bytes = kDefaultMaxDotBytes,
                                   const StopCheck& stop = {});

inline constexpr std::string_view kInterruptedRead = "interrupted";

}  // namespace quorl
