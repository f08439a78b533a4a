"""Ctrl-C during a long canonisation: KeyboardInterrupt promptly, and a usable interpreter after."""

from __future__ import annotations

import signal
import time

import pytest

from child_python import start_child

# Each child builds its graph, prints "ready", then canonises for far longer
# than the test waits; the parent sends SIGINT while it runs. time.monotonic()
# is one clock for all processes, so the child's time of catching the
# interrupt minus the parent's time of sending it is the latency.
CHILD = """
import time
import _quorl

{build}
small = _quorl.graph_from_edges([], [("a", "b", "1"), ("b", "c", "1"), ("c", "a", "1")])
expected = _quorl.to_cgraph_py(small, None, None, None, None, None).as_str()
print("ready", flush=True)
try:
    _quorl.{call}
    print("finished", flush=True)
except KeyboardInterrupt:
    print("interrupted", time.monotonic(), flush=True)
print("after", _quorl.to_cgraph_py(small, None, None, None, None, None).as_str() == expected, flush=True)
"""

# Every node of a ring is a candidate root that ties with all the others, so
# each is rewritten (a path is now done in milliseconds: its ends win on depth).
LONG_RING = """
n = 20000
graph = _quorl.graph_from_edges([], [(f"p{i}", f"p{(i + 1) % n}", "1") for i in range(n)])
"""

# Its expanded form (about 500,000 nodes) fits the default memory budget and takes seconds.
BIG_GRID = """
side = 10
edges = [(f"{r}_{c}", f"{r}_{c + 1}", "1") for r in range(side) for c in range(side - 1)]
edges += [(f"{r}_{c}", f"{r + 1}_{c}", "1") for r in range(side - 1) for c in range(side)]
graph = _quorl.graph_from_edges([], edges)
"""

CASES = {
    "long ring, text": (LONG_RING, "to_cgraph_py(graph, None, None, None, None, False)"),
    "long ring, node order": (LONG_RING, "canonical_node_order_py(graph)"),
    "big grid expanded, text": (BIG_GRID, "to_cgraph_py(graph, None, None, None, None, False)"),
    "big grid expanded, node order": (BIG_GRID, "canonical_node_order_py(graph, compact=False)"),
}

# The rewrite polls for a pending signal between candidates and between
# passes, and a pass costs time in proportion to the working copy, which
# expanded resolution grows: the later the signal, the longer the wait. The
# signal is sent while a pass still costs well under the limit.
RUNNING_BEFORE_SIGNAL = 0.25
LATENCY_LIMIT = 0.1


@pytest.mark.parametrize("build, call", CASES.values(), ids=list(CASES))
def test_sigint_raises_keyboard_interrupt_promptly(build, call):
    child = start_child(CHILD.format(build=build, call=call))
    try:
        assert child.stdout.readline().strip() == "ready", child.stderr.read()
        time.sleep(RUNNING_BEFORE_SIGNAL)
        sent = time.monotonic()
        child.send_signal(signal.SIGINT)
        out, err = child.communicate(timeout=60)
    finally:
        child.kill()
        child.wait()
    lines = out.split("\n")
    assert child.returncode == 0, err
    assert lines[0].startswith("interrupted "), f"the call was not interrupted: {out!r} {err!r}"
    latency = float(lines[0].split()[1]) - sent
    print(f"interrupt latency: {latency * 1000:.1f} ms")
    assert latency < LATENCY_LIMIT
    assert lines[1] == "after True"
