"""Every entry point, called many thousands of times on success and on every kind of failure,
keeps the process's memory flat and leaves the reference counts of its arguments unchanged."""

from __future__ import annotations

import contextvars
import os
import sys

import pytest

import _quorl

CALLS = 20000
WARM_UP = 2000
# 20000 calls leaking even 64 bytes each would add 1.25 MiB.
RSS_GROWTH_LIMIT = 1 << 20


def resident_bytes() -> int:
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def fresh(text: str) -> str:
    """A new string object, so that its reference count belongs to this test alone."""
    return "".join(list(text))


class RaisingSequence:
    """Passes the sequence check, fails while being iterated."""

    def __len__(self) -> int:
        return 2

    def __getitem__(self, index: int):
        if index == 0:
            return ("a", "A")
        raise RuntimeError("broken sequence")


class Arguments:
    """The objects handed to the entry points; their reference counts are checked."""

    def __init__(self, tmp_path):
        # Texts inside the sequences are watched too, through their own attributes.
        self.label = fresh("A")
        self.node_id = fresh("b")
        self.modality = fresh("1")
        self.nodes = [("a", self.label), (self.node_id, "B")]
        self.edges = [("a", "b", self.modality), ("b", "c", "2"), ("c", "a", "1"), ("c", "d", "1")]
        self.graph = _quorl.graph_from_edges(self.nodes, self.edges)
        self.empty_graph = _quorl.graph_from_edges([], [])
        self.split_graph = _quorl.graph_from_edges(self.nodes + [("z", "Z")], self.edges + [("x", "y", "1")])
        self.cgraph = _quorl.to_cgraph_py(self.graph, None, None, None, None, None)
        self.rule = fresh("$degree")
        self.bad_rule = fresh("$nope")
        self.branch_rule = fresh("anything")
        self.dot_text = fresh("graph g {\n a [label=C];\n a -- b [weight=2];\n b -- c;\n}\n")
        self.bad_dot_text = fresh("a -- b\n -- c\n")
        self.dot_path = str(tmp_path / "g.dot")
        self.bad_dot_path = str(tmp_path / "bad.dot")
        self.binary_dot_path = str(tmp_path / "binary.dot")
        self.missing_path = str(tmp_path / "missing.dot")
        self.nul_path = fresh("a\0b.dot")
        self.list_node = [["a", "A"]]
        self.list_edges = [["a", self.node_id, self.modality], ("b", "c", "2")]
        self.list_int_modality = [["a", "b", 1]]
        # A context whose calls are stopped at once by their set stop flag.
        self.stopped = contextvars.copy_context()
        flag = _quorl._StopFlag()
        flag.set()
        self.stopped.run(_quorl._current_stop_flag.set, flag)
        self.long_tuple = [("a", "b", "c")]
        self.short_tuple = [("a",)]
        self.int_modality = [("a", "b", 1)]
        self.raising = RaisingSequence()
        self.mapping = {"a": "A"}
        self.number = 12345678901234567890
        self.surrogate = fresh("a\ud800")  # a str that has no UTF-8 form
        self.surrogate_edges = [("a", self.surrogate, "1")]
        with open(self.dot_path, "w") as f:
            f.write(self.dot_text)
        with open(self.bad_dot_path, "w") as f:
            f.write(self.bad_dot_text)
        with open(self.binary_dot_path, "wb") as f:
            f.write(b"a -- \xff\n")


# name -> (call, expected exception type or None)
SCENARIOS = {
    "parse_dot ok": (lambda a: _quorl.parse_dot(a.dot_path), None),
    "parse_dot keyword ok": (lambda a: _quorl.parse_dot(path=a.dot_path), None),
    "parse_dot parse error": (lambda a: _quorl.parse_dot(a.bad_dot_path), ValueError),
    "parse_dot missing file": (lambda a: _quorl.parse_dot(a.missing_path), ValueError),
    "parse_dot invalid utf-8": (lambda a: _quorl.parse_dot(a.binary_dot_path), ValueError),
    "parse_dot nul in path": (lambda a: _quorl.parse_dot(a.nul_path), ValueError),
    "parse_dot wrong type": (lambda a: _quorl.parse_dot(a.number), TypeError),
    "parse_dot missing argument": (lambda a: _quorl.parse_dot(), TypeError),
    "parse_dot unexpected keyword": (lambda a: _quorl.parse_dot(a.dot_path, extra=a.rule), TypeError),
    "parse_dot_string ok": (lambda a: _quorl.parse_dot_string(a.dot_text), None),
    "parse_dot_string parse error": (lambda a: _quorl.parse_dot_string(a.bad_dot_text), ValueError),
    "parse_dot_string surrogate": (lambda a: _quorl.parse_dot_string(a.surrogate), UnicodeEncodeError),
    "parse_dot_string wrong type": (lambda a: _quorl.parse_dot_string(a.nodes), TypeError),
    "parse_dot_string surplus argument": (lambda a: _quorl.parse_dot_string(a.dot_text, a.rule), TypeError),
    "graph_from_edges ok": (lambda a: _quorl.graph_from_edges(a.nodes, a.edges), None),
    "graph_from_edges str as nodes": (lambda a: _quorl.graph_from_edges(a.rule, a.edges), TypeError),
    "graph_from_edges list element": (lambda a: _quorl.graph_from_edges(a.list_node, a.edges), TypeError),
    "graph_from_edges tuple length": (lambda a: _quorl.graph_from_edges(a.nodes, a.short_tuple), TypeError),
    "graph_from_edges long node tuple": (lambda a: _quorl.graph_from_edges(a.long_tuple, a.edges), TypeError),
    "graph_from_edges int modality": (lambda a: _quorl.graph_from_edges(a.nodes, a.int_modality), TypeError),
    "graph_from_edges surrogate": (
        lambda a: _quorl.graph_from_edges(a.nodes, a.surrogate_edges),
        UnicodeEncodeError,
    ),
    "graph_from_edges mapping": (lambda a: _quorl.graph_from_edges(a.mapping, a.edges), TypeError),
    "graph_from_edges raising sequence": (lambda a: _quorl.graph_from_edges(a.raising, a.edges), RuntimeError),
    "graph_from_edges twice given": (lambda a: _quorl.graph_from_edges(a.nodes, nodes=a.nodes), TypeError),
    "to_cgraph_py ok": (lambda a: _quorl.to_cgraph_py(a.graph, a.rule, a.branch_rule, True, True, False), None),
    "to_cgraph_py defaults": (lambda a: _quorl.to_cgraph_py(a.graph, None, None, None, None, None), None),
    "to_cgraph_py compact": (lambda a: _quorl.to_cgraph_py(a.graph, None, None, False, False, True), None),
    "to_cgraph_py keywords": (
        lambda a: _quorl.to_cgraph_py(
            graph=a.graph, candidate_rule=a.rule, branch_rule=None, allow_hashes=None, compress=None, compact=None
        ),
        None,
    ),
    "to_cgraph_py empty graph": (
        lambda a: _quorl.to_cgraph_py(a.empty_graph, a.bad_rule, None, None, None, None),
        None,
    ),
    "to_cgraph_py unsupported rule": (
        lambda a: _quorl.to_cgraph_py(a.graph, a.bad_rule, None, None, None, None),
        ValueError,
    ),
    "to_cgraph_py surrogate rule": (
        lambda a: _quorl.to_cgraph_py(a.graph, None, a.surrogate, None, None, None),
        UnicodeEncodeError,
    ),
    "to_cgraph_py graph None": (lambda a: _quorl.to_cgraph_py(None, None, None, None, None, None), TypeError),
    "to_cgraph_py int flag": (lambda a: _quorl.to_cgraph_py(a.graph, None, None, None, None, 1), TypeError),
    "to_cgraph_py rule not str": (lambda a: _quorl.to_cgraph_py(a.graph, a.nodes, None, None, None, None), TypeError),
    "to_cgraph_py missing arguments": (lambda a: _quorl.to_cgraph_py(a.graph), TypeError),
    "canonical_node_order_py ok": (lambda a: _quorl.canonical_node_order_py(a.graph), None),
    "canonical_node_order_py all arguments": (
        lambda a: _quorl.canonical_node_order_py(a.graph, a.rule, a.branch_rule, False, True),
        None,
    ),
    "canonical_node_order_py unsupported rule": (
        lambda a: _quorl.canonical_node_order_py(a.graph, candidate_rule=a.bad_rule),
        ValueError,
    ),
    "canonical_node_order_py int flag": (lambda a: _quorl.canonical_node_order_py(a.graph, compact=0), TypeError),
    "canonical_node_order_py too many": (
        lambda a: _quorl.canonical_node_order_py(a.graph, None, None, None, None, None),
        TypeError,
    ),
    "canonical_node_order_py unexpected keyword": (
        lambda a: _quorl.canonical_node_order_py(a.graph, compress=True),
        TypeError,
    ),
    "_graph_from_rows list rows ok": (lambda a: _quorl._graph_from_rows(a.list_node, a.list_edges), None),
    "_graph_from_rows tuple rows ok": (lambda a: _quorl._graph_from_rows(a.nodes, a.edges), None),
    "_graph_from_rows int modality": (lambda a: _quorl._graph_from_rows(a.nodes, a.list_int_modality), TypeError),
    "_graph_from_rows tuple length": (lambda a: _quorl._graph_from_rows(a.long_tuple, a.list_edges), TypeError),
    "to_cgraph_py stopped by its flag": (
        lambda a: a.stopped.run(_quorl.to_cgraph_py, a.graph, None, None, None, None, None),
        KeyboardInterrupt,
    ),
    "canonical_node_order_py stopped by its flag": (
        lambda a: a.stopped.run(_quorl.canonical_node_order_py, a.graph),
        KeyboardInterrupt,
    ),
    "_texts_of_chunk mixed items": (
        lambda a: _quorl._texts_of_chunk(
            [a.graph, (a.list_node, a.list_edges), (a.nodes, a.int_modality), a.split_graph, a.number],
            None, None, None, None, None,
        ),
        None,
    ),
    "_texts_of_chunk engine failure": (
        lambda a: _quorl._texts_of_chunk([a.graph, (a.nodes, a.edges)], None, None, None, 1, None),
        None,
    ),
    "_orders_of_chunk mixed items": (
        lambda a: _quorl._orders_of_chunk([(a.nodes, a.edges), a.graph, a.mapping], True, False, None, 30.0),
        None,
    ),
    "_texts_of_chunk stopped by its flag": (
        lambda a: a.stopped.run(_quorl._texts_of_chunk, [a.graph, a.graph], None, None, None, None, None),
        None,
    ),
    "_texts_of_chunk not a list": (lambda a: _quorl._texts_of_chunk((a.graph,), None, None, None, None, None), TypeError),
    "_StopFlag members": (lambda a: (_quorl._StopFlag().set(), _quorl._StopFlag().is_set()), None),
    "_component_numbers connected": (lambda a: _quorl._component_numbers(a.graph), None),
    "_component_numbers split": (lambda a: _quorl._component_numbers(a.split_graph), None),
    "_component_numbers not a graph": (lambda a: _quorl._component_numbers(a.nodes), TypeError),
    "PyGraph members": (
        lambda a: (a.graph.node_count, a.graph.edge_count, a.graph.node_labels(), a.graph.edges()),
        None,
    ),
    "PyGraph method argument": (lambda a: a.graph.edges(a.rule), TypeError),
    "PyGraph instantiation": (lambda a: _quorl.PyGraph(), TypeError),
    "PyCGraph members": (lambda a: (a.cgraph.as_str(), str(a.cgraph), repr(a.cgraph)), None),
    "PyCGraph instantiation": (lambda a: _quorl.PyCGraph(), TypeError),
}


def call_once(call, expected, arguments):
    if expected is None:
        call(arguments)
        return
    try:
        call(arguments)
    except expected:
        return
    raise AssertionError(f"{expected.__name__} not raised")


@pytest.mark.parametrize("call, expected", SCENARIOS.values(), ids=list(SCENARIOS))
def test_repeated_calls_do_not_leak(call, expected, tmp_path):
    arguments = Arguments(tmp_path)
    watched = vars(arguments)
    for _ in range(WARM_UP):
        call_once(call, expected, arguments)
    counts = {name: sys.getrefcount(value) for name, value in watched.items()}
    before = resident_bytes()
    for _ in range(CALLS):
        call_once(call, expected, arguments)
    growth = resident_bytes() - before
    assert growth < RSS_GROWTH_LIMIT, f"resident set grew by {growth} bytes over {CALLS} calls"
    assert {name: sys.getrefcount(value) for name, value in watched.items()} == counts
