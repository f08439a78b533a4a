"""The trace switches: read once as each call starts, under the interpreter lock, so that what
Python writes to os.environ takes effect at the next call and never races a running one."""

from __future__ import annotations

import os
import threading
import time

import pytest

import _quorl

SWITCHES = ("QUORL_TRACE", "QUORL_TRACE_MAGNET")


@pytest.fixture(autouse=True)
def switches_restored():
    saved = {name: os.environb.get(name.encode()) for name in SWITCHES}
    yield
    for name, value in saved.items():
        if value is None:
            os.environb.pop(name.encode(), None)
        else:
            os.environb[name.encode()] = value


def triangle_and_square():
    """A cobound edge (the triangle), a join (the square) and so a magnet."""
    edges = [("a", "b", "1"), ("b", "c", "1"), ("c", "a", "1"), ("a", "d", "1"), ("d", "e", "1"), ("e", "b", "1")]
    return _quorl.graph_from_edges([], edges)


def grid(side: int) -> _quorl.PyGraph:
    edges = [(f"{r}_{c}", f"{r}_{c + 1}", "1") for r in range(side) for c in range(side - 1)]
    edges += [(f"{r}_{c}", f"{r + 1}_{c}", "2") for r in range(side - 1) for c in range(side)]
    return _quorl.graph_from_edges([], edges)


CALLS = {
    "text": lambda graph: _quorl.to_cgraph_py(graph, None, None, None, None, None).as_str(),
    "order": lambda graph: _quorl.canonical_node_order_py(graph, compact=True),
}


def set_switch(name: str, value: bytes | None) -> None:
    if value is None:
        os.environb.pop(name.encode(), None)
    else:
        os.environb[name.encode()] = value


def traced_events(capfd, call, graph) -> list[str]:
    capfd.readouterr()
    call(graph)
    return [line.split(" ")[1] for line in capfd.readouterr().out.splitlines() if line.startswith("TRACE ")]


@pytest.mark.parametrize("call", sorted(CALLS))
def test_a_switch_written_to_os_environ_takes_effect_at_the_next_call(capfd, call):
    graph = triangle_and_square()
    run = CALLS[call]
    # (QUORL_TRACE, QUORL_TRACE_MAGNET) -> which events the next call writes
    steps = [
        ((b"1", None), {"dag_cobound_scores", "dag_inbound_scores", "dag_choice", "dag_counts"}),
        ((b"0", b"1"), set()),
        ((b"1", b"1"), {"dag_cobound_scores", "dag_inbound_scores", "dag_choice", "dag_counts", "magnet"}),
        ((None, b"1"), set()),
        ((b"1", b"true"), {"dag_cobound_scores", "dag_inbound_scores", "dag_choice", "dag_counts"}),
        ((b"", None), set()),
        ((b"1 ", None), set()),
        ((b"01", None), set()),
        ((b"\xff", None), set()),
        ((b"1", b"1"), {"dag_cobound_scores", "dag_inbound_scores", "dag_choice", "dag_counts", "magnet"}),
    ]
    for (trace, magnet), expected in steps:
        set_switch("QUORL_TRACE", trace)
        set_switch("QUORL_TRACE_MAGNET", magnet)
        assert set(traced_events(capfd, run, graph)) == expected, (trace, magnet)


def test_switches_flipped_by_another_thread_give_each_call_all_its_lines_or_none(capfd):
    """One thread flips QUORL_TRACE (and grows and shrinks the environment, so that it is
    reallocated) while this one canonises with the lock released: every call sees one value
    of the switch from its start to its end, and its result never changes."""
    graph = grid(5)
    run = CALLS["text"]
    set_switch("QUORL_TRACE_MAGNET", b"1")
    set_switch("QUORL_TRACE", b"1")
    capfd.readouterr()
    expected_text = run(graph)
    traced = capfd.readouterr().out.splitlines()
    assert len(traced) > 20 and all(line.startswith("TRACE ") for line in traced)

    stop = threading.Event()
    flips = 0

    def flip() -> None:
        nonlocal flips
        while not stop.is_set():
            for value in (b"1", b"0"):
                os.environb[b"QUORL_TRACE"] = value
                os.environ[f"QUORL_TEST_FILLER_{flips % 64}"] = "x" * (flips % 200)
                flips += 1
                time.sleep(0)  # lets the other thread start a call with this value
            if flips % 128 == 0:
                for i in range(64):
                    os.environ.pop(f"QUORL_TEST_FILLER_{i}", None)

    flipper = threading.Thread(target=flip)
    flipper.start()
    texts = []
    try:
        deadline = time.monotonic() + 1.5
        while time.monotonic() < deadline:
            os.write(1, b"CALL\n")
            texts.append(run(graph))
    finally:
        stop.set()
        flipper.join()
        for i in range(64):
            os.environ.pop(f"QUORL_TEST_FILLER_{i}", None)

    chunks = capfd.readouterr().out.split("CALL\n")[1:]
    assert len(chunks) == len(texts) and flips > len(texts)
    assert all(text == expected_text for text in texts)
    shapes = [chunk.splitlines() for chunk in chunks]
    assert all(lines in ([], traced) for lines in shapes), [len(lines) for lines in shapes]
    # Both values were seen, so the switch did change between calls.
    assert [] in shapes and traced in shapes
