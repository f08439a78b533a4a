"""quorl.canonical_texts and quorl.canonical_orders: serial results in input order from threads,
per-item failures, bad arguments, input that fails or never ends, progress, and Ctrl-C."""

from __future__ import annotations

import contextvars
import itertools
import json
import sys
import threading
from pathlib import Path

import networkx as nx
import pytest

import _quorl
import quorl
from child_python import interrupted_child

LONE_CARBON = ([("a", "C")], [])
LONE_CARBON_TEXT = quorl.canonical_text(LONE_CARBON)
MOLECULES = Path(__file__).resolve().parents[2] / "examples" / "molecules.jsonl"


def molecule_pairs() -> list[tuple[list, list]]:
    with MOLECULES.open(encoding="utf-8") as stream:
        return [(record["nodes"], record["edges"]) for record in map(json.loads, stream)]


def mixed_inputs() -> list[object]:
    """Every kind of input the single calls take, shared graphs repeated among them."""
    pairs = molecule_pairs()[:80]
    shared = quorl.from_edges(*pairs[0])
    ring = nx.cycle_graph(7)
    nx.set_node_attributes(ring, "C", "label")
    inputs: list[object] = []
    for pair in pairs:
        inputs += [pair, shared, ring]
    inputs.append(quorl.parse_dot("graph g {\n a -- b;\n b -- c;\n}\n"))
    return inputs


@pytest.fixture
def no_thread_left_behind():
    before = set(threading.enumerate())
    yield
    # The batch joins its workers before it returns or raises.
    assert set(threading.enumerate()) == before


@pytest.mark.usefixtures("no_thread_left_behind")
@pytest.mark.parametrize("jobs", [1, 2, 8])
@pytest.mark.parametrize(
    "batch, single, options",
    [
        (quorl.canonical_texts, quorl.canonical_text, {}),
        (quorl.canonical_texts, quorl.canonical_text, {"compress": False, "compact": True}),
        (quorl.canonical_orders, quorl.canonical_order, {"allow_hashes": False}),
    ],
    ids=["texts", "texts uncompressed compact", "orders without hashes"],
)
def test_results_equal_the_single_calls_in_input_order(batch, single, options, jobs):
    inputs = mixed_inputs()
    expected = [single(graph, **options) for graph in inputs]
    assert list(batch(inputs, jobs=jobs, **options)) == expected


def failing_inputs() -> list[object]:
    directed = nx.DiGraph([("a", "b")])
    clashing = nx.Graph()
    clashing.add_nodes_from([1, "1"])
    return [
        ([("a", "C")], [("a", "b", "1")]),
        42,  # not a graph
        ([("a",)], []),  # a node without a label
        ([("a", "C")], [("a", "b", 1)]),  # a modality that is no string
        directed,
        clashing,  # two nodes with one id
        ([("x", "N")], []),
    ]


def single_outcome(graph: object) -> object:
    try:
        return quorl.canonical_text(graph)
    except Exception as error:
        return (type(error), str(error))


@pytest.mark.usefixtures("no_thread_left_behind")
@pytest.mark.parametrize("jobs", [1, 2])
def test_errors_return_puts_the_single_calls_exception_in_the_items_place(jobs):
    inputs = failing_inputs()
    results = list(quorl.canonical_texts(inputs, jobs=jobs, errors="return"))
    seen = [(type(r), str(r)) if isinstance(r, BaseException) else r for r in results]
    assert seen == [single_outcome(graph) for graph in inputs]
    assert [isinstance(r, BaseException) for r in results] == [False, True, True, True, True, True, False]


@pytest.mark.usefixtures("no_thread_left_behind")
@pytest.mark.parametrize("jobs", [1, 2])
def test_errors_raise_delivers_what_came_before_then_raises_the_items_exception(jobs):
    inputs = [LONE_CARBON] * 30 + [42] + [([("b", "N")], [])] * 100
    delivered = []
    with pytest.raises(TypeError, match="expected a PyGraph"):
        for text in quorl.canonical_texts(inputs, jobs=jobs):
            delivered.append(text)
    assert delivered == [LONE_CARBON_TEXT] * 30


@pytest.mark.parametrize(
    "arguments, message",
    [
        ({"jobs": 0}, "jobs must be a positive integer, got 0"),
        ({"jobs": -2}, "jobs must be a positive integer, got -2"),
        ({"jobs": 1.5}, "jobs must be a positive integer, got 1.5"),
        ({"jobs": "2"}, "jobs must be a positive integer, got '2'"),
        ({"jobs": True}, "jobs must be a positive integer, got True"),
        ({"errors": "ignore"}, "errors must be 'raise' or 'return', got 'ignore'"),
    ],
)
def test_bad_batch_arguments_are_value_errors_at_the_call(arguments, message):
    with pytest.raises(ValueError) as raised:
        quorl.canonical_texts([], **arguments)
    assert str(raised.value) == message


def test_an_unknown_option_fails_the_call_not_every_item():
    with pytest.raises(TypeError, match="compres"):
        quorl.canonical_texts([], compres=False)
    with pytest.raises(TypeError, match="compress"):
        quorl.canonical_orders([], compress=False)


@pytest.mark.usefixtures("no_thread_left_behind")
@pytest.mark.parametrize("jobs", [1, 2])
def test_an_exception_from_the_input_comes_after_the_results_read_before_it(jobs):
    def records():
        for index in range(25):
            yield ([(f"n{index}", "C")], [])
        raise OSError("disk gone")

    delivered = []
    with pytest.raises(OSError, match="disk gone"):
        for text in quorl.canonical_texts(records(), jobs=jobs):
            delivered.append(text)
    assert delivered == [LONE_CARBON_TEXT] * 25


@pytest.mark.usefixtures("no_thread_left_behind")
def test_an_endless_input_is_read_a_bounded_window_ahead():
    read = itertools.count()
    endless = ((([(str(next(read)), "C")], [])) for _ in itertools.count())
    texts = quorl.canonical_texts(endless, jobs=2)
    assert list(itertools.islice(texts, 2000)) == [LONE_CARBON_TEXT] * 2000
    ahead = next(read) - 2000
    texts.close()
    # 2 workers with 4 chunks each in flight, and the chunk being delivered; at most 64
    # items a chunk.
    assert 0 <= ahead <= (2 * 4 + 1) * 64, ahead


@pytest.mark.usefixtures("no_thread_left_behind")
def test_dropping_the_results_early_stops_the_workers():
    texts = quorl.canonical_texts(itertools.repeat(LONE_CARBON), jobs=3)
    assert next(texts) == LONE_CARBON_TEXT
    del texts


def test_nothing_runs_before_the_first_result_is_asked_for():
    read = []
    quorl.canonical_texts((read.append(i) or ([], []) for i in range(10)), jobs=2)
    assert read == []


@pytest.mark.parametrize("jobs", [1, 2])
def test_progress_callback_counts_delivered_results(jobs):
    counts = []
    inputs = [LONE_CARBON] * 10 + [42]
    results = list(quorl.canonical_texts(inputs, jobs=jobs, errors="return", progress=counts.append))
    assert len(results) == 11
    assert counts == list(range(1, 12))


def test_progress_bar_without_tqdm_warns_and_still_delivers(monkeypatch):
    # None in sys.modules makes importing the module fail as if it were not installed.
    monkeypatch.setitem(sys.modules, "tqdm", None)
    monkeypatch.setitem(sys.modules, "tqdm.auto", None)
    with pytest.warns(UserWarning, match="tqdm"):
        assert list(quorl.canonical_texts([LONE_CARBON], jobs=2, progress=True)) == [LONE_CARBON_TEXT]


# The child canonises big grids on two threads from an endless input, prints "ready" once
# the first results came back, and reports how long after the signal KeyboardInterrupt
# reached it and how many threads were left.
CHILD = """
import itertools, threading, time
import quorl

def grid(side):
    edges = [(f"{r}_{c}", f"{r}_{c + 1}", "1") for r in range(side) for c in range(side - 1)]
    edges += [(f"{r}_{c}", f"{r + 1}_{c}", "1") for r in range(side - 1) for c in range(side)]
    return quorl.from_edges([], edges)

small, big = grid(3), grid(10)
inputs = itertools.chain([small] * 20, itertools.cycle([small, big]))
texts = quorl.canonical_texts(inputs, jobs=2, compress=False)
try:
    for done, _ in enumerate(texts):
        if done == 10:
            print("ready", flush=True)
    print("finished", flush=True)
except KeyboardInterrupt:
    print("interrupted", time.monotonic(), threading.active_count(), flush=True)
print("after", quorl.canonical_text(small) == quorl.canonical_text(grid(3)), flush=True)
"""


def test_ctrl_c_mid_batch_raises_promptly_and_ends_every_worker():
    sent, lines = interrupted_child(CHILD, 0.3)
    assert lines[0].startswith("interrupted "), lines
    _, caught_at, threads_left = lines[0].split()
    print(f"interrupt latency: {(float(caught_at) - sent) * 1000:.1f} ms")
    # The main thread waits in short timed waits; the running items stop at their next poll.
    assert float(caught_at) - sent < 0.2
    assert threads_left == "1"
    assert lines[1] == "after True"


# The batches hand each chunk to one engine call that releases the interpreter lock once for
# all its items; what that call leaves (None) the package's per-item road does.
def chunk_items() -> list[tuple[str, object, bool]]:
    nodes, edges = molecule_pairs()[0]
    ring = nx.cycle_graph(5)
    nx.set_node_attributes(ring, "C", "label")
    return [
        ("PyGraph", quorl.from_edges(nodes, edges), True),
        ("pair of JSON lists", (nodes, edges), True),
        ("list of tuples of tuples", [tuple(map(tuple, nodes)), tuple(map(tuple, edges))], True),
        ("empty graph", ([], []), True),
        ("two components", ([("a", "C"), ("b", "N")], []), False),
        ("networkx graph", ring, False),
        ("node without a label", ([("a",)], []), False),
        ("modality that is no string", ([("a", "C")], [("a", "b", 1)]), False),
        ("rows from an iterator", (iter([("a", "C")]), []), False),
        ("pair of three", ([("a", "C")], [], []), False),
        ("not a graph", 42, False),
    ]


@pytest.mark.parametrize(
    "chunk_call, single, options",
    [
        (lambda items: _quorl._texts_of_chunk(items, None, None, None, None, None), quorl.canonical_text, {}),
        (
            lambda items: _quorl._texts_of_chunk(items, False, False, True, None, None),
            quorl.canonical_text,
            {"allow_hashes": False, "compress": False, "compact": True},
        ),
        (lambda items: _quorl._orders_of_chunk(items, None, None, None, None), quorl.canonical_order, {}),
    ],
    ids=["texts", "texts without hashes, uncompressed, compact", "orders"],
)
def test_a_chunk_gives_the_single_calls_results_and_leaves_the_rest(chunk_call, single, options):
    items = chunk_items()
    entries = chunk_call([item for _, item, _ in items])
    for (name, item, taken), entry in zip(items, entries):
        if taken:
            assert entry == single(item, **options), name
        else:
            assert entry is None, name


def grid(size: int) -> tuple[list, list]:
    nodes = [(f"{x},{y}", "C") for x in range(size) for y in range(size)]
    edges = [(f"{x},{y}", f"{x + dx},{y + dy}", "1") for x in range(size) for y in range(size)
             for dx, dy in ((1, 0), (0, 1)) if x + dx < size and y + dy < size]
    return nodes, edges


@pytest.mark.parametrize(
    "options, kind",
    [({"max_memory": 1}, MemoryError), ({"timeout": 0.01}, TimeoutError)],
    ids=["over its memory", "past its deadline"],
)
def test_a_chunk_item_that_fails_carries_the_single_calls_exception(options, kind):
    item = grid(8)  # expanded, 0.4 s and tens of megabytes
    with pytest.raises(kind) as single:
        quorl.canonical_text(item, **options)
    entries = _quorl._texts_of_chunk(
        [item, LONE_CARBON], None, None, None, options.get("max_memory"), options.get("timeout")
    )
    assert (type(entries[0]), str(entries[0])) == (kind, str(single.value))
    if kind is TimeoutError:  # each item has a deadline of its own
        assert entries[1] == LONE_CARBON_TEXT


def test_a_chunk_stopped_by_its_flag_ends_at_the_item_it_stopped():
    flag = _quorl._StopFlag()
    flag.set()
    stopped = contextvars.copy_context()
    stopped.run(_quorl._current_stop_flag.set, flag)
    graph = quorl.from_edges(*molecule_pairs()[0])
    entries = stopped.run(_quorl._texts_of_chunk, [graph, graph, graph], None, None, None, None, None)
    assert type(entries[0]) is KeyboardInterrupt and entries[1:] == [None, None]


@pytest.mark.parametrize("jobs", [1, 2])
def test_options_the_chunk_call_cannot_judge_go_item_by_item(jobs):
    inputs = [LONE_CARBON, molecule_pairs()[1]]
    for options in ({"compact": 1}, {"max_memory": -5}, {"timeout": "soon"}):
        results = list(quorl.canonical_texts(inputs, jobs=jobs, errors="return", **options))
        seen = [(type(r), str(r)) for r in results]
        expected = []
        for graph in inputs:
            with pytest.raises(Exception) as error:
                quorl.canonical_text(graph, **options)
            expected.append((type(error.value), str(error.value)))
        assert seen == expected, options


def failing_chunk(error: BaseException):
    def chunk_work(items):
        raise error

    return chunk_work


@pytest.mark.usefixtures("no_thread_left_behind")
@pytest.mark.parametrize("jobs", [1, 2])
def test_a_chunk_call_that_fails_leaves_every_item_to_the_per_item_road(jobs):
    from quorl._batch import run_batch

    results = run_batch(lambda x: x * 2, range(50), jobs=jobs, chunk_work=failing_chunk(MemoryError()))
    assert list(results) == [x * 2 for x in range(50)]
    with pytest.raises(KeyboardInterrupt):
        list(run_batch(lambda x: x, range(50), jobs=jobs, chunk_work=failing_chunk(KeyboardInterrupt())))
