"""The quorl package: conversions of the accepted graph inputs, canonisation, pickling."""

import copy
import itertools
import pickle
import random
import sys
from pathlib import Path

import pytest

import _quorl
import quorl

EXAMPLES = Path(__file__).resolve().parents[2] / "examples"

needs_engine = pytest.mark.skipif(
    not hasattr(_quorl, "to_cgraph_py") or not hasattr(_quorl, "canonical_node_order_py"),
    reason="the extension has no canonisation entry points yet",
)

# The five-atom path H-C-C-C-H with every modality 1, and its canonical text, worked out by
# hand: the inner carbons p2 and p4 tie as roots and both write the same text.
PATH_NODES = [("p1", "H"), ("p2", "C"), ("p3", "C"), ("p4", "C"), ("p5", "H")]
PATH_EDGES = [("p1", "p2", "1"), ("p2", "p3", "1"), ("p3", "p4", "1"), ("p4", "p5", "1")]
PATH_TEXT = "(H:1, ((H:1)C:1)C:1)C"

# Two hubs N and O sharing the carbon x; O wins the root choice.
HUBS_NODES = [("A", "N"), ("B", "O"), ("x", "C"), ("a1", "H"), ("a2", "H"), ("b1", "H"), ("b2", "H")]
HUBS_EDGES = [("A", "a1", "1"), ("A", "a2", "1"), ("A", "x", "1"), ("B", "b1", "1"),
              ("B", "b2", "1"), ("B", "x", "1")]
HUBS_TEXT = "(H:1, H:1, ((H:1, H:1)N:1)C:1)O"

MOLECULES = sorted((EXAMPLES / "molecules").glob("*.dot")) + [EXAMPLES / "ethanol.dot"]

FLAG_COMBINATIONS = [
    dict(zip(("allow_hashes", "compress", "compact"), values))
    for values in itertools.product([True, False], repeat=3)
]


def path_graph_networkx(multi=False):
    nx = pytest.importorskip("networkx")
    graph = nx.MultiGraph() if multi else nx.Graph()
    for node, label in PATH_NODES:
        graph.add_node(node, label=label)
    for a, b, modality in PATH_EDGES:
        graph.add_edge(a, b, modality=modality)
    return graph


# ---------------------------------------------------------------- conversions


@pytest.mark.parametrize(
    "make",
    [
        pytest.param(lambda: (PATH_NODES, PATH_EDGES), id="pair-of-tuples"),
        pytest.param(lambda: ([list(n) for n in PATH_NODES], [list(e) for e in PATH_EDGES]), id="pair-of-lists"),
        pytest.param(lambda: quorl.from_edges(PATH_NODES, PATH_EDGES), id="pygraph"),
        pytest.param(lambda: path_graph_networkx(), id="networkx"),
        pytest.param(lambda: path_graph_networkx(multi=True), id="networkx-multi"),
        pytest.param(
            lambda: quorl.parse_dot(
                "graph g {\n" + "".join(f'{n} [label="{l}"];\n' for n, l in PATH_NODES)
                + "".join(f"{a} -- {b};\n" for a, b, _ in PATH_EDGES) + "}\n"
            ),
            id="dot",
        ),
    ],
)
def test_every_input_kind_gives_the_same_engine_graph(make):
    graph = quorl.to_graph(make())
    assert graph.node_labels() == PATH_NODES
    assert graph.edges() == [(f"e{i}", a, b, m) for i, (a, b, m) in enumerate(PATH_EDGES, start=1)]


def test_networkx_attributes_defaults_and_text_conversion():
    nx = pytest.importorskip("networkx")
    graph = nx.MultiGraph()
    graph.add_node(1, element="C")
    graph.add_node(2)  # no label: "."
    graph.add_node("x", element=7)  # non-text label: str
    graph.add_edge(1, 2, order=2)
    graph.add_edge(1, 2)  # parallel edge without modality: "1"
    graph.add_edge(2, "x", order="3", modality="ignored")
    converted = quorl.to_graph(graph, label_attr="element", modality_attr="order")
    assert converted.node_labels() == [("1", "C"), ("2", "."), ("x", "7")]
    assert [edge[1:] for edge in converted.edges()] == [("1", "2", "2"), ("1", "2", "1"), ("2", "x", "3")]
    # The default attribute names are "label" and "modality".
    default = quorl.to_graph(graph)
    assert default.node_labels() == [("1", "."), ("2", "."), ("x", ".")]
    assert [edge[3] for edge in default.edges()] == ["1", "1", "ignored"]


def test_networkx_keys_that_collide_as_text_are_refused():
    nx = pytest.importorskip("networkx")
    graph = nx.Graph()
    graph.add_edge(1, "1")
    with pytest.raises(ValueError, match="both become the node id '1'"):
        quorl.to_graph(graph)


def test_directed_networkx_graphs_are_refused():
    nx = pytest.importorskip("networkx")
    with pytest.raises(TypeError, match="to_undirected"):
        quorl.to_graph(nx.DiGraph([("a", "b")]))


@pytest.mark.parametrize("value", [42, {"nodes": []}, ([], [], []), "a -- b"])
def test_unsupported_inputs_are_refused(value):
    with pytest.raises(TypeError, match="expected a PyGraph"):
        quorl.to_graph(value)


@pytest.mark.parametrize(
    "nodes, edges, message",
    [
        ("ab", [], "argument 'nodes'"),
        ([("a", "A")], [("a", "b", 2)], "argument 'edges'"),
        ([("a", "A", "x")], [], "argument 'nodes'"),
        (["ab"], [], "argument 'nodes'"),  # a two-letter string is not an (id, label) pair
    ],
)
def test_from_edges_leaves_bad_items_to_the_engine(nodes, edges, message):
    with pytest.raises(TypeError, match=message):
        quorl.from_edges(nodes, edges)


@pytest.mark.parametrize("module, extra", [("networkx", "networkx"), ("rdkit.Chem", "rdkit")])
def test_missing_extra_is_named(monkeypatch, module, extra):
    monkeypatch.setitem(sys.modules, module, None)  # makes the import fail
    convert = quorl.from_networkx if extra == "networkx" else quorl.from_rdkit
    with pytest.raises(ImportError, match=rf"pip install 'quorl\[{extra}\]'"):
        convert(object())


def test_read_dot_and_parse_dot_agree(tmp_path):
    path = EXAMPLES / "ethanol.dot"
    from_file = quorl.read_dot(str(path))
    from_text = quorl.parse_dot(path.read_text(encoding="utf-8"))
    assert (from_file.node_count, from_file.edge_count) == (9, 8)
    assert from_file.node_labels() == from_text.node_labels()
    assert from_file.edges() == from_text.edges()
    with pytest.raises(ValueError, match=r"^parse error: .* \(os error \d+\)$"):
        quorl.read_dot(str(tmp_path / "missing.dot"))
    with pytest.raises(ValueError, match="^parse error: line 2: empty node id$"):
        quorl.parse_dot("graph g {\n-- b\n}\n")


# ---------------------------------------------------------------- pickling

ODD_DOT = (
    "graph odd {\n"
    'lonely [label=""];\n'  # an empty label on a node without edges stays empty
    'a [label="A"];\n'
    "a -- b [weight=2];\n"
    "a -- b [weight=2];\n"  # parallel edge
    "b -- b;\n"  # self-loop
    'b [label="late"];\n'  # too late: b already has "."
    'c [label=""];\n'
    "c -- a;\n"  # c's empty label becomes "."
    "}\n"
)


@pytest.mark.parametrize("protocol", range(pickle.HIGHEST_PROTOCOL + 1))
@pytest.mark.parametrize("source", ["odd", "ethanol", "empty"])
def test_pickle_round_trip_keeps_the_graph(source, protocol):
    graph = {
        "odd": lambda: quorl.parse_dot(ODD_DOT),
        "ethanol": lambda: quorl.read_dot(str(EXAMPLES / "ethanol.dot")),
        "empty": lambda: quorl.from_edges([], []),
    }[source]()
    copied = pickle.loads(pickle.dumps(graph, protocol=protocol))
    assert type(copied) is type(graph)
    assert copied.node_labels() == graph.node_labels()
    assert copied.edges() == graph.edges()
    assert copy.deepcopy(graph).edges() == graph.edges()


@needs_engine
def test_pickled_graph_has_the_same_canonical_text():
    graph = quorl.read_dot(str(EXAMPLES / "molecules" / "nicotine.dot"))
    copied = pickle.loads(pickle.dumps(graph))
    assert quorl.canonical_text(copied) == quorl.canonical_text(graph)
    assert quorl.canonical_order(copied) == quorl.canonical_order(graph)


# ---------------------------------------------------------------- canonisation


@needs_engine
@pytest.mark.parametrize(
    "nodes, edges, text", [(PATH_NODES, PATH_EDGES, PATH_TEXT), (HUBS_NODES, HUBS_EDGES, HUBS_TEXT)]
)
def test_canonical_text_of_known_graphs(nodes, edges, text):
    assert quorl.canonical_text((nodes, edges)) == text
    order = quorl.canonical_order((nodes, edges))
    assert sorted(order) == sorted(node for node, _ in nodes)


@needs_engine
def test_canonical_order_of_the_path_starts_at_its_first_inner_carbon():
    assert quorl.canonical_order((PATH_NODES, PATH_EDGES)) == ["p2", "p1", "p3", "p4", "p5"]


@needs_engine
@pytest.mark.parametrize("flags", FLAG_COMBINATIONS, ids=lambda f: "-".join(k for k, v in f.items() if v) or "none")
@pytest.mark.parametrize("path", MOLECULES, ids=lambda p: p.stem)
def test_results_are_exactly_the_engine_entry_points(path, flags):
    graph = quorl.read_dot(str(path))
    expected_text = _quorl.to_cgraph_py(graph, None, None, flags["allow_hashes"], flags["compress"], flags["compact"])
    assert quorl.canonical_text(graph, **flags) == expected_text.as_str()
    order_flags = {k: v for k, v in flags.items() if k != "compress"}
    expected_order = _quorl.canonical_node_order_py(graph, None, None, order_flags["allow_hashes"], order_flags["compact"])
    assert quorl.canonical_order(graph, **order_flags) == expected_order


@needs_engine
@pytest.mark.parametrize("seed", range(5))
def test_networkx_text_ignores_node_names_and_order(seed):
    nx = pytest.importorskip("networkx")
    graph = quorl.read_dot(str(EXAMPLES / "molecules" / "paracetamol.dot"))
    rng = random.Random(seed)
    ids = [node for node, _ in graph.node_labels()]
    names = dict(zip(ids, rng.sample(range(1000), len(ids))))  # integer keys, converted with str
    shuffled = nx.Graph()
    labelled = graph.node_labels()
    rng.shuffle(labelled)
    for node, label in labelled:
        shuffled.add_node(names[node], label=label)
    edges = graph.edges()
    rng.shuffle(edges)
    for _, a, b, modality in edges:
        shuffled.add_edge(names[b], names[a], modality=int(modality))
    assert quorl.canonical_text(shuffled) == quorl.canonical_text(graph)


@needs_engine
def test_flags_must_be_booleans_as_for_the_engine():
    with pytest.raises(TypeError, match="argument 'compact'"):
        quorl.canonical_text((PATH_NODES, PATH_EDGES), compact=1)


# ---------------------------------------------------------------- RDKit

# SMILES of the example molecules (the DOT files hold their atoms with explicit hydrogens).
# Nicotine is left out: the Kekulé form of its pyridine ring in the DOT file is not the one
# this RDKit picks, and the two forms are different graphs.
SMILES = {
    "acrylic_acid": "C=CC(=O)O",
    "benzene": "c1ccccc1",
    "formic_acid": "O=CO",
    "glycine": "NCC(=O)O",
    "paracetamol": "CC(=O)Nc1ccc(O)cc1",
    "toluene": "Cc1ccccc1",
}


@pytest.fixture(scope="module")
def chem():
    return pytest.importorskip("rdkit.Chem")


def test_rdkit_atoms_and_kekule_bonds(chem):
    mol = chem.MolFromSmiles("c1ccccc1O")
    graph = quorl.to_graph(mol)
    assert graph.node_labels() == [(str(i), s) for i, s in enumerate("CCCCCCO")]
    assert sorted(edge[3] for edge in graph.edges()) == ["1"] * 4 + ["2"] * 3
    assert mol.GetBondWithIdx(0).GetIsAromatic()  # the caller's Mol is not Kekulized
    with_hydrogens = quorl.to_graph(chem.AddHs(mol))
    assert [label for _, label in with_hydrogens.node_labels()].count("H") == 6


def test_rdkit_bonds_other_than_single_double_triple_are_refused(chem):
    mol = chem.MolFromSmiles("N->[Pt]")
    with pytest.raises(ValueError, match="DATIVE"):
        quorl.to_graph(mol)


@needs_engine
@pytest.mark.parametrize("name", sorted(SMILES))
def test_rdkit_molecule_matches_its_dot_file(chem, name):
    mol = chem.AddHs(chem.MolFromSmiles(SMILES[name]))
    dot = quorl.read_dot(str(EXAMPLES / "molecules" / f"{name}.dot"))
    assert quorl.canonical_text(mol) == quorl.canonical_text(dot)


@needs_engine
def test_rdkit_text_ignores_atom_order(chem):
    mol = chem.AddHs(chem.MolFromSmiles("CN1CCCC1c1cccnc1"))
    texts = set()
    for seed in range(10):
        order = list(range(mol.GetNumAtoms()))
        random.Random(seed).shuffle(order)
        texts.add(quorl.canonical_text(chem.RenumberAtoms(mol, order)))
    assert len(texts) == 1
