// Diagnostic trace events: one "TRACE " line per event on standard output,
// written only when the environment switch QUORL_TRACE is exactly "1".
//
// The switches are read once per call, at its start, and handed down: the
// host module reads them under the interpreter lock, since a Python thread
// may write the environment while another's call runs without it. Nothing
// else in the engine reads the environment.
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

// Read from the environment afresh on every call; on only for the exact value "1".
bool trace_enabled();
bool magnet_trace_enabled();

// Both switches as one call sees them from its start to its end.
struct TraceSwitches {
    bool events = false;   // QUORL_TRACE
    bool magnets = false;  // QUORL_TRACE_MAGNET, and QUORL_TRACE too
    // The environment's switches now. The engine's entry points take this
    // as their default, so that C++ callers read them once per call.
    static TraceSwitches from_environment() { return {trace_enabled(), magnet_trace_enabled()}; }
};

// Writes the event when `trace` has events on; fields are written sorted by key.
void emit(const TraceSwitches& trace, std::string_view event, std::vector<TraceField> fields);
// The "dag_counts" event: live nodes, live edges, virtual and mirror nodes.
void emit_counts(const TraceSwitches& trace, const GraphWrap& graph);
// The same with the environment's switches read at the call.
void emit(std::string_view event, std::vector<TraceField> fields);
void emit_counts(const GraphWrap& graph);

std::string to_json(const JsonValue& value);
std::string escape_json(std::string_view text);

}  // namespace quorl
