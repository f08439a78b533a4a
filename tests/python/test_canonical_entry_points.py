"""to_cgraph_py and canonical_node_order_py: arguments, defaults, results and failures."""

import os
import random
import signal
import subprocess
import sys
import textwrap

import numpy
import pytest

import _quorl

DEFAULTS = ("$degree", "$depth > tree.parent_modality > $lexic", True, True, False)


def small_graph():
    return _quorl.graph_from_edges(
        [("c1", "C"), ("c2", "C"), ("o", "O")],
        [("c1", "c2", "1"), ("c2", "o", "2"), ("o", "c1", "1"), ("o", "h", "1")],
    )


def text(graph, *args, **kwargs):
    return _quorl.to_cgraph_py(graph, *args, **kwargs).as_str()


def order(graph, *args, **kwargs):
    return _quorl.canonical_node_order_py(graph, *args, **kwargs)


def test_none_stands_for_each_default():
    graph = small_graph()
    expected = text(graph, *DEFAULTS)
    assert text(graph, None, None, None, None, None) == expected
    for position in range(5):
        args = list(DEFAULTS)
        args[position] = None
        assert text(graph, *args) == expected


def test_node_order_defaults_whether_left_out_or_none():
    graph = small_graph()
    rule, branch, hashes, _, compact = DEFAULTS
    expected = order(graph, rule, branch, hashes, compact)
    assert order(graph) == expected
    assert order(graph, None, None, None, None) == expected
    assert order(graph=graph, compact=None, allow_hashes=hashes) == expected
    assert sorted(expected) == ["c1", "c2", "h", "o"]


@pytest.mark.parametrize("flags", [(True, False, False), (False, True, True), (False, False, False)])
def test_numpy_booleans_count_as_their_truth_value(flags):
    graph = small_graph()
    as_numpy = [numpy.bool_(flag) for flag in flags]
    assert text(graph, None, None, *as_numpy) == text(graph, None, None, *flags)
    assert order(graph, None, None, as_numpy[0], as_numpy[2]) == order(graph, None, None, flags[0], flags[2])


def test_branch_rule_is_any_text():
    graph = small_graph()
    expected = text(graph, None, None, None, None, None)
    for branch in ("", "anything", "$lexic > $depth", "\0"):
        assert text(graph, None, branch, None, None, None) == expected
        assert order(graph, branch_rule=branch) == order(graph)


def test_same_graph_twice_gives_the_same_text_and_stays_unchanged():
    graph = small_graph()
    edges = graph.edges()
    assert text(graph, None, None, None, None, None) == text(graph, None, None, None, None, None)
    assert order(graph) == order(graph)
    assert graph.edges() == edges


def test_graph_without_nodes():
    empty = _quorl.graph_from_edges([], [])
    result = _quorl.to_cgraph_py(empty, None, None, None, None, None)
    assert (result.as_str(), str(result), repr(result)) == ("", "", "")
    assert order(empty) == []
    # Nothing is scored, so even an unknown rule succeeds.
    assert text(empty, "unknown", None, None, None, None) == ""


def test_cgraph_str_repr_and_as_str_agree():
    result = _quorl.to_cgraph_py(small_graph(), None, None, None, None, None)
    assert isinstance(result, _quorl.PyCGraph)
    assert type(result.as_str()) is str
    assert str(result) == repr(result) == result.as_str() != ""


@pytest.mark.parametrize("rule", ["", "$lexic", "$degree ", "\u00e9\0"])
def test_unknown_candidate_rule_is_unsupported(rule):
    message = f"unsupported: candidate rule '{rule}' not implemented"
    with pytest.raises(ValueError) as caught:
        _quorl.to_cgraph_py(small_graph(), rule, None, None, None, None)
    assert caught.value.args == (message,)
    with pytest.raises(ValueError) as caught:
        order(small_graph(), rule)
    assert caught.value.args == (message,)


class Boom:
    def __bool__(self):
        raise AssertionError("truth value must not be asked")


class bool_:  # noqa: N801 - looks like numpy's boolean scalar type
    __module__ = "numpy"

    def __init__(self, truth):
        self.truth = truth

    def __bool__(self):
        if isinstance(self.truth, BaseException):
            raise self.truth
        return self.truth


ARGS = ["graph", "candidate_rule", "branch_rule", "allow_hashes", "compress", "compact"]


@pytest.mark.parametrize(
    "position, value, message",
    [
        (0, None, "'NoneType' object cannot be cast as 'PyGraph'"),
        (0, "g", "'str' object cannot be cast as 'PyGraph'"),
        (1, 1, "'int' object cannot be cast as 'PyString'"),
        (2, b"x", "'bytes' object cannot be cast as 'PyString'"),
        (3, 1, "'int' object cannot be cast as 'PyBool'"),
        (3, 0, "'int' object cannot be cast as 'PyBool'"),
        (4, "True", "'str' object cannot be cast as 'PyBool'"),
        (5, 1.0, "'float' object cannot be cast as 'PyBool'"),
        (5, numpy.int64(1), "'int64' object cannot be cast as 'PyBool'"),
        (5, numpy.array([True]), "'ndarray' object cannot be cast as 'PyBool'"),
        (5, Boom(), "'Boom' object cannot be cast as 'PyBool'"),
    ],
)
def test_to_cgraph_conversion_messages(position, value, message):
    args = [small_graph(), None, None, None, None, None]
    args[position] = value
    with pytest.raises(TypeError) as caught:
        _quorl.to_cgraph_py(*args)
    assert str(caught.value) == f"argument '{ARGS[position]}': {message}"


def test_first_failing_parameter_is_reported():
    with pytest.raises(TypeError) as caught:
        _quorl.to_cgraph_py(small_graph(), None, 1, 2, 3, 4)
    assert str(caught.value) == "argument 'branch_rule': 'int' object cannot be cast as 'PyString'"
    with pytest.raises(TypeError) as caught:
        _quorl.canonical_node_order_py(_quorl.to_cgraph_py(small_graph(), None, None, None, None, None))
    assert str(caught.value) == "argument 'graph': 'PyCGraph' object cannot be cast as 'PyGraph'"


def test_boolean_lookalike_is_taken_by_its_truth_value():
    graph = small_graph()
    assert text(graph, None, None, bool_(False), None, None) == text(graph, None, None, False, None, None)


def test_failing_truth_value_of_a_boolean_is_a_type_error_with_its_cause():
    failure = ValueError("no truth")
    with pytest.raises(TypeError) as caught:
        _quorl.to_cgraph_py(small_graph(), None, None, None, None, bool_(failure))
    assert str(caught.value) == "argument 'compact': object of type 'bool_' does not define a '__bool__' conversion"
    assert caught.value.__cause__ is failure


def test_interrupt_inside_truth_value_passes_through():
    with pytest.raises(KeyboardInterrupt):
        _quorl.to_cgraph_py(small_graph(), None, None, bool_(KeyboardInterrupt()), None, None)


@pytest.mark.parametrize(
    "function, args, kwargs, message",
    [
        (
            "to_cgraph_py",
            (),
            {},
            "to_cgraph_py() missing 6 required positional arguments: 'graph', 'candidate_rule', 'branch_rule', "
            "'allow_hashes', 'compress', and 'compact'",
        ),
        (
            "to_cgraph_py",
            ("G",),
            {"compact": None},
            "to_cgraph_py() missing 4 required positional arguments: 'candidate_rule', 'branch_rule', "
            "'allow_hashes', and 'compress'",
        ),
        (
            "to_cgraph_py",
            ("G", None, None, None),
            {},
            "to_cgraph_py() missing 2 required positional arguments: 'compress' and 'compact'",
        ),
        (
            "to_cgraph_py",
            ("G", None, None, None, None, None, None),
            {},
            "to_cgraph_py() takes 6 positional arguments but 7 were given",
        ),
        (
            "to_cgraph_py",
            ("G", None, None, None, None, None),
            {"compact": None},
            "to_cgraph_py() got multiple values for argument 'compact'",
        ),
        ("canonical_node_order_py", (), {}, "canonical_node_order_py() missing 1 required positional argument: 'graph'"),
        (
            "canonical_node_order_py",
            (),
            {"compact": True},
            "canonical_node_order_py() missing 1 required positional argument: 'graph'",
        ),
        (
            "canonical_node_order_py",
            ("G", None, None, None, None, None),
            {},
            "canonical_node_order_py() takes from 1 to 5 positional arguments but 6 were given",
        ),
        (
            "canonical_node_order_py",
            ("G",),
            {"compress": True},
            "canonical_node_order_py() got an unexpected keyword argument 'compress'",
        ),
    ],
)
def test_binding_messages(function, args, kwargs, message):
    args = tuple(small_graph() if arg == "G" else arg for arg in args)
    with pytest.raises(TypeError) as caught:
        getattr(_quorl, function)(*args, **kwargs)
    assert str(caught.value) == message


def ring(size):
    """A ring with random labels: every node is rewritten as a root, which takes seconds at 3,000."""
    pick = random.Random(size)
    return _quorl.graph_from_edges([(f"n{i}", pick.choice("CNO")) for i in range(size)],
                                   [(f"n{i}", f"n{(i + 1) % size}", "1") for i in range(size)])


class Stop(Exception):
    pass


def test_signal_handler_exception_stops_the_engine():
    def raise_stop(signum, frame):
        raise Stop

    graph = ring(3000)
    previous = signal.signal(signal.SIGALRM, raise_stop)
    try:
        signal.setitimer(signal.ITIMER_REAL, 0.05)
        with pytest.raises(Stop):
            _quorl.to_cgraph_py(graph, None, None, None, None, None)
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)


def test_trace_lines_follow_what_python_printed_before(tmp_path):
    script = textwrap.dedent(
        """
        import _quorl
        graph = _quorl.graph_from_edges([], [("a", "b", "1"), ("b", "c", "1"), ("c", "a", "1")])
        print("before")
        _quorl.to_cgraph_py(graph, None, None, None, None, None)
        print("after")
        """
    )
    env = dict(os.environ, QUORL_TRACE="1", PYTHONPATH=os.pathsep.join(sys.path))
    env.pop("PYTHONUNBUFFERED", None)  # the point is Python's own buffering of a pipe
    out = subprocess.run([sys.executable, "-c", script], env=env, capture_output=True, check=True).stdout
    lines = out.decode().splitlines()
    assert lines[0] == "before" and lines[-1] == "after"
    assert len(lines) > 2 and all(line.startswith("TRACE ") for line in lines[1:-1])


def test_reference_counts_of_arguments_are_unchanged():
    graph = small_graph()
    rule = "$" + "degree"
    branch = "b" * 40
    before = [sys.getrefcount(item) for item in (graph, rule, branch)]
    for _ in range(300):
        _quorl.to_cgraph_py(graph, rule, branch, True, None, False)
        _quorl.canonical_node_order_py(graph, rule, branch_rule=branch)
        with pytest.raises(TypeError):
            _quorl.to_cgraph_py(graph, rule, branch, 1, None, None)
        with pytest.raises(ValueError):
            _quorl.canonical_node_order_py(graph, branch)
    assert [sys.getrefcount(item) for item in (graph, rule, branch)] == before
