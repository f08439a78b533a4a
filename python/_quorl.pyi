"""Type stub for the native engine module `_quorl`."""

from collections.abc import Sequence
from contextvars import ContextVar

__all__ = [
    "PyGraph",
    "PyCGraph",
    "parse_dot",
    "parse_dot_string",
    "graph_from_edges",
    "to_cgraph_py",
    "canonical_node_order_py",
]

class InternalError(BaseException):
    """A fault inside the engine (a broken invariant), never a user error."""

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

class _StopFlag:
    """Private: stops the canonisations running on threads whose `_current_stop_flag` holds it.

    Once set, every `to_cgraph_py` and `canonical_node_order_py` call running under the flag
    ends at its next poll with KeyboardInterrupt, and every later call under it at once.
    The flag is read without the interpreter lock, so setting it reaches calls on worker
    threads, which never run signal handlers."""

    def __init__(self) -> None: ...
    def set(self) -> None: ...
    def is_set(self) -> bool: ...

#: Private: the stop flag of the calls made in the current context (unset: none).
_current_stop_flag: ContextVar[_StopFlag]

def parse_dot(path: str) -> PyGraph: ...
def parse_dot_string(content: str) -> PyGraph: ...
def graph_from_edges(
    nodes: Sequence[tuple[str, str]], edges: Sequence[tuple[str, str, str]]
) -> PyGraph: ...
# The two canonisation calls release the interpreter lock while the engine works, so calls
# on several threads run in parallel. Signals are handled on the main thread within a few
# milliseconds; calls on other threads are stopped through their `_current_stop_flag`.
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

# Private to the package (not in __all__): None for a graph of at most one connected
# component, else the component number of every node in node_labels() order, components
# numbered from 0 in the order of their first node.
def _component_numbers(graph: PyGraph) -> list[int] | None: ...

# Private to the package: graph_from_edges that also takes lists as rows (as JSON gives
# them), with the same messages, and builds the store without the interpreter lock.
def _graph_from_rows(
    nodes: Sequence[Sequence[str]], edges: Sequence[Sequence[str]]
) -> PyGraph: ...

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

# Private to the package's batches: the text (or node order) of every item of a chunk, in one
# call that releases the interpreter lock once for all of them, each item under limits of its
# own. One entry per item: its result, the exception its single call would raise, or None for
# an item left to the caller (anything but a PyGraph or a pair of lists or tuples of rows, rows
# that do not convert, graphs of several components). A chunk stopped by the stop flag or a
# signal handler ends at the item it stopped: that entry is the exception that stopped it,
# and every later one None.
def _texts_of_chunk(
    items: list[object],
    allow_hashes: bool | None,
    compress: bool | None,
    compact: bool | None,
    max_memory: int | None,
    timeout: float | None,
) -> list[str | BaseException | None]: ...
def _orders_of_chunk(
    items: list[object],
    allow_hashes: bool | None,
    compact: bool | None,
    max_memory: int | None,
    timeout: float | None,
) -> list[list[str] | BaseException | None]: ...
