"""Canonical texts and canonical node orders for labelled undirected graphs.

    >>> import quorl
    >>> quorl.canonical_text(([("c", "C"), ("o", "O")], [("c", "o", "2")]))
    '(O:2)C'

A graph is a PyGraph (from `read_dot`, `parse_dot` or `from_edges`), a networkx Graph or
MultiGraph, an RDKit Mol, or a (nodes, edges) pair of lists.
"""

from __future__ import annotations

import copyreg
from typing import Callable, List, Optional, Tuple

import _quorl
from _quorl import PyCGraph, PyGraph

from ._batch import canonical_orders, canonical_texts
from ._components import COMPONENT_SEPARATOR, TextOf, whole_order, whole_text
from ._convert import from_edges, from_networkx, from_rdkit, to_graph
from ._dedup import Group, Grouper, group_duplicates
from ._limits import DEFAULT_MAX_BYTES, Deadline, checked_max_bytes, checked_max_memory

__version__ = "0.3.0"

#: Raised with every change of any text or node order the package gives for some graph;
#: CHANGELOG.md says what changed. Keys stored under one format version stay comparable.
TEXT_FORMAT_VERSION = 3

__all__ = [
    "PyGraph",
    "PyCGraph",
    "canonical_text",
    "canonical_order",
    "canonical_texts",
    "canonical_orders",
    "read_dot",
    "parse_dot",
    "from_edges",
    "from_networkx",
    "from_rdkit",
    "to_graph",
    "COMPONENT_SEPARATOR",
    "TEXT_FORMAT_VERSION",
    "group_duplicates",
    "Group",
    "Grouper",
]


def _component_text(
    allow_hashes: bool, compress: bool, compact: bool, budget: Optional[int], deadline: Deadline
) -> TextOf:
    """The engine's text of one connected component, within the call's budget and deadline."""
    return lambda part: deadline.run(
        lambda seconds: _quorl._to_cgraph_limited(
            part, None, None, allow_hashes, compress, compact, budget, seconds
        ).as_str()
    )


def canonical_text(
    graph: object,
    *,
    allow_hashes: bool = True,
    compress: bool = True,
    compact: bool = False,
    label_attr: str = "label",
    modality_attr: str = "modality",
    max_memory: Optional[int] = None,
    timeout: Optional[float] = None,
) -> str:
    """The canonical text of a graph: equal for two graphs exactly when they are the same
    graph up to the naming and listing order of their nodes and edges.

    Every node and edge counts: each connected component is canonised on its own and the
    component texts are sorted bytewise and joined by COMPONENT_SEPARATOR (" + "). A
    connected graph gives exactly the engine's text. See the README on what equal texts mean.

    allow_hashes: describe the regions that rings are opened at by MD5 digests rather than
        by their full texts (shorter texts, faster comparisons).
    compress: replace the {...} description of every mirror and virtual node by a numbered
        $N reference (braces in labels and modalities are left alone).
    compact: resolve join nodes in the compact way rather than the expanded one.
    label_attr, modality_attr: the networkx attribute names read as node label and edge
        modality (ignored for other inputs).
    max_memory: the bytes the call may hold; None is half of the memory available (see the
        README on huge inputs). A graph that would need more raises MemoryError at once.
    timeout: seconds the engine may work on the graph; past them it raises TimeoutError.

    Raises ValueError for what the engine refuses (and for a max_memory or timeout that is not
    a positive number) and TypeError for what it cannot take.
    """
    budget, deadline = checked_max_memory(max_memory), Deadline(timeout)
    engine_graph = to_graph(graph, label_attr=label_attr, modality_attr=modality_attr)
    return whole_text(engine_graph, _component_text(allow_hashes, compress, compact, budget, deadline))


def canonical_order(
    graph: object,
    *,
    allow_hashes: bool = True,
    compact: bool = False,
    label_attr: str = "label",
    modality_attr: str = "modality",
    max_memory: Optional[int] = None,
    timeout: Optional[float] = None,
) -> List[str]:
    """The node ids of a graph in canonical order, the order that belongs to its canonical
    text: every node once, component by component in the order of the component texts that
    `canonical_text` gives with the same arguments (and compress on); components with equal
    texts by their own orders. A connected graph gives exactly the engine's order. Arguments
    as for `canonical_text`."""
    budget, deadline = checked_max_memory(max_memory), Deadline(timeout)
    engine_graph = to_graph(graph, label_attr=label_attr, modality_attr=modality_attr)
    return whole_order(
        engine_graph,
        _component_text(allow_hashes, True, compact, budget, deadline),
        lambda part: deadline.run(
            lambda seconds: _quorl._canonical_node_order_limited(
                part, None, None, allow_hashes, compact, budget, seconds
            )
        ),
    )


def read_dot(path: str, *, max_bytes: int = DEFAULT_MAX_BYTES) -> PyGraph:
    """Read a graph from a DOT file (the line-oriented subset described in the README); a
    pipe or device works too. Ctrl-C stops the read.

    Raises ValueError "parse error: ..." for a file that cannot be read or parsed, and for
    one that holds more than max_bytes (default 4 GiB)."""
    return _quorl._parse_dot_limited(path, checked_max_bytes(max_bytes))


def parse_dot(text: str) -> PyGraph:
    """Read a graph from DOT text. Raises ValueError "parse error: line N: ..." on bad input."""
    return _quorl.parse_dot_string(text)


def _rebuild_graph(nodes: List[Tuple[str, str]], edges: List[Tuple[str, str, str]]) -> PyGraph:
    return _quorl.graph_from_edges(nodes, edges)


def _reduce_graph(
    graph: PyGraph,
) -> Tuple[Callable[..., PyGraph], Tuple[List[Tuple[str, str]], List[Tuple[str, str, str]]]]:
    # Every graph the engine hands out was built by additions only, so adding its nodes and
    # then its edges in their listed order rebuilds the same store, edge ids e1..eN included.
    edges = [(first, second, modality) for _, first, second, modality in graph.edges()]
    return _rebuild_graph, (graph.node_labels(), edges)


copyreg.pickle(PyGraph, _reduce_graph)
