// Canonisation of a chunk of items with the interpreter lock released once
// for the whole chunk, for the package's batches. A molecule takes tens of
// microseconds; released and taken back for each one, the lock passes
// between the threads of a batch so often that waiting for it costs as much
// as the work, and two threads run no faster than one.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <optional>

#include "host_module/module_state.hpp"

namespace quorl::host {

// Each returns a list with one entry per item of `items` (a list): the item's
// text (or node order), or the exception its single call would raise, or
// None for an item left to the caller. Items taken are PyGraphs and lists or
// tuples of two lists or tuples of rows (what from_edges turns into a graph)
// of one component; everything else, rows that do not convert among them,
// and graphs of several components are left to the caller, whose own road
// gives their results and their messages. A chunk stopped by the stop flag or
// a signal handler ends at the item it stopped: that entry is the exception
// that stopped it, and every later one None.
PyObject* texts_of_chunk(const ModuleState& state, PyObject*, PyObject* items, std::optional<bool> allow_hashes,
                         std::optional<bool> compress, std::optional<bool> compact,
                         std::optional<std::uint64_t> max_memory, std::optional<double> timeout);
PyObject* orders_of_chunk(const ModuleState& state, PyObject*, PyObject* items, std::optional<bool> allow_hashes,
                          std::optional<bool> compact, std::optional<std::uint64_t> max_memory,
                          std::optional<double> timeout);

}  // namespace quorl::host
