"""Turning the graph objects people already have into engine graphs."""

from __future__ import annotations

import importlib
import sys
from collections.abc import Iterable, Sequence
from types import ModuleType
from typing import Any, Dict, List, Tuple

import _quorl
from _quorl import PyGraph

#: Label of a node that carries none and modality of an edge that carries none,
#: the same defaults the DOT reader uses.
DEFAULT_LABEL = "."
DEFAULT_MODALITY = "1"

_BOND_ORDERS = {"SINGLE": "1", "DOUBLE": "2", "TRIPLE": "3"}


def require(module: str, extra: str) -> ModuleType:
    """Import an optional dependency, naming the extra that installs it when it is missing."""
    try:
        return importlib.import_module(module)
    except ImportError as error:
        raise ImportError(
            f"{module} is needed for this; install it with: pip install 'quorl[{extra}]'"
        ) from error


def from_edges(nodes: Iterable[Sequence[str]], edges: Iterable[Sequence[str]]) -> PyGraph:
    """Build a graph from (id, label) pairs and (first id, second id, modality) triples.

    Unlike `_quorl.graph_from_edges`, the items may be lists (as JSON gives them) as well as
    tuples. Items must be strings; a node that appears only in `edges` gets the label ".",
    and edges are kept in order, duplicates and self-loops included.
    """
    return _quorl._graph_from_rows(_as_sequence(nodes), _as_sequence(edges))


def _is_instance_of(obj: object, module: str, class_name: str) -> bool:
    """isinstance against a class of an optional package, without importing that package.

    An object of the class can only exist once its package has been imported, so the
    check looks the class up in the modules already loaded.
    """
    loaded = sys.modules.get(module)
    cls = getattr(loaded, class_name, None) if loaded is not None else None
    return isinstance(cls, type) and isinstance(obj, cls)


def from_networkx(
    graph: Any, *, label_attr: str = "label", modality_attr: str = "modality"
) -> PyGraph:
    """Build a graph from an undirected networkx Graph or MultiGraph.

    Node keys and attribute values that are not strings are converted with `str`; a node
    without the `label_attr` attribute gets the label "." and an edge without the
    `modality_attr` attribute the modality "1". Nodes keep the graph's node order and
    edges its edge order, every parallel edge of a MultiGraph included.
    """
    nx = require("networkx", "networkx")
    if not isinstance(graph, nx.Graph):
        raise TypeError(f"expected a networkx Graph, got {type(graph).__name__}")
    if graph.is_directed():
        raise TypeError(
            "quorl canonises undirected graphs; convert a directed graph with to_undirected()"
        )
    ids: Dict[Any, str] = {}
    owner_of_id: Dict[str, Any] = {}
    nodes: List[Tuple[str, str]] = []
    for key, data in graph.nodes(data=True):
        node_id = key if isinstance(key, str) else str(key)
        if node_id in owner_of_id:
            # Two keys with one text (1 and "1") would silently become one node.
            raise ValueError(
                f"networkx nodes {owner_of_id[node_id]!r} and {key!r} both become the node id {node_id!r}"
            )
        owner_of_id[node_id] = key
        ids[key] = node_id
        nodes.append((node_id, _text(data.get(label_attr, DEFAULT_LABEL))))
    edges = [
        (ids[a], ids[b], _text(data.get(modality_attr, DEFAULT_MODALITY)))
        for a, b, data in graph.edges(data=True)
    ]
    return _quorl._graph_from_rows(nodes, edges)


def from_rdkit(mol: Any) -> PyGraph:
    """Build a graph from an RDKit Mol: atoms by index with their element symbols as labels,
    bonds with their Kekulé bond orders "1", "2" or "3" as modalities.

    Hydrogens are taken as they are in the Mol (add them with `Chem.AddHs` to include them).
    The Mol itself is not changed: a copy is Kekulized. Aromatic systems that cannot be
    Kekulized and bonds of other types (dative, quadruple, ...) raise ValueError.
    """
    chem = require("rdkit.Chem", "rdkit")
    if not isinstance(mol, chem.Mol):
        raise TypeError(f"expected an RDKit Mol, got {type(mol).__name__}")
    kekule = chem.Mol(mol)
    chem.Kekulize(kekule, clearAromaticFlags=True)
    nodes = [(str(atom.GetIdx()), atom.GetSymbol()) for atom in kekule.GetAtoms()]
    edges = []
    for bond in kekule.GetBonds():
        kind = str(bond.GetBondType())
        order = _BOND_ORDERS.get(kind)
        if order is None:
            raise ValueError(
                f"bond {bond.GetIdx()} between atoms {bond.GetBeginAtomIdx()} and "
                f"{bond.GetEndAtomIdx()} is {kind}; only single, double and triple bonds are supported"
            )
        edges.append((str(bond.GetBeginAtomIdx()), str(bond.GetEndAtomIdx()), order))
    return _quorl._graph_from_rows(nodes, edges)


def to_graph(
    graph: object, *, label_attr: str = "label", modality_attr: str = "modality"
) -> PyGraph:
    """The engine graph for any accepted input: a PyGraph (returned as it is), a networkx
    Graph or MultiGraph, an RDKit Mol, or a (nodes, edges) pair of lists."""
    if isinstance(graph, PyGraph):
        return graph
    if _is_instance_of(graph, "networkx", "Graph"):
        return from_networkx(graph, label_attr=label_attr, modality_attr=modality_attr)
    if _is_instance_of(graph, "rdkit.Chem", "Mol"):
        return from_rdkit(graph)
    if isinstance(graph, (tuple, list)) and len(graph) == 2:
        nodes, edges = graph
        return from_edges(nodes, edges)
    raise TypeError(
        "expected a PyGraph, a networkx Graph or MultiGraph, an RDKit Mol or a (nodes, edges) "
        f"pair, got {type(graph).__name__}"
    )


def _as_sequence(items: Any) -> Any:
    """Lists and tuples as they are, any other iterable as a list; strings and bytes are
    left for the engine to refuse with its own message (a string is not a list of pairs)."""
    if isinstance(items, (list, tuple, str, bytes)):
        return items
    return list(items)


def _text(value: object) -> str:
    return value if isinstance(value, str) else str(value)
