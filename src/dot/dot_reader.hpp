// Reading graphs from the line-oriented DOT subset.
#pragma once

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

// Reads the whole file as UTF-8 and parses it; read failures carry the
// operating system's text as "{} (os error {})".
Failable<GraphWrap> parse_dot_file(std::string_view path);

}  // namespace quorl
