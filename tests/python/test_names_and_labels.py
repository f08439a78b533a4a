"""What a node is called or labelled never corrupts its graph's canonical text or node order.

The rewrite names the nodes it makes after templates ("*v{n}", "#m{g}_{j}", "{id}@#m{g}_{j}"); input
ids drawn from those templates (and other awkward ones) must give the texts of the same graph with
plain ids, and the node order must name every input node of the root's component once, as given.
Braces in labels and modalities are bytes like any other: compression replaces only the origins of
mirror and virtual nodes. Set QUORL_ALL_MOLECULES to a molecules.jsonl file to run over all of its
records.
"""

import itertools
import json
import os
import pathlib
import random

import pytest

import _quorl

EXAMPLES = pathlib.Path(__file__).resolve().parents[2] / "examples"
TEXT_FLAGS = list(itertools.product([True, False], repeat=3))  # allow_hashes, compress, compact
ORDER_FLAGS = list(itertools.product([True, False], repeat=2))  # allow_hashes, compact


def hostile_pool():
    ids = {"", "@", "@@", "{", "}", "{}", "}{", ",", ", ", "*", "#", "$1", "C", "H", "N", "O", "1", "é", "x@1@2"}
    for n in range(16):
        ids |= {
            f"*v{n}", f"*v{n}'", f"*e{n}_a", f"*e{n}_b", f"#m{n}_0", f"#m0_{n}", f"#m{n}_1'", f"#e{n}_0",
            f"e{n}_main", f"{n}_link_0", f"e{n}", f"@{n}", f"a@{n}", f"{{{n}}}", f"{n},{n}",
            f"*v{n}@#m0_0", f"#m0_{n}@#m1_0", f"x@#m0_{n}", f"{n}@#m{n}_0",
        }
    return sorted(ids)


POOL = hostile_pool()


def sample_molecules():
    path = os.environ.get("QUORL_ALL_MOLECULES")
    records = pathlib.Path(path).read_text().splitlines() if path else (
        (EXAMPLES / "molecules.jsonl").read_text().splitlines()[::8])
    for line in records:
        record = json.loads(line)
        yield [tuple(node) for node in record["nodes"]], [tuple(edge) for edge in record["edges"]]


def random_multigraphs(count, seed):
    rng = random.Random(seed)
    for _ in range(count):
        size = rng.randint(1, 9)
        ids = [f"n{i}" for i in range(size)]
        nodes = [(node, rng.choice(["C", "N", "O", ""])) for node in ids]
        rng.shuffle(nodes)
        edges = []
        for _ in range(rng.randint(0, 2 * size + 1)):
            if edges and rng.random() < 0.15:
                edges.append(rng.choice(edges))  # a parallel edge
                continue
            first = rng.choice(ids)
            second = first if rng.random() < 0.1 else rng.choice(ids)
            edges.append((first, second, rng.choice(["1", "2", "10"])))
        yield nodes, edges


GRAPHS = list(sample_molecules()) + list(random_multigraphs(120, 14))


def node_ids(nodes, edges):
    return sorted({node for node, _ in nodes} | {end for edge in edges for end in edge[:2]})


def renamed(nodes, edges, name):
    return [(name[node], label) for node, label in nodes], [(name[a], name[b], m) for a, b, m in edges]


def texts(nodes, edges):
    graph = _quorl.graph_from_edges(nodes, edges)
    return [_quorl.to_cgraph_py(graph, None, None, *flags).as_str() for flags in TEXT_FLAGS]


def orders(nodes, edges):
    graph = _quorl.graph_from_edges(nodes, edges)
    return [_quorl.canonical_node_order_py(graph, allow_hashes=h, compact=c) for h, c in ORDER_FLAGS]


def component_of(root, edges):
    neighbours = {}
    for a, b, _ in edges:
        neighbours.setdefault(a, set()).add(b)
        neighbours.setdefault(b, set()).add(a)
    seen, stack = {root}, [root]
    while stack:
        for other in neighbours.get(stack.pop(), ()):
            if other not in seen:
                seen.add(other)
                stack.append(other)
    return seen


def assert_lists_component_once(order, edges):
    assert len(order) == len(set(order))
    assert set(order) == component_of(order[0], edges)


@pytest.mark.parametrize("index", range(len(GRAPHS)))
def test_hostile_ids_in_the_same_byte_order_give_the_plain_texts_and_orders(index):
    # With the ids' byte order kept, every choice that ids decide goes the same way, so the texts
    # and orders must be exactly those of the plain ids.
    nodes, edges = GRAPHS[index]
    plain = node_ids(nodes, edges)
    hostile = sorted(random.Random(index).sample(POOL, len(plain)))
    name = dict(zip(plain, hostile))
    hostile_nodes, hostile_edges = renamed(nodes, edges, name)
    assert texts(hostile_nodes, hostile_edges) == texts(nodes, edges)
    for hostile_order, plain_order in zip(orders(hostile_nodes, hostile_edges), orders(nodes, edges)):
        assert hostile_order == [name[node] for node in plain_order]
        assert_lists_component_once(hostile_order, hostile_edges)


@pytest.mark.parametrize("index", range(0, len(GRAPHS), 3))
def test_hostile_ids_in_any_order_give_the_plain_texts_where_those_ignore_names(index):
    nodes, edges = GRAPHS[index]
    plain = node_ids(nodes, edges)
    rng = random.Random(1000 + index)
    hostile = rng.sample(POOL, len(plain))
    reversed_plain = {node: f"z{len(plain) - i:04}" for i, node in enumerate(plain)}
    hostile_texts = texts(*renamed(nodes, edges, dict(zip(plain, hostile))))
    plain_texts = texts(nodes, edges)
    for hostile_text, plain_text, other_text in zip(hostile_texts, plain_texts,
                                                    texts(*renamed(nodes, edges, reversed_plain))):
        if plain_text == other_text:
            assert hostile_text == plain_text
    hostile_nodes, hostile_edges = renamed(nodes, edges, dict(zip(plain, hostile)))
    for order in orders(hostile_nodes, hostile_edges):
        assert_lists_component_once(order, hostile_edges)


@pytest.mark.parametrize(
    "ids",
    [
        # The cobound repair's "*v0" in a triangle, a square's mirror "#m0_0".
        ["*v0", "b", "c"],
        ["#m0_0", "b", "c", "d"],
        # Ids that agree before an "@" are different nodes.
        ["a", "a@b", "c"],
        ["x@1", "x@2", "x@3"],
    ],
)
def test_cycles_with_hostile_ids(ids):
    ring = [(ids[i], ids[(i + 1) % len(ids)], "1") for i in range(len(ids))]
    nodes = [(node, "C") for node in ids]
    plain = [f"p{i}" for i in range(len(ids))]
    plain_ring = [(plain[i], plain[(i + 1) % len(ids)], "1") for i in range(len(ids))]
    assert texts(nodes, ring) == texts([(node, "C") for node in plain], plain_ring)
    for order in orders(nodes, ring):
        assert sorted(order) == sorted(ids)


@pytest.mark.parametrize("compact", [True, False])
def test_compact_join_nodes_are_listed(compact):
    # Every atom of benzene, the ring's join among them, in both resolutions.
    ring = [(f"c{i}", f"c{(i + 1) % 6}", "2" if i % 2 else "1") for i in range(6)]
    order = _quorl.canonical_node_order_py(_quorl.graph_from_edges([], ring), compact=compact)
    assert sorted(order) == [f"c{i}" for i in range(6)]


BRACED = ["{", "}", "{}", "}{", "{x}", "{{", "a{b", "$1", "{$1}", "C"]


def text(nodes, edges, **flags):
    return _quorl.to_cgraph_py(_quorl.graph_from_edges(nodes, edges), None, None,
                               flags.get("allow_hashes", True), flags.get("compress", True),
                               flags.get("compact", False)).as_str()


@pytest.mark.parametrize(
    "nodes, edges, expected",
    [
        ([("a", "{x}")], [], "(){x}"),
        ([("a", "{y}")], [], "(){y}"),
        # An unclosed brace no longer swallows the rest of the text, the root's label included.
        ([("c", "C"), ("l", "{"), ("n1", "N"), ("n2", "N")], [("c", "l", "1"), ("c", "n1", "1"), ("c", "n2", "1")],
         "(N:1, N:1, {:1)C"),
        ([("c", "C"), ("o", "O")], [("c", "o", "{")], "(O:{)C"),
    ],
)
def test_braces_in_labels_and_modalities_are_kept(nodes, edges, expected):
    assert text(nodes, edges) == expected
    assert text(nodes, edges, compress=False) == expected


def random_braced_graph(rng, tree):
    size = rng.randint(1, 9)
    nodes = [(f"n{i}", rng.choice(BRACED)) for i in range(size)]
    edges = [(f"n{rng.randrange(i)}", f"n{i}", rng.choice(["1", "{", "}", "2"])) for i in range(1, size)]
    if not tree:
        for _ in range(rng.randint(1, size + 1)):
            edges.append((f"n{rng.randrange(size)}", f"n{rng.randrange(size)}", rng.choice(["1", "{", "}"])))
    return nodes, edges


@pytest.mark.parametrize("seed", range(40))
def test_trees_with_braced_labels_have_nothing_to_compress(seed):
    # A tree needs no mirror or virtual node, so its text holds no group of the writer's.
    nodes, edges = random_braced_graph(random.Random(seed), tree=True)
    for compact in (False, True):
        assert text(nodes, edges, compact=compact) == text(nodes, edges, compact=compact, compress=False)


@pytest.mark.parametrize("seed", range(40))
def test_cyclic_graphs_with_braced_labels_lose_no_label(seed):
    nodes, edges = random_braced_graph(random.Random(100 + seed), tree=False)
    labels = dict(nodes)
    graph = _quorl.graph_from_edges(nodes, edges)
    for allow_hashes, compact in ORDER_FLAGS:
        compressed = text(nodes, edges, allow_hashes=allow_hashes, compact=compact)
        plain = text(nodes, edges, allow_hashes=allow_hashes, compact=compact, compress=False)
        order = _quorl.canonical_node_order_py(graph, allow_hashes=allow_hashes, compact=compact)
        # The text ends with the root's label, as the uncompressed one does.
        assert plain.endswith(labels[order[0]])
        assert compressed.endswith(labels[order[0]])
        for node in order:
            assert labels[node] in compressed
