#include "dot/dot_reader.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <expected>
#include <optional>
#include <system_error>

namespace quorl {
namespace {

// White space is the Unicode White_Space property, matched on the UTF-8
// bytes: tab..carriage return, space, U+0085, U+00A0, U+1680, U+2000..U+200A,
// U+2028, U+2029, U+202F, U+205F and U+3000. U+001C..U+001F are not in it.
bool is_ascii_white_space(unsigned char b) { return b == 0x20 || (b >= 0x09 && b <= 0x0D); }

bool is_two_byte_white_space(unsigned char b0, unsigned char b1) {
    return b0 == 0xC2 && (b1 == 0x85 || b1 == 0xA0);
}

bool is_three_byte_white_space(unsigned char b0, unsigned char b1, unsigned char b2) {
    switch (b0) {
        case 0xE1:
            return b1 == 0x9A && b2 == 0x80;
        case 0xE2:
            if (b1 == 0x80) return b2 <= 0x8A ? b2 >= 0x80 : (b2 == 0xA8 || b2 == 0xA9 || b2 == 0xAF);
            return b1 == 0x81 && b2 == 0x9F;
        case 0xE3:
            return b1 == 0x80 && b2 == 0x80;
        default:
            return false;
    }
}

unsigned char byte_at(std::string_view text, std::size_t at) { return static_cast<unsigned char>(text[at]); }

// Length in bytes of the white-space character that text begins with; 0 if none.
std::size_t leading_white_space(std::string_view text) {
    if (text.empty()) return 0;
    const unsigned char b0 = byte_at(text, 0);
    if (b0 < 0x80) return is_ascii_white_space(b0) ? 1 : 0;
    if (text.size() >= 2 && is_two_byte_white_space(b0, byte_at(text, 1))) return 2;
    if (text.size() >= 3 && is_three_byte_white_space(b0, byte_at(text, 1), byte_at(text, 2))) return 3;
    return 0;
}

// Length in bytes of the white-space character that text ends with; 0 if none.
// UTF-8 lead bytes never occur as continuation bytes, so matching the last
// bytes finds exactly the last character.
std::size_t trailing_white_space(std::string_view text) {
    const std::size_t n = text.size();
    if (n == 0) return 0;
    const unsigned char last = byte_at(text, n - 1);
    if (last < 0x80) return is_ascii_white_space(last) ? 1 : 0;
    if (n >= 2 && is_two_byte_white_space(byte_at(text, n - 2), last)) return 2;
    if (n >= 3 && is_three_byte_white_space(byte_at(text, n - 3), byte_at(text, n - 2), last)) return 3;
    return 0;
}

std::string_view trim(std::string_view text) {
    while (const std::size_t n = leading_white_space(text)) text.remove_prefix(n);
    while (const std::size_t n = trailing_white_space(text)) text.remove_suffix(n);
    return text;
}

enum class NodeIdFault : std::uint8_t { Empty, Invalid };

// The node id within text, as a slice of it, so the reader allocates nothing
// for ids that the store already holds.
std::expected<std::string_view, NodeIdFault> node_id_in(std::string_view text) {
    const std::string_view trimmed = trim(text);
    if (trimmed.empty()) return std::unexpected(NodeIdFault::Empty);
    // The id ends at the first white space or "["; a piece cut that way from a
    // trimmed text has no white space left to trim.
    std::size_t end = 0;
    while (end < trimmed.size() && trimmed[end] != '[' && leading_white_space(trimmed.substr(end)) == 0) ++end;
    if (end == 0) return std::unexpected(NodeIdFault::Invalid);
    return trimmed.substr(0, end);
}

std::string node_id_message(NodeIdFault fault, std::string_view text) {
    if (fault == NodeIdFault::Empty) return "empty node id";
    std::string message = "invalid node id in '";
    message += text;
    message += '\'';
    return message;
}

std::string line_failure(std::size_t line_number, NodeIdFault fault, std::string_view text) {
    return "line " + std::to_string(line_number) + ": " + node_id_message(fault, text);
}

// The only attributes the reader uses; a later occurrence of a key on the
// line replaces an earlier one.
struct LineAttributes {
    std::optional<std::string_view> label;
    std::optional<std::string_view> weight;
};

std::string_view strip_one_quote_pair(std::string_view value) {
    if (value.size() >= 2 && value.front() == value.back() && (value.front() == '"' || value.front() == '\'')) {
        return value.substr(1, value.size() - 2);
    }
    return value;
}

// Reads the text between the first "[" and the first "]" after it; without
// both there are no attributes. Commas and "]" inside quotes are not special.
LineAttributes attributes_of(std::string_view line) {
    LineAttributes attributes;
    const std::size_t open = line.find('[');
    if (open == std::string_view::npos) return attributes;
    const std::size_t close = line.find(']', open + 1);
    if (close == std::string_view::npos) return attributes;
    std::string_view rest = line.substr(open + 1, close - open - 1);
    while (true) {
        const std::size_t comma = rest.find(',');
        const std::string_view piece = rest.substr(0, comma);
        const std::size_t equals = piece.find('=');
        const std::string_view key = trim(piece.substr(0, equals));
        const std::string_view value =
            equals == std::string_view::npos ? std::string_view{} : strip_one_quote_pair(trim(piece.substr(equals + 1)));
        if (key == "label") {
            attributes.label = value;
        } else if (key == "weight") {
            attributes.weight = value;
        }
        if (comma == std::string_view::npos) break;
        rest.remove_prefix(comma + 1);
    }
    return attributes;
}

bool is_skipped(std::string_view line) {
    return line.empty() || line.starts_with("graph") || line.starts_with("strict graph") || line.front() == '}';
}

// Reads one trimmed, non-skipped line into the graph; fails with the fault of
// the node id text that has no usable id.
Failable<void> read_statement(std::string_view line, std::size_t line_number, GraphWrap& graph) {
    const LineAttributes attributes = attributes_of(line);
    if (const std::size_t dashes = line.find("--"); dashes != std::string_view::npos) {
        const std::string_view left = line.substr(0, dashes);
        const auto first = node_id_in(left);
        if (!first) return std::unexpected(line_failure(line_number, first.error(), left));
        std::string_view right = trim(line.substr(dashes + 2));
        if (right.ends_with(';')) right = trim(right.substr(0, right.size() - 1));
        const auto second = node_id_in(right);
        if (!second) return std::unexpected(line_failure(line_number, second.error(), right));
        graph.add_edge_with_modality(*first, *second, attributes.weight.value_or("1"));
    } else if (line.find('[') != std::string_view::npos) {
        const auto id = node_id_in(line);
        if (!id) return std::unexpected(line_failure(line_number, id.error(), line));
        graph.ensure_node(*id, attributes.label.value_or("."));
    }
    return {};
}

// Strict UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF.
bool is_valid_utf8(std::string_view text) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
    const std::size_t n = text.size();
    std::size_t at = 0;
    while (at < n) {
        // Eight ASCII bytes at a time: the common case for DOT text.
        if (n - at >= 8) {
            std::uint64_t word;
            std::memcpy(&word, bytes + at, sizeof word);
            if ((word & 0x8080808080808080ULL) == 0) {
                at += 8;
                continue;
            }
        }
        const unsigned char b0 = bytes[at];
        if (b0 < 0x80) {
            ++at;
            continue;
        }
        std::size_t length;
        unsigned char low = 0x80;  // allowed range of the second byte
        unsigned char high = 0xBF;
        if (b0 >= 0xC2 && b0 <= 0xDF) {
            length = 2;
        } else if (b0 >= 0xE0 && b0 <= 0xEF) {
            length = 3;
            if (b0 == 0xE0) low = 0xA0;   // overlong
            if (b0 == 0xED) high = 0x9F;  // surrogates
        } else if (b0 >= 0xF0 && b0 <= 0xF4) {
            length = 4;
            if (b0 == 0xF0) low = 0x90;   // overlong
            if (b0 == 0xF4) high = 0x8F;  // above U+10FFFF
        } else {
            return false;
        }
        if (n - at < length) return false;
        if (bytes[at + 1] < low || bytes[at + 1] > high) return false;
        for (std::size_t k = 2; k < length; ++k) {
            if (bytes[at + k] < 0x80 || bytes[at + k] > 0xBF) return false;
        }
        at += length;
    }
    return true;
}

std::string os_error_message(int error) {
    return std::generic_category().message(error) + " (os error " + std::to_string(error) + ")";
}

// Closes the descriptor on every path out of read_whole_file.
class FileDescriptor {
public:
    explicit FileDescriptor(int fd) : fd_(fd) {}
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    ~FileDescriptor() {
        if (fd_ >= 0) ::close(fd_);
    }
    int get() const { return fd_; }

private:
    int fd_;
};

std::string too_large_message(std::uint64_t max_bytes) {
    return "input is larger than the limit of " + std::to_string(max_bytes) + " bytes";
}

// The whole file in one string, at most `max_bytes` of it. A regular file is
// read into a buffer sized from its length plus one byte, so the end is seen
// without growing it; other files (pipes, devices) grow the buffer as they
// deliver, never past the limit plus the one byte that shows it was passed.
Failable<std::string> read_whole_file(const std::string& path, std::uint64_t max_bytes, const StopCheck& stop) {
    const FileDescriptor file(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (file.get() < 0) return std::unexpected(os_error_message(errno));
    struct stat status {};
    if (::fstat(file.get(), &status) != 0) return std::unexpected(os_error_message(errno));
    const bool regular = S_ISREG(status.st_mode);
    if (regular && static_cast<std::uint64_t>(status.st_size) > max_bytes) {
        return std::unexpected(too_large_message(max_bytes));
    }
    constexpr std::size_t kChunk = 64 * 1024;
    // One byte past the limit proves it was passed.
    const std::uint64_t most = max_bytes == UINT64_MAX ? max_bytes : max_bytes + 1;
    std::string text;
    text.resize(regular ? static_cast<std::size_t>(status.st_size) + 1
                        : static_cast<std::size_t>(std::min<std::uint64_t>(kChunk, most)));
    std::size_t filled = 0;
    while (true) {
        if (stop.stop_requested()) return std::unexpected(std::string(kInterruptedRead));
        if (filled == text.size()) {
            if (filled >= most) return std::unexpected(too_large_message(max_bytes));
            const std::uint64_t grown = filled + std::max(kChunk, text.size() / 2);
            text.resize(static_cast<std::size_t>(std::min(grown, most)));
        }
        const ssize_t got = ::read(file.get(), text.data() + filled, text.size() - filled);
        if (got < 0) {
            if (errno == EINTR) continue;  // a signal: the check above decides whether to go on
            return std::unexpected(os_error_message(errno));
        }
        if (got == 0) break;
        filled += static_cast<std::size_t>(got);
    }
    if (filled > max_bytes) return std::unexpected(too_large_message(max_bytes));
    text.resize(filled);
    return text;
}

}  // namespace

Failable<std::string> parse_node_id(std::string_view text) {
    const auto id = node_id_in(text);
    if (!id) return std::unexpected(node_id_message(id.error(), text));
    return std::string(*id);
}

Failable<GraphWrap> parse_dot_content(std::string_view text) {
    GraphWrap graph;
    std::size_t line_number = 0;
    // Lines end at each line feed; a carriage return before it is white
    // space and goes with the trim. Text ending in a line feed has no empty
    // line after it.
    while (!text.empty()) {
        ++line_number;
        const std::size_t feed = text.find('\n');
        const std::string_view line = trim(text.substr(0, feed));
        text.remove_prefix(feed == std::string_view::npos ? text.size() : feed + 1);
        if (is_skipped(line)) continue;
        if (auto read = read_statement(line, line_number, graph); !read) return std::unexpected(std::move(read.error()));
    }
    return graph;
}

Failable<GraphWrap> parse_dot_file(std::string_view path, std::uint64_t max_bytes, const StopCheck& stop) {
    if (path.find('\0') != std::string_view::npos) {
        return std::unexpected(std::string("file name contained an unexpected NUL byte"));
    }
    auto text = read_whole_file(std::string(path), max_bytes, stop);
    if (!text) return std::unexpected(std::move(text.error()));
    if (!is_valid_utf8(*text)) return std::unexpected(std::string("stream did not contain valid UTF-8"));
    return parse_dot_content(*text);
}

}  // namespace quorl
