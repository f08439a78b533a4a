// What the canonisation entry points share: the default rules and flags, the
// store built from rows, the trace switches read as a call starts, and the
// memory budget and deadline of one call.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <string_view>

#include "dag/trace.hpp"
#include "error/quorl_error.hpp"
#include "graph/graph_wrap.hpp"
#include "host_module/arguments.hpp"
#include "host_module/host_errors.hpp"
#include "host_module/module_state.hpp"
#include "host_module/py_ref.hpp"
#include "limits/memory_budget.hpp"

namespace quorl::host {

inline constexpr std::string_view kDefaultCandidateRule = "$degree";
inline constexpr std::string_view kDefaultBranchRule = "$depth > tree.parent_modality > $lexic";
inline constexpr bool kDefaultAllowHashes = true;
inline constexpr bool kDefaultCompress = true;
inline constexpr bool kDefaultCompact = false;

// The store of (id, label) rows and (first id, second id, modality) rows.
// Needs no interpreter lock: the rows hold their texts.
GraphWrap graph_of_rows(const TextRows& nodes, const TextRows& edges);

// The trace switches of one call, read as it starts: under the interpreter
// lock, which Python code holds when it writes the environment, so a thread
// setting os.environ cannot race the read. With tracing on, the engine writes
// its lines through C stdio; flushing Python's own buffered output first
// keeps both in the order they were made. Nothing when the flush raised.
std::optional<TraceSwitches> trace_switches_of_call();

// What bounds one canonisation: its memory budget (the machine's share
// unless given) and its deadline (none unless given).
struct CallLimits {
    std::optional<std::uint64_t> max_memory;
    std::optional<double> timeout;  // seconds
};

// The budget and deadline of one call, made as it starts.
class LimitedCall {
public:
    explicit LimitedCall(const CallLimits& limits)
        : budget_(limits.max_memory ? MemoryBudget(*limits.max_memory) : MemoryBudget::of_machine()),
          timeout_(limits.timeout) {
        // Beyond a year a deadline is no deadline, and the clock cannot overflow.
        if (timeout_ && *timeout_ < 3.2e7) {
            deadline_ = StopCheck::Clock::now() + std::chrono::duration_cast<StopCheck::Clock::duration>(
                                                      std::chrono::duration<double>(*timeout_));
        }
    }
    // The engine's stop check points at the budget.
    LimitedCall(const LimitedCall&) = delete;
    LimitedCall& operator=(const LimitedCall&) = delete;

    // The engine call's own stop check with this call's deadline and budget.
    StopCheck bound(const StopCheck& stop) { return stop.with_deadline(deadline_).with_memory_budget(&budget_); }

    // Raises the host exception for the call's failure: TimeoutError when it
    // stopped at its deadline, otherwise as map_err does.
    PyObject* raise(const ModuleState& state, const QuorlError& error) const {
        if (error.kind() == ErrorKind::Interrupted && PyErr_Occurred() == nullptr && deadline_ &&
            StopCheck::Clock::now() >= *deadline_) {
            PyErr_Format(PyExc_TimeoutError, "the call took longer than its timeout of %S s",
                         PyRef::steal(PyFloat_FromDouble(*timeout_)).get());
            return nullptr;
        }
        return map_err(state, error);
    }

private:
    MemoryBudget budget_;
    std::optional<double> timeout_;
    std::optional<StopCheck::Clock::time_point> deadline_;
};

}  // namespace quorl::host
