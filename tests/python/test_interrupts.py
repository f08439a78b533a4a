"""Ctrl-C during a long canonisation: KeyboardInterrupt promptly, and a usable interpreter after."""

from __future__ import annotations

import platform
import subprocess

import pytest

from child_python import child_command, child_environment, interrupted_child

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


# Small blocks freed after _quorl is imported: how many bytes the C library (glibc)
# keeps in its fast bins, which it would merge all at once, beyond any poll, at the next
# large allocation or free.
FAST_BIN_BYTES = """
import ctypes
import _quorl

class MallocInfo(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t) for name in
                ("arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks",
                 "uordblks", "fordblks", "keepcost")]

libc = ctypes.CDLL(None)
libc.malloc.restype = ctypes.c_void_p
libc.free.argtypes = [ctypes.c_void_p]
libc.mallinfo2.restype = MallocInfo
blocks = [libc.malloc(40) for _ in range(200)]
for block in blocks[::2]:
    libc.free(block)
print(libc.mallinfo2().fsmblks)
"""


def glibc_version() -> tuple[int, ...]:
    name, version = platform.libc_ver()
    return tuple(int(part) for part in version.split(".")) if name == "glibc" and version else ()


@pytest.mark.skipif(glibc_version() < (2, 33), reason="the fast bins are glibc's; mallinfo2 came in glibc 2.33")
@pytest.mark.parametrize("tunables, kept", [(None, False), ("glibc.malloc.mxfast=64", True)],
                         ids=["importing turns them off", "the user's tunables stand"])
def test_small_blocks_are_merged_when_freed(tunables, kept):
    env = child_environment()
    env.pop("GLIBC_TUNABLES", None)
    if tunables is not None:
        env["GLIBC_TUNABLES"] = tunables
    done = subprocess.run(child_command(FAST_BIN_BYTES), env=env, capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr
    assert (int(done.stdout) > 0) == kept
