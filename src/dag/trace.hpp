// Diagnostic trace events: one "TRACE " line per event on standard output,
// written only when the environment switch QUORL_TRACE is exactly "1".
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "graph/graph_wrap.hpp"

namespace quorl {

struct JsonValue;
struct TraceField;
using JsonArray = std::vector<JsonValue>;
// An object's members are key/value fields like an event's; written in byte
// order of keys. (A std::pair member would need JsonValue complete here.)
using JsonObject = std::vector<TraceField>;

struct JsonValue {
    std::variant<std::nullptr_t, bool, std::uint64_t, std::int64_t, double, std::string, JsonArray, JsonObject> value;
};

struct TraceField {
    std::string key;
    JsonValue value;
};

// Read afresh on every call; on only for the exact value "1".
bool trace_enabled();
bool magnet_trace_enabled();

// Both switches as one call reads them once at its start: nothing can change
// them while it runs.
struct TraceSwitches {
    bool events = false;   // QUORL_TRACE
    bool magnets = false;  // QUORL_TRACE_MAGNET, and QUORL_TRACE too
    static TraceSwitches from_environment() { return {trace_enabled(), magnet_trace_enabled()}; }
};

// Writes the event when tracing is on; fields are written sorted by key.
void emit(std::string_view event, std::vector<TraceField> fields);
// The "dag_counts" event: live nodes, live edges, virtual and mirror nodes.
void emit_counts(const GraphWrap& graph);

std::string to_json(const JsonValue& value);
std::string escape_json(std::string_view text);

}  // namespace quorl
