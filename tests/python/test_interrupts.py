"""Ctrl-C during a long canonisation: KeyboardInterrupt promptly, and a usable interpreter after."""

from __future__ import annotations

import pytest

from child_python import interrupted_child

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
    {call}
    print("finished", flush=True)
except KeyboardInterrupt:
    print("interrupted", time.monotonic(), flush=True)
print("after", _quorl.to_cgraph_py(small, None, None, None, None, None).as_str() == expected, flush=True)
"""

# Every node of a ring is a candidate root as deep as all the others; with
# random labels no rotation maps one root's text onto another's, so each is
# rewritten (a path, or a ring whose nodes all look alike, is done in
# milliseconds).
LONG_RING = """
import random
n = 20000
pick = random.Random(n)
graph = _quorl.graph_from_edges([(f"p{i}", pick.choice("CNO")) for i in range(n)],
                                [(f"p{i}", f"p{(i + 1) % n}", "1") for i in range(n)])
"""

# Its expanded form (about 500,000 nodes) fits the default memory budget and takes seconds.
BIG_GRID = """
side = 10
edges = [(f"{r}_{c}", f"{r}_{c + 1}", "1") for r in range(side) for c in range(side - 1)]
edges += [(f"{r}_{c}", f"{r + 1}_{c}", "1") for r in range(side - 1) for c in range(side)]
graph = _quorl.graph_from_edges([], edges)
"""

# Expanded, a 60 x 60 grid grows without end (every join copies the region
# below it): the default budget refuses it at once, so it runs without one,
# under an address-space limit that leaves it running well past the signal
# (it grows by about 300 MB per second of work) and still keeps a runaway
# child from taking the machine.
HUGE_GRID = """
import math
import resource
import quorl
resource.setrlimit(resource.RLIMIT_AS, (8 << 30, resource.getrlimit(resource.RLIMIT_AS)[1]))
side = 60
edges = [(f"{r}_{c}", f"{r}_{c + 1}", "1") for r in range(side) for c in range(side - 1)]
edges += [(f"{r}_{c}", f"{r + 1}_{c}", "1") for r in range(side - 1) for c in range(side)]
graph = _quorl.graph_from_edges([], edges)
"""

# Each case: the graph, the call and how long it runs before the signal.
# The engine polls between candidates and passes and inside its loops; after
# 3 s the expanded grid's working copy holds millions of slots, whose growth
# is polled as it moves them, and which a stopped call frees on a thread of
# its own rather than before it returns.
CASES = {
    "long ring, text": (LONG_RING, "_quorl.to_cgraph_py(graph, None, None, None, None, False)", 0.25),
    "long ring, node order": (LONG_RING, "_quorl.canonical_node_order_py(graph)", 0.25),
    "grid expanded, text": (BIG_GRID, "_quorl.to_cgraph_py(graph, None, None, None, None, False)", 0.25),
    "grid expanded, node order": (BIG_GRID, "_quorl.canonical_node_order_py(graph, compact=False)", 0.25),
    "60x60 grid expanded, text": (
        HUGE_GRID,
        "quorl.canonical_text(graph, compact=False, max_memory=math.inf)",
        3.0,
    ),
    "60x60 grid expanded, node order": (
        HUGE_GRID,
        "quorl.canonical_order(graph, compact=False, max_memory=math.inf)",
        3.0,
    ),
}

LATENCY_LIMIT = 0.1


@pytest.mark.parametrize("build, call, running_before_signal", CASES.values(), ids=list(CASES))
def test_sigint_raises_keyboard_interrupt_promptly(build, call, running_before_signal):
    sent, lines = interrupted_child(CHILD.format(build=build, call=call), running_before_signal)
    assert lines[0].startswith("interrupted "), f"the call was not interrupted: {lines!r}"
    latency = float(lines[0].split()[1]) - sent
    print(f"interrupt latency: {latency * 1000:.1f} ms")
    assert latency < LATENCY_LIMIT
    assert lines[1] == "after True"
