#include "dag/trace.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <system_error>
#include <type_traits>

namespace quorl {

namespace {

bool switch_on(const char* variable) {
    const char* value = std::getenv(variable);
    return value != nullptr && std::strcmp(value, "1") == 0;
}

// Shortest digits that read back as the same double: fixed notation with at
// least one digit after the point for magnitudes in [1e-4, 1e16), otherwise
// exponent notation with an explicit sign and no zero padding (1e+20, 2.5e-7).
void append_double(std::string& out, double value) {
    if (!std::isfinite(value)) {
        out += "null";
        return;
    }
    if (value == 0.0) {
        out += std::signbit(value) ? "-0.0" : "0.0";
        return;
    }
    char buffer[64];
    const double magnitude = std::fabs(value);
    if (magnitude >= 1e-4 && magnitude < 1e16) {
        const auto [end, error] = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed);
        QUORL_ASSERT(error == std::errc());
        const std::string_view digits(buffer, static_cast<std::size_t>(end - buffer));
        out += digits;
        if (digits.find('.') == std::string_view::npos) out += ".0";
        return;
    }
    const auto [end, error] = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::scientific);
    QUORL_ASSERT(error == std::errc());
    const std::string_view digits(buffer, static_cast<std::size_t>(end - buffer));
    const std::size_t e = digits.find('e');
    QUORL_ASSERT(e != std::string_view::npos && e + 2 < digits.size());
    out += digits.substr(0, e + 2);  // mantissa, 'e' and the exponent's sign
    std::string_view exponent = digits.substr(e + 2);
    while (exponent.size() > 1 && exponent.front() == '0') exponent.remove_prefix(1);
    out += exponent;
}

template <class Integer>
void append_integer(std::string& out, Integer value) {
    char buffer[24];
    const auto [end, error] = std::to_chars(buffer, buffer + sizeof buffer, value);
    QUORL_ASSERT(error == std::errc());
    out.append(buffer, end);
}

void append_escaped(std::string& out, std::string_view text) {
    for (const char c : text) {
        switch (c) {
            case '\\': out += "\\\\"; break;
            case '"': out += "\\\""; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            default: out += c;
        }
    }
}

void append_quoted(std::string& out, std::string_view text) {
    out += '"';
    append_escaped(out, text);
    out += '"';
}

// Nested arrays and objects are encoded with an explicit work list: each item
// is a value still to encode, a piece of punctuation, or an object key.
void append_json(std::string& out, const JsonValue& root) {
    enum class Kind : std::uint8_t { Value, Punctuation, Key };
    struct Item {
        Kind kind;
        const JsonValue* value;
        std::string_view text;
    };
    std::vector<Item> work{{Kind::Value, &root, {}}};
    while (!work.empty()) {
        const Item item = work.back();
        work.pop_back();
        if (item.kind == Kind::Punctuation) {
            out += item.text;
            continue;
        }
        if (item.kind == Kind::Key) {
            append_quoted(out, item.text);
            out += ':';
            continue;
        }
        std::visit(
            [&](const auto& value) {
                using Type = std::decay_t<decltype(value)>;
                if constexpr (std::is_same_v<Type, std::nullptr_t>) {
                    out += "null";
                } else if constexpr (std::is_same_v<Type, bool>) {
                    out += value ? "true" : "false";
                } else if constexpr (std::is_same_v<Type, std::uint64_t> || std::is_same_v<Type, std::int64_t>) {
                    append_integer(out, value);
                } else if constexpr (std::is_same_v<Type, double>) {
                    append_double(out, value);
                } else if constexpr (std::is_same_v<Type, std::string>) {
                    append_quoted(out, value);
                } else if constexpr (std::is_same_v<Type, JsonArray>) {
                    out += '[';
                    work.push_back({Kind::Punctuation, nullptr, "]"});
                    for (std::size_t i = value.size(); i-- > 0;) {
                        work.push_back({Kind::Value, &value[i], {}});
                        if (i > 0) work.push_back({Kind::Punctuation, nullptr, ","});
                    }
                } else {
                    static_assert(std::is_same_v<Type, JsonObject>);
                    std::vector<const TraceField*> entries;
                    entries.reserve(value.size());
                    for (const auto& entry : value) entries.push_back(&entry);
                    std::stable_sort(entries.begin(), entries.end(),
                                     [](const auto* a, const auto* b) { return a->key < b->key; });
                    out += '{';
                    work.push_back({Kind::Punctuation, nullptr, "}"});
                    for (std::size_t i = entries.size(); i-- > 0;) {
                        work.push_back({Kind::Value, &entries[i]->value, {}});
                        work.push_back({Kind::Key, nullptr, entries[i]->key});
                        if (i > 0) work.push_back({Kind::Punctuation, nullptr, ","});
                    }
                }
            },
            item.value->value);
    }
}

}  // namespace

bool trace_enabled() { return switch_on("QUORL_TRACE"); }

bool magnet_trace_enabled() { return trace_enabled() && switch_on("QUORL_TRACE_MAGNET"); }

std::string escape_json(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    append_escaped(out, text);
    return out;
}

std::string to_json(const JsonValue& value) {
    std::string out;
    append_json(out, value);
    return out;
}

void emit(const TraceSwitches& trace, std::string_view event, std::vector<TraceField> fields) {
    if (!trace.events) return;
    // std::string's ordering compares bytes as unsigned char, shorter prefix first.
    std::stable_sort(fields.begin(), fields.end(),
                     [](const TraceField& a, const TraceField& b) { return a.key < b.key; });
    std::string line = "TRACE ";
    line += event;
    for (const TraceField& field : fields) {
        line += ' ';
        line += field.key;
        line += '=';
        append_json(line, field.value);
    }
    line += '\n';
    // One write per line, flushed at once, so lines interleave in order with
    // whatever else the process prints on standard output.
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fflush(stdout);
}

void emit_counts(const TraceSwitches& trace, const GraphWrap& graph) {
    if (!trace.events) return;
    std::uint64_t virtuals = 0;
    std::uint64_t mirrors = 0;
    for (NodeIndex n = 0; n < graph.node_bound(); ++n) {
        const NodeData* node = graph.node(n);
        if (node == nullptr) continue;
        if (node->meta.is_virtual) ++virtuals;
        if (node->meta.is_mirror) ++mirrors;
    }
    emit(trace, "dag_counts", {{"nodes", {std::uint64_t{graph.node_count()}}},
                        {"edges", {std::uint64_t{graph.edge_count()}}},
                        {"virtuals", {virtuals}},
                        {"mirrors", {mirrors}}});
}

void emit(std::string_view event, std::vector<TraceField> fields) {
    emit(TraceSwitches::from_environment(), event, std::move(fields));
}

void emit_counts(const GraphWrap& graph) { emit_counts(TraceSwitches::from_environment(), graph); }

}  // namespace quorl
