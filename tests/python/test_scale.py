"""Graphs of a million nodes and edges: graph_from_edges, the DOT reader and, for trees, the
canonical text and node order, without stack overflow. Each case runs in a child interpreter,
which prints its peak resident set ("peak_rss_mib"; pytest -s shows it)."""

from __future__ import annotations

import pytest

from child_python import run_child

MILLION = 1_000_000

REPORT = """
import resource, sys
print("peak_rss_mib", resource.getrusage(resource.RUSAGE_SELF).ru_maxrss >> 10, file=sys.stderr)
"""

GRAPH_FROM_EDGES = f"""
import _quorl
n = {MILLION}
nodes = [(f"n{{i}}", "C") for i in range(n)]
edges = [(f"n{{i}}", f"n{{i + 1}}", "1") for i in range(n - 1)] + [("n0", "n0", "2")]
graph = _quorl.graph_from_edges(nodes, edges)
assert (graph.node_count, graph.edge_count) == (n, n)
assert graph.node_labels()[-1] == (f"n{{n - 1}}", "C")
assert graph.edges()[-1] == (f"e{{n}}", "n0", "n0", "2")
"""

DOT_TEXT = f"""
n = {MILLION}
text = "graph big {{\\n" + "".join(f"n{{i}} -- n{{i + 1}} [weight={{i % 3}}];\\n" for i in range(n)) + "}}\\n"
"""

DOT_STRING = DOT_TEXT + """
import _quorl
graph = _quorl.parse_dot_string(text)
assert (graph.node_count, graph.edge_count) == (n + 1, n)
assert graph.edges()[-1] == (f"e{n}", f"n{n - 1}", f"n{n}", str((n - 1) % 3))
"""

DOT_FILE = DOT_TEXT + """
import os, sys, tempfile
import _quorl
with tempfile.TemporaryDirectory() as directory:
    path = os.path.join(directory, "big.dot")
    with open(path, "w") as f:
        f.write(text)
    del text
    graph = _quorl.parse_dot(path)
assert (graph.node_count, graph.edge_count) == (n + 1, n)
"""

# A path of a million nodes (label ".", made by the edges) hanging from the only node of degree 4 ("N",
# with three "H" leaves): one candidate root, a tree a million levels deep.
DEEP_TREE = f"""
import _quorl
length = {MILLION} - 4
edges = [("hub", f"h{{i}}", "1") for i in range(3)] + [("hub", "p0", "1")]
edges += [(f"p{{i}}", f"p{{i + 1}}", "1") for i in range(length - 1)]
graph = _quorl.graph_from_edges([("hub", "N")] + [(f"h{{i}}", "H") for i in range(3)], edges)
path_text = "(" * (length - 1) + "." + ":1)." * (length - 1)
assert _quorl.to_cgraph_py(graph, None, None, None, None, None).as_str() == "(H:1, H:1, H:1, " + path_text + ":1)N"
order = _quorl.canonical_node_order_py(graph)
assert order[0] == "hub" and sorted(order[1:4]) == ["h0", "h1", "h2"]
assert order[4:] == [f"p{{i}}" for i in range(length)]
"""

# A star: one hub with a million leaves, sorted by modality.
WIDE_TREE = f"""
import _quorl
n = {MILLION}
graph = _quorl.graph_from_edges([("hub", "C")], [("hub", f"l{{i}}", str(i % 2)) for i in range(n)])
text = _quorl.to_cgraph_py(graph, None, None, None, None, None).as_str()
assert text == "(" + ", ".join([".:0"] * (n // 2) + [".:1"] * (n // 2)) + ")C"
"""

CASES = {
    "graph_from_edges": GRAPH_FROM_EDGES,
    "parse_dot_string": DOT_STRING,
    "parse_dot": DOT_FILE,
    "deep tree": DEEP_TREE,
    "wide tree": WIDE_TREE,
}


@pytest.mark.parametrize("code", CASES.values(), ids=list(CASES))
def test_million_element_graphs(code):
    result = run_child(code + REPORT, timeout=600)
    assert result.returncode == 0, result.stderr[-2000:]
    print(result.stderr.strip())
