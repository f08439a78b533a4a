// Shortening of the repeated brace groups of a tree text.
#pragma once

#include <span>
#include <string>
#include <string_view>

#include "tree/tree_string.hpp"

namespace quorl {

// Replaces the content of each of the writer's groups (TreeText::groups, in
// text order) by "$n", where n numbers the distinct contents from 1 in order
// of first appearance. Every other byte, braces in labels, modalities and
// origins included, is copied as it is.
std::string compress_groups(std::string_view text, std::span<const TextSpan> groups);

}  // namespace quorl
