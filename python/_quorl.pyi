"""Type stub for the native engine module `_quorl`."""

from collections.abc import Sequence

__all__ = [
    "PyGraph",
    "PyCGraph",
    "parse_dot",
    "parse_dot_string",
    "graph_from_edges",
    "to_cgraph_py",
    "canonical_node_order_py",
]

class PyGraph:
    """A labelled undirected graph held by the engine; never changed after creation."""

    @property
    def node_count(self) -> int: ...
    @property
    def edge_count(self) -> int: ...
    def node_labels(self) -> list[tuple[str, str]]:
        """(id, label) of every node, in order of first appearance."""
    def edges(self) -> list[tuple[str, str, str, str]]:
        """(edge id, first id, second id, modality) of every edge, in order of addition."""

class PyCGraph:
    """A canonical text produced by `to_cgraph_py`."""

    def as_str(self) -> str: ...

def parse_dot(path: str) -> PyGraph: ...
def parse_dot_string(content: str) -> PyGraph: ...
def graph_from_edges(
    nodes: Sequence[tuple[str, str]], edges: Sequence[tuple[str, str, str]]
) -> PyGraph: ...
def to_cgraph_py(
    graph: PyGraph,
    candidate_rule: str | None,
    branch_rule: str | None,
    allow_hashes: bool | None,
    compress: bool | None,
    compact: bool | None,
) -> PyCGraph: ...
def canonical_node_order_py(
    graph: PyGraph,
    candidate_rule: str | None = None,
    branch_rule: str | None = None,
    allow_hashes: bool | None = None,
    compact: bool | None = None,
) -> list[str]: ...

# Private: how the package passes its per-call limits. max_bytes is what a DOT input may hold
# (None: 4 GiB); max_memory the bytes the call may hold (None: half of the memory available, or
# of what RLIMIT_AS leaves); timeout the seconds it may run (None: no deadline). Each is None or
# positive. Over budget raises MemoryError, past the deadline TimeoutError.
def _parse_dot_limited(path: str, max_bytes: int | None) -> PyGraph: ...
def _to_cgraph_limited(
    graph: PyGraph,
    candidate_rule: str | None,
    branch_rule: str | None,
    allow_hashes: bool | None,
    compress: bool | None,
    compact: bool | None,
    max_memory: int | None,
    timeout: float | None,
) -> PyCGraph: ...
def _canonical_node_order_limited(
    graph: PyGraph,
    candidate_rule: str | None,
    branch_rule: str | None,
    allow_hashes: bool | None,
    compact: bool | None,
    max_memory: int | None,
    timeout: float | None,
) -> list[str]: ...
