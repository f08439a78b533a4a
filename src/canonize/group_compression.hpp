// Shortening of repeated brace groups in a tree text.
#pragma once

#include <string>
#include <string_view>

namespace quorl {

// Replaces the content of every outermost brace group by "$n", where n numbers
// the distinct contents from 1 in order of first appearance; nested groups
// belong to their outermost group's content. A "}" outside a group is copied;
// a group never closed keeps its "{" and drops its content. Works per UTF-8
// sequence, so only whole characters are compared and copied.
std::string compress_groups(std::string_view text);

}  // namespace quorl
