"""Proving that two graphs are isomorphic, respecting labels, modalities and parallel edges.

Two checks, the fast one first:

1. Canonical forms. A graph rewritten in its canonical node order (node i is the i-th node of
   `quorl.canonical_order` with its default flags, which list every node) is its form: the labels in that order and the sorted list of edges
   (i, j, modality) with i <= j, parallel edges and self-loops included. Equal forms prove the
   graphs isomorphic: mapping the i-th node of one order to the i-th of the other is an
   isomorphism. Different forms prove nothing, since the order of two isomorphic graphs may
   differ where the text does not decide it.
2. The complete matcher: networkx's VF2 on multigraphs, matching node labels and the multiset
   of modalities between every pair of nodes, within a time limit per pair.
"""

from __future__ import annotations

import enum
import json
import time
from collections import Counter
from typing import Any, List, Sequence, Tuple

from ._convert import require

#: Graphs above this size are not given to the matcher: its search recurses once per node.
MATCHER_MAX_NODES = 5_000

Form = Tuple[List[str], List[Tuple[int, int, str]]]


class Verdict(enum.Enum):
    SAME = "same"
    DIFFERENT = "different"
    UNDECIDED = "undecided"  # the matcher ran out of time, or the graphs are too large for it


def canonical_form(graph: Any, order: Sequence[str]) -> bytes:
    """The graph (a PyGraph) rewritten in the node order `order`, as compact JSON bytes.

    Equal forms prove isomorphism whatever orders they were made with; a canonical order
    makes the forms of isomorphic graphs equal where it can. An order that does not list
    every node exactly once (the engine's, for ids holding "@") is replaced by the graph's
    own node order, which keeps the form exact but makes equal forms unlikely.
    """
    labels = dict(graph.node_labels())
    position = {node_id: at for at, node_id in enumerate(order)}
    if len(position) != len(order) or position.keys() != labels.keys():
        order = list(labels)
        position = {node_id: at for at, node_id in enumerate(order)}
    edges = sorted(
        (min(position[a], position[b]), max(position[a], position[b]), modality)
        for _, a, b, modality in graph.edges()
    )
    form = [[labels[node_id] for node_id in order], edges]
    return json.dumps(form, ensure_ascii=False, separators=(",", ":")).encode("utf-8")


def form_in_store_order(graph: Any) -> bytes:
    """The form of a graph in its own node order: exact, but equal to another graph's form
    only by chance; `canonical_form_of` turns it into the canonical one when it is needed."""
    return canonical_form(graph, [node_id for node_id, _ in graph.node_labels()])


def canonical_form_of(form: bytes) -> bytes:
    """The canonical form of the graph a form describes; the form itself, still exact, if
    the engine refuses the graph."""
    from . import canonical_order, from_edges

    labels, edges = _decode(form)
    graph = from_edges([(str(at), label) for at, label in enumerate(labels)], [(str(a), str(b), m) for a, b, m in edges])
    try:
        return canonical_form(graph, canonical_order(graph))
    except ValueError:
        return form


def _decode(form: bytes) -> Form:
    labels, edges = json.loads(form)
    return labels, [tuple(edge) for edge in edges]


class _Timeout(Exception):
    pass


def same_graph(form_a: bytes, form_b: bytes, seconds: float) -> Verdict:
    """Whether the two graphs whose canonical forms are given are isomorphic."""
    if form_a == form_b:
        return Verdict.SAME
    labels_a, edges_a = _decode(form_a)
    labels_b, edges_b = _decode(form_b)
    if (
        len(labels_a) != len(labels_b)
        or len(edges_a) != len(edges_b)
        or Counter(labels_a) != Counter(labels_b)
        or Counter(m for _, _, m in edges_a) != Counter(m for _, _, m in edges_b)
    ):
        return Verdict.DIFFERENT
    if len(labels_a) > MATCHER_MAX_NODES:
        return Verdict.UNDECIDED
    try:
        return Verdict.SAME if _matcher((labels_a, edges_a), (labels_b, edges_b), seconds) else Verdict.DIFFERENT
    except _Timeout:
        return Verdict.UNDECIDED


def _multigraph(form: Form) -> Any:
    nx = require("networkx", "networkx")
    labels, edges = form
    graph = nx.MultiGraph()
    graph.add_nodes_from((at, {"label": label}) for at, label in enumerate(labels))
    graph.add_edges_from((a, b, {"modality": modality}) for a, b, modality in edges)
    return graph


def _same_label(a: dict[str, Any], b: dict[str, Any]) -> bool:
    return bool(a["label"] == b["label"])


def _same_modalities(a: dict[Any, dict[str, Any]], b: dict[Any, dict[str, Any]]) -> bool:
    # All the edges between one pair of nodes, keyed by edge key: compared as multisets.
    return sorted(e["modality"] for e in a.values()) == sorted(e["modality"] for e in b.values())


def _matcher(form_a: Form, form_b: Form, seconds: float) -> bool:
    isomorphism = require("networkx.algorithms.isomorphism", "networkx")
    deadline = time.monotonic() + seconds

    class DeadlineMatcher(isomorphism.MultiGraphMatcher):  # type: ignore[misc, name-defined]
        # Called for every candidate pair the search tries, so it bounds the search's time.
        def syntactic_feasibility(self, node_a: int, node_b: int) -> bool:
            if time.monotonic() > deadline:
                raise _Timeout
            return bool(super().syntactic_feasibility(node_a, node_b))

    matcher = DeadlineMatcher(
        _multigraph(form_a), _multigraph(form_b), node_match=_same_label, edge_match=_same_modalities
    )
    return bool(matcher.is_isomorphic())
