"""Grouping records by text, proving merges, and the memory-bounded group store."""

import random

import pytest

import quorl
from quorl import _dedup
from quorl._verify import Verdict, canonical_form, same_graph

nx = pytest.importorskip("networkx")

# Atlas graphs 164 and 165: connected, six nodes, nine edges, not isomorphic, one text.
COLLIDING = [
    [(0, 1), (0, 2), (0, 5), (1, 2), (1, 3), (1, 4), (1, 5), (3, 4), (4, 5)],
    [(0, 1), (0, 2), (0, 3), (0, 4), (0, 5), (1, 2), (1, 3), (2, 3), (4, 5)],
]


def pair_graph(edges, prefix=""):
    nodes = sorted({x for e in edges for x in e})
    return [(f"{prefix}{n}", "C") for n in nodes], [(f"{prefix}{a}", f"{prefix}{b}", "1") for a, b in edges]


def shuffled(graph, seed):
    rng = random.Random(seed)
    nodes, edges = list(graph[0]), list(graph[1])
    rename = {n: f"r{seed}_{i}" for i, (n, _) in enumerate(rng.sample(nodes, len(nodes)))}
    rng.shuffle(nodes)
    rng.shuffle(edges)
    return [(rename[n], l) for n, l in nodes], [(rename[b], rename[a], m) for a, b, m in edges]


ETHANOL = ([("c1", "C"), ("c2", "C"), ("o", "O")], [("c1", "c2", "1"), ("c2", "o", "1")])
ACID = ([("c", "C"), ("o1", "O"), ("o2", "O")], [("c", "o1", "2"), ("c", "o2", "1")])


def test_equal_texts_form_one_group_in_input_order():
    records = [("e1", ETHANOL), ("a1", ACID), ("e2", shuffled(ETHANOL, 1)), ("a2", shuffled(ACID, 2)), (7, ETHANOL)]
    groups = quorl.group_duplicates(records)
    assert [(g.number, g.text, g.members) for g in groups] == [
        (1, quorl.canonical_text(ETHANOL), ["e1", "e2", 7]),
        (2, quorl.canonical_text(ACID), ["a1", "a2"]),
    ]
    assert not any(g.unverified for g in groups)


@pytest.mark.parametrize("verify", [False, True])
def test_colliding_texts_are_split_only_when_verified(verify):
    first, second = (pair_graph(edges) for edges in COLLIDING)
    assert quorl.canonical_text(first) == quorl.canonical_text(second)
    records = [("a", first), ("b", second), ("a2", shuffled(first, 3)), ("b2", shuffled(second, 4))]
    with _dedup.Grouper(verify=verify) as grouper:
        numbers = [grouper.add(i, _dedup.keys_of(g, verify=verify)) for i, g in records]
        groups = list(grouper.groups())
        if verify:
            assert numbers == [1, 2, 1, 2]
            assert [g.members for g in groups] == [["a", "a2"], ["b", "b2"]]
            assert (grouper.collisions, grouper.unverified) == (1, 0)
        else:
            assert numbers == [1, 1, 1, 1]
            assert [g.members for g in groups] == [["a", "b", "a2", "b2"]]


def test_an_undecided_pair_is_reported_unverified_not_merged():
    first, second = (pair_graph(edges) for edges in COLLIDING)
    groups = quorl.group_duplicates([("a", first), ("b", second)], verify=True, verify_seconds=0.0)
    assert [(g.members, g.unverified) for g in groups] == [(["a"], False), (["b"], True)]


def test_a_timed_out_matcher_on_a_large_pair_returns_undecided():
    # Two 3-regular graphs of 400 nodes: the quick counts agree, so only the matcher could
    # tell, and it gets a millisecond.
    a = nx.random_regular_graph(3, 400, seed=1)
    b = nx.random_regular_graph(3, 400, seed=2)
    forms = [canonical_form(quorl.to_graph(g), quorl.canonical_order(g)) for g in (a, b)]
    assert same_graph(forms[0], forms[1], 0.001) is Verdict.UNDECIDED


def forms_of(*graphs):
    return [canonical_form(quorl.to_graph(g), [n for n, _ in g[0]]) for g in graphs]


@pytest.mark.parametrize(
    "first, second, verdict",
    [
        # Parallel edges: modalities compared as multisets per pair of nodes, not as sets.
        (([("a", "C"), ("b", "C"), ("c", "C"), ("d", "C")],
          [("a", "b", m) for m in "1122"] + [("c", "d", m) for m in "1122"]),
         ([("a", "C"), ("b", "C"), ("c", "C"), ("d", "C")],
          [("a", "b", m) for m in "1112"] + [("c", "d", m) for m in "1222"]), Verdict.DIFFERENT),
        (([("a", "C"), ("b", "C"), ("c", "C"), ("d", "C")],
          [("a", "b", m) for m in "1112"] + [("c", "d", m) for m in "1222"]),
         ([("d", "C"), ("c", "C"), ("b", "C"), ("a", "C")],
          [("c", "d", m) for m in "2122"] + [("b", "a", m) for m in "2111"]), Verdict.SAME),
        # Self-loops count.
        (([("a", "C"), ("b", "C")], [("a", "b", "1"), ("a", "a", "1")]),
         ([("a", "C"), ("b", "C")], [("a", "b", "1"), ("b", "b", "1")]), Verdict.SAME),
        (([("a", "C"), ("b", "O")], [("a", "b", "1"), ("a", "a", "1")]),
         ([("a", "C"), ("b", "O")], [("a", "b", "1"), ("b", "b", "1")]), Verdict.DIFFERENT),
        # Labels count, and so do the edges' places.
        (([("a", "C"), ("b", "O"), ("c", "N")], [("a", "b", "1"), ("b", "c", "2")]),
         ([("a", "C"), ("b", "O"), ("c", "N")], [("a", "b", "2"), ("b", "c", "1")]), Verdict.DIFFERENT),
        (pair_graph(COLLIDING[0]), pair_graph(COLLIDING[1]), Verdict.DIFFERENT),
    ],
)
def test_the_complete_matcher(first, second, verdict):
    assert same_graph(*forms_of(first, second), 10.0) is verdict


def test_canonical_forms_of_renamed_graphs_are_equal():
    mol = ([("c", "C"), ("o", "O"), ("n", "N"), ("h1", "H"), ("h2", "H")],
           [("c", "o", "2"), ("c", "n", "1"), ("n", "h1", "1"), ("n", "h2", "1"), ("o", "o", "1")])
    forms = {_dedup.keys_of(shuffled(mol, seed), verify=True).form for seed in range(10)}
    assert len(forms) == 1


def test_an_order_that_misses_nodes_falls_back_to_the_store_order():
    graph = quorl.to_graph(ETHANOL)
    assert canonical_form(graph, ["o"]) == canonical_form(graph, ["c1", "c2", "o"])


def test_members_come_back_in_several_passes(monkeypatch):
    records = [(f"r{i}", ETHANOL if i % 3 else ACID) for i in range(10)] + [("x", ([("q", "Q")], []))]
    expected = [(g.number, g.text, g.members) for g in quorl.group_duplicates(records)]
    monkeypatch.setattr(_dedup, "MEMBERS_PER_PASS", 2)
    assert [(g.number, g.text, g.members) for g in quorl.group_duplicates(records)] == expected
    assert [len(m) for _, _, m in expected] == [4, 6, 1]


def test_ids_must_be_json_values():
    with _dedup.Grouper() as grouper, pytest.raises(ValueError):
        grouper.add(float("nan"), _dedup.keys_of(ETHANOL, verify=False))


def test_a_canonical_form_is_made_only_once_a_text_repeats():
    mol = ([("c", "C"), ("o", "O"), ("n", "N"), ("h1", "H"), ("h2", "H")],
           [("c", "o", "2"), ("c", "n", "1"), ("n", "h1", "1"), ("n", "h2", "1")])
    with _dedup.Grouper(verify=True) as grouper:
        first = _dedup.keys_of(mol, verify=True, seen=grouper.has_text)
        assert not first.form_is_canonical
        grouper.add("first", first)
        again = _dedup.keys_of(shuffled(mol, 5), verify=True, seen=grouper.has_text)
        assert again.form_is_canonical
        # The first member's form is made canonical when it is compared, so the fast check
        # proves the duplicate and the matcher is not needed.
        assert grouper.add("again", again) == 1
        assert grouper.add("plain again", _dedup.keys_of(shuffled(mol, 6), verify=True)) == 1
        assert grouper.matcher_runs == 0
        assert [g.members for g in grouper.groups()] == [["first", "again", "plain again"]]
