"""Whole graphs: every component canonised on its own, combined in one canonical way."""

import json
import random
from pathlib import Path

import pytest

import _quorl
import quorl

GOLDEN = Path(__file__).resolve().parents[1] / "golden"


def engine_text(graph, **flags):
    built = quorl.to_graph(graph)
    return _quorl.to_cgraph_py(built, None, None, flags.get("allow_hashes", True), flags.get("compress", True),
                               flags.get("compact", False)).as_str()


def renamed_and_shuffled(graph, seed):
    """The same graph under other node ids, with nodes, edges and edge ends listed in
    another order."""
    rng = random.Random(seed)
    nodes, edges = graph
    ids = [node_id for node_id, _ in nodes]
    names = {node_id: f"n{rank}" for rank, node_id in enumerate(rng.sample(ids, len(ids)))}
    new_nodes = [(names[i], label) for i, label in nodes]
    new_edges = [(names[b], names[a], m) if rng.random() < 0.5 else (names[a], names[b], m) for a, b, m in edges]
    rng.shuffle(new_nodes)
    rng.shuffle(new_edges)
    return new_nodes, new_edges, names


CO = ([("a", "C"), ("b", "O")], [("a", "b", "1")])


@pytest.mark.parametrize(
    "graph, text, order",
    [
        # The example: the engine alone gives "(O:1)C" and ["a", "b"].
        (([("a", "C"), ("b", "O"), ("c", "N"), ("d", "N")], [("a", "b", "1"), ("c", "d", "1")]),
         "(N:1)N + (O:1)C", ["c", "d", "a", "b"]),
        (([("z", "O"), ("y", "C"), ("x", "C")], []), "()C + ()C + ()O", ["x", "y", "z"]),
        # Equal components are ordered by their own orders, whatever the input order.
        (([("c", "C"), ("d", "O"), ("a", "C"), ("b", "O")], [("c", "d", "1"), ("a", "b", "1")]),
         "(O:1)C + (O:1)C", ["a", "b", "c", "d"]),
    ],
)
def test_components_are_sorted_and_joined(graph, text, order):
    assert quorl.canonical_text(graph) == text
    assert quorl.canonical_order(graph) == order


def test_every_node_once_and_invariant_under_renaming():
    labels = {"i1": "H", "i2": "H", "a": "C", "b": "O", "c": "C", "d": "O", "e": "N", "f": "N", "g": "S",
              "k1": "C", "k2": "C", "k3": "N"}
    edges = [("a", "b", "1"), ("c", "d", "1"), ("e", "f", "2"), ("g", "g", "1"),
             ("k1", "k2", "1"), ("k2", "k3", "1"), ("k3", "k1", "1")]
    graph = (list(labels.items()), edges)
    text = quorl.canonical_text(graph)
    order = quorl.canonical_order(graph)
    assert sorted(order) == sorted(labels)
    for seed in range(20):
        new_nodes, new_edges, names = renamed_and_shuffled(graph, seed)
        assert quorl.canonical_text((new_nodes, new_edges)) == text
        # Node by node the renamed order writes the same labels; equal components are
        # ordered by their new ids, so only the labels are compared.
        new_labels = dict(new_nodes)
        assert [new_labels[n] for n in quorl.canonical_order((new_nodes, new_edges))] == [labels[n] for n in order]


@pytest.mark.parametrize("flags", [{}, {"compress": False}, {"allow_hashes": False}, {"compact": True}])
def test_text_is_the_sorted_component_texts(flags):
    parts = [
        ([("r", "C"), ("a", "O"), ("b", "N")], [("r", "a", "1"), ("r", "b", "1"), ("a", "b", "1")]),
        ([(f"c{k}", "C") for k in range(6)], [(f"c{k}", f"c{(k + 1) % 6}", "1") for k in range(6)]),
        ([("x", "{x}")], []),
    ]
    union = ([n for p in parts for n in p[0]], [e for p in parts for e in p[1]])
    expected = " + ".join(sorted(engine_text(p, **flags) for p in parts))
    assert quorl.canonical_text(union, **flags) == expected


def test_connected_graphs_give_the_engines_outputs_byte_for_byte():
    # The golden files hold both; for a connected graph the two must agree entry by entry.
    with (GOLDEN / "engine.jsonl").open(encoding="utf-8") as engine, \
         (GOLDEN / "package.jsonl").open(encoding="utf-8") as package:
        pairs = [(json.loads(a), json.loads(b)) for a, b in zip(engine, package)]
    connected = [(a, b) for a, b in pairs if " + " not in b["texts"]["allow_hashes=1 compress=1 compact=0"]]
    assert len(connected) > 300
    for a, b in connected:
        assert a == b, a["graph"]


@pytest.mark.parametrize(
    "first, second, text",
    [
        # A label holding the separator makes one component read like two.
        (([("a", "a"), ("b", "b")], []), ([("a", "a + ()b")], []), "()a + ()b"),
        # A label holding the writer's own marks reads like more of the tree.
        (([("r", "C"), ("a", "O"), ("b", "O")], [("r", "a", "1"), ("r", "b", "1")]),
         ([("r", "C"), ("a", "O:1, O")], [("r", "a", "1")]), "(O:1, O:1)C"),
        # And so does a modality.
        (([("r", "C"), ("a", "O"), ("b", "O")], [("r", "a", "1"), ("r", "b", "1")]),
         ([("r", "C"), ("a", "O")], [("r", "a", "1, O:1")]), "(O:1, O:1)C"),
    ],
)
def test_labels_are_not_escaped_so_awkward_ones_can_collide(first, second, text):
    # What the README says about keys: these graphs differ, their texts do not.
    assert quorl.canonical_text(first) == quorl.canonical_text(second) == text


@pytest.mark.parametrize(
    "nodes, edges, numbers",
    [
        ([], [], None),
        ([("a", "C")], [], None),
        ([("a", "C")], [("a", "b", "1"), ("b", "b", "1")], None),
        ([("a", "C"), ("b", "C")], [], [0, 1]),
        ([("a", "C"), ("b", "C"), ("c", "C")], [("c", "a", "1"), ("d", "e", "1")], [0, 1, 0, 2, 2]),
    ],
)
def test_component_numbers(nodes, edges, numbers):
    assert _quorl._component_numbers(_quorl.graph_from_edges(nodes, edges)) == numbers


def test_component_numbers_takes_only_a_graph():
    with pytest.raises(TypeError, match="argument 'graph': 'list' object cannot be cast as 'PyGraph'"):
        _quorl._component_numbers([])
