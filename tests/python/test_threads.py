"""The entry points on several threads: the interpreter lock is released while the engine works,
results equal the serial ones, shared graphs stay intact, and a stop flag ends a running call."""

from __future__ import annotations

import json
import sys
import threading
import time
from pathlib import Path

import pytest

import _quorl

MOLECULES = Path(__file__).resolve().parents[2] / "examples" / "molecules.jsonl"
THREADS = 8


def molecule_graphs() -> list[_quorl.PyGraph]:
    graphs = []
    with MOLECULES.open(encoding="utf-8") as stream:
        for line in stream:
            record = json.loads(line)
            nodes = [tuple(node) for node in record["nodes"]]
            edges = [tuple(edge) for edge in record["edges"]]
            graphs.append(_quorl.graph_from_edges(nodes, edges))
    return graphs


def results_of(graph: _quorl.PyGraph) -> tuple[str, str, list[str], list[str]]:
    return (
        _quorl.to_cgraph_py(graph, None, None, None, None, None).as_str(),
        _quorl.to_cgraph_py(graph, None, None, False, False, True).as_str(),
        _quorl.canonical_node_order_py(graph),
        _quorl.canonical_node_order_py(graph, compact=True),
    )


def grid(side: int) -> _quorl.PyGraph:
    edges = [(f"{r}_{c}", f"{r}_{c + 1}", "1") for r in range(side) for c in range(side - 1)]
    edges += [(f"{r}_{c}", f"{r + 1}_{c}", "1") for r in range(side - 1) for c in range(side)]
    return _quorl.graph_from_edges([], edges)


def run_on_threads(target, count: int = THREADS) -> None:
    start = threading.Barrier(count)
    failures: list[BaseException] = []

    def body(index: int) -> None:
        start.wait()
        try:
            target(index)
        except BaseException as error:  # reported by the test, not lost on the thread
            failures.append(error)

    threads = [threading.Thread(target=body, args=(i,)) for i in range(count)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert not failures, failures


def test_different_and_shared_graphs_on_many_threads_give_serial_results():
    graphs = molecule_graphs()[:60]
    shared = graphs[-1]
    serial = [results_of(graph) for graph in graphs]
    shared_edges = shared.edges()
    references = sys.getrefcount(shared)
    seen: list[list[object]] = [[] for _ in range(THREADS)]

    def work(index: int) -> None:
        # Every thread starts elsewhere in the list, and all keep returning to the shared graph.
        for step in range(len(graphs)):
            at = (index * len(graphs) // THREADS + step) % len(graphs)
            seen[index].append((at, results_of(graphs[at]), results_of(shared)))

    run_on_threads(work)
    for per_thread in seen:
        for at, result, shared_result in per_thread:
            assert result == serial[at]
            assert shared_result == serial[-1]
    assert sys.getrefcount(shared) == references
    assert shared.edges() == shared_edges


def test_the_lock_is_released_while_the_engine_works():
    # A thread canonises a big grid; meanwhile the main thread must keep running Python
    # code, which it could not if the call held the lock. The flag ends the call.
    graph = grid(10)
    flag = _quorl._StopFlag()
    entered = threading.Event()

    def canonise() -> None:
        _quorl._current_stop_flag.set(flag)
        entered.set()
        with pytest.raises(KeyboardInterrupt):
            _quorl.to_cgraph_py(graph, None, None, None, None, None)

    worker = threading.Thread(target=canonise)
    worker.start()
    entered.wait()
    started = time.monotonic()
    ticks = 0
    while time.monotonic() - started < 0.3:
        ticks += 1
    running = worker.is_alive()
    flag.set()
    worker.join()
    assert running
    # Below one loop turn per 100 microseconds, the main thread was waiting for the lock.
    assert ticks > 0.3 * 10_000, ticks


@pytest.mark.parametrize(
    "call",
    [
        lambda graph: _quorl.to_cgraph_py(graph, None, None, None, None, False),
        lambda graph: _quorl.canonical_node_order_py(graph),
    ],
    ids=["text", "node order"],
)
def test_a_set_stop_flag_ends_a_call_on_its_thread_with_keyboard_interrupt(call):
    graph = grid(10)
    small = _quorl.graph_from_edges([], [("a", "b", "1")])
    expected = _quorl.to_cgraph_py(small, None, None, None, None, None).as_str()
    flag = _quorl._StopFlag()
    outcome: list[object] = []
    stopped_at: list[float] = []

    def canonise() -> None:
        _quorl._current_stop_flag.set(flag)
        try:
            outcome.append(call(graph))
        except KeyboardInterrupt:
            stopped_at.append(time.monotonic())
            outcome.append("interrupted")

    worker = threading.Thread(target=canonise)
    worker.start()
    time.sleep(0.2)
    assert worker.is_alive(), "the call ended before the flag was set"
    set_at = time.monotonic()
    flag.set()
    worker.join(timeout=10)
    assert outcome == ["interrupted"]
    assert stopped_at[0] - set_at < 0.1
    assert flag.is_set()
    # The flag lives in the worker's context: calls here are not stopped by it.
    assert _quorl.to_cgraph_py(small, None, None, None, None, None).as_str() == expected


def test_a_stop_flag_set_before_the_call_stops_it_at_once():
    flag = _quorl._StopFlag()
    flag.set()
    outcome: list[object] = []

    def canonise() -> None:
        _quorl._current_stop_flag.set(flag)
        try:
            _quorl.to_cgraph_py(grid(20), None, None, None, None, None)
            outcome.append("finished")
        except KeyboardInterrupt:
            outcome.append("interrupted")

    worker = threading.Thread(target=canonise)
    worker.start()
    worker.join()
    assert outcome == ["interrupted"]


def test_something_else_in_the_stop_flag_variable_is_refused():
    outcome: list[BaseException] = []

    def canonise() -> None:
        _quorl._current_stop_flag.set("not a flag")
        try:
            _quorl.to_cgraph_py(grid(2), None, None, None, None, None)
        except TypeError as error:
            outcome.append(error)

    worker = threading.Thread(target=canonise)
    worker.start()
    worker.join()
    assert [str(error) for error in outcome] == ["'str' object cannot be cast as '_StopFlag'"]
