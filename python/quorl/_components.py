"""Whole graphs: every connected component canonised on its own, the results combined.

The engine describes only the component of the root it chooses. The package canonises every
component by itself and combines the component texts sorted bytewise, joined by
`COMPONENT_SEPARATOR`; the node order lists the components' orders in the order of their
texts. A connected graph (one scan finds that out) goes to the engine unchanged, so its text
and order are exactly the engine's.
"""

from __future__ import annotations

from typing import Callable, List, Optional, Tuple

import _quorl
from _quorl import PyGraph

#: Joins the texts of the components of a graph that is not connected.
COMPONENT_SEPARATOR = " + "

TextOf = Callable[[PyGraph], str]
OrderOf = Callable[[PyGraph], List[str]]


def split_components(graph: PyGraph) -> Optional[List[PyGraph]]:
    """The components of a graph as graphs of their own, numbered by their first node; None
    for a graph of at most one component.

    Each component keeps its nodes and edges in the graph's order, so it is stored as it
    would be had it been given alone.
    """
    numbers = _quorl._component_numbers(graph)
    if numbers is None:
        return None
    count = max(numbers) + 1
    nodes: List[List[Tuple[str, str]]] = [[] for _ in range(count)]
    edges: List[List[Tuple[str, str, str]]] = [[] for _ in range(count)]
    component_of = {}
    for node, number in zip(graph.node_labels(), numbers):
        nodes[number].append(node)
        component_of[node[0]] = number
    for _, first, second, modality in graph.edges():
        edges[component_of[first]].append((first, second, modality))
    return [_quorl.graph_from_edges(n, e) for n, e in zip(nodes, edges)]


def whole_text(graph: PyGraph, text_of: TextOf) -> str:
    """The text of every component by `text_of`, sorted and joined by the separator."""
    components = split_components(graph)
    if components is None:
        return text_of(graph)
    return COMPONENT_SEPARATOR.join(sorted(text_of(component) for component in components))


def whole_order(graph: PyGraph, text_of: TextOf, order_of: OrderOf) -> List[str]:
    """The order of every component by `order_of`, components sorted by their texts by
    `text_of`; components with equal texts by their orders (lists of distinct ids compared
    item by item), which depend on the ids alone, not on the input order."""
    components = split_components(graph)
    if components is None:
        return order_of(graph)
    ranked = sorted((text_of(component), order_of(component)) for component in components)
    return [node for _, order in ranked for node in order]
