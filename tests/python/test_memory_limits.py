"""A rewrite that cannot fit in the address space ends in MemoryError, not in a dead interpreter."""

from __future__ import annotations

from child_python import run_child

# Expanded resolution copies the region below every join node once per
# inbound edge, so even a 12 x 12 grid grows far beyond the limit. The limit
# is set after the graphs are built: the current address-space size plus a
# margin small enough to be reached within seconds.
CHILD = """
import resource
import _quorl

side = 12
edges = [(f"{r}_{c}", f"{r}_{c + 1}", "1") for r in range(side) for c in range(side - 1)]
edges += [(f"{r}_{c}", f"{r + 1}_{c}", "1") for r in range(side - 1) for c in range(side)]
grid = _quorl.graph_from_edges([], edges)
small = _quorl.graph_from_edges([("a", "C")], [("a", "b", "1"), ("b", "c", "2"), ("c", "a", "1")])
expected_text = _quorl.to_cgraph_py(small, None, None, None, None, None).as_str()
expected_order = _quorl.canonical_node_order_py(small)

with open("/proc/self/status") as status:
    vm_kib = next(int(line.split()[1]) for line in status if line.startswith("VmSize:"))
limit = (vm_kib << 10) + (64 << 20)
resource.setrlimit(resource.RLIMIT_AS, (limit, resource.getrlimit(resource.RLIMIT_AS)[1]))

for call in (lambda: _quorl.to_cgraph_py(grid, None, None, None, None, False),
             lambda: _quorl.canonical_node_order_py(grid, compact=False)):
    try:
        call()
        print("finished")
    except MemoryError:
        print("memory error")
    print(_quorl.to_cgraph_py(small, None, None, None, None, None).as_str() == expected_text,
          _quorl.canonical_node_order_py(small) == expected_order)
"""


def test_expanded_grid_under_address_space_limit_raises_memory_error():
    result = run_child(CHILD, timeout=300)
    assert result.returncode == 0, result.stderr
    assert result.stdout.split("\n")[:4] == ["memory error", "True True", "memory error", "True True"], (
        result.stdout + result.stderr
    )
