"""The argument layer shared by every function: binding, conversion and their messages."""

import sys

import pytest

import _quorl


def graph():
    return _quorl.graph_from_edges([("a", "A")], [("a", "b", "r")])


def call(target, args, kwargs):
    function = getattr(graph(), target[1:]) if target.startswith(".") else getattr(_quorl, target)
    return function(*args, **kwargs)


@pytest.mark.parametrize(
    "target, args, kwargs, message",
    [
        ("parse_dot", (), {}, "parse_dot() missing 1 required positional argument: 'path'"),
        ("parse_dot_string", (), {}, "parse_dot_string() missing 1 required positional argument: 'content'"),
        (
            "graph_from_edges",
            (),
            {},
            "graph_from_edges() missing 2 required positional arguments: 'nodes' and 'edges'",
        ),
        ("graph_from_edges", (), {"edges": []}, "graph_from_edges() missing 1 required positional argument: 'nodes'"),
        ("graph_from_edges", ([],), {}, "graph_from_edges() missing 1 required positional argument: 'edges'"),
        ("parse_dot", ("a", "b"), {}, "parse_dot() takes 1 positional arguments but 2 were given"),
        ("graph_from_edges", ([], [], []), {}, "graph_from_edges() takes 2 positional arguments but 3 were given"),
        (".node_labels", (1,), {}, "PyGraph.node_labels() takes 0 positional arguments but 1 was given"),
        (".edges", (1, 2), {}, "PyGraph.edges() takes 0 positional arguments but 2 were given"),
        ("parse_dot", (), {"file": "x"}, "parse_dot() got an unexpected keyword argument 'file'"),
        (".edges", (), {"x": 1}, "PyGraph.edges() got an unexpected keyword argument 'x'"),
        ("parse_dot", ("x",), {"path": "y"}, "parse_dot() got multiple values for argument 'path'"),
        ("graph_from_edges", ([], []), {"nodes": []}, "graph_from_edges() got multiple values for argument 'nodes'"),
        # Keywords are checked before the positional count, as for a Python function.
        ("parse_dot", ("x", "y"), {"path": "z"}, "parse_dot() got multiple values for argument 'path'"),
        ("parse_dot", ("x", "y"), {"other": "z"}, "parse_dot() got an unexpected keyword argument 'other'"),
        # Binding fails before any value is looked at.
        ("graph_from_edges", ("str", 5, 6), {}, "graph_from_edges() takes 2 positional arguments but 3 were given"),
        ("graph_from_edges", ("str",), {}, "graph_from_edges() missing 1 required positional argument: 'edges'"),
    ],
)
def test_binding_messages(target, args, kwargs, message):
    with pytest.raises(TypeError) as caught:
        call(target, args, kwargs)
    assert str(caught.value) == message
    assert caught.value.__cause__ is None


def test_every_parameter_can_be_given_by_keyword():
    built = _quorl.graph_from_edges(edges=[("a", "b", "r")], nodes=[("a", "A")])
    assert built.edges() == [("e1", "a", "b", "r")]
    assert _quorl.parse_dot_string(content="a -- b").edge_count == 1


class Seq:
    """A sequence type of its own that yields the given items."""

    def __init__(self, *items):
        self.items = items

    def __len__(self):
        return len(self.items)

    def __getitem__(self, at):
        return self.items[at]


class Pair(tuple):
    pass


class Text(str):
    pass


@pytest.mark.parametrize(
    "function, args, message",
    [
        ("parse_dot", (1,), "argument 'path': 'int' object cannot be cast as 'PyString'"),
        ("parse_dot", (b"x.dot",), "argument 'path': 'bytes' object cannot be cast as 'PyString'"),
        ("parse_dot_string", (None,), "argument 'content': 'NoneType' object cannot be cast as 'PyString'"),
        ("parse_dot_string", (["a -- b"],), "argument 'content': 'list' object cannot be cast as 'PyString'"),
        ("graph_from_edges", ("ab", []), "argument 'nodes': Can't extract `str` to `Vec`"),
        ("graph_from_edges", (Text("ab"), []), "argument 'nodes': Can't extract `str` to `Vec`"),
        ("graph_from_edges", ([], ""), "argument 'edges': Can't extract `str` to `Vec`"),
        ("graph_from_edges", (None, []), "argument 'nodes': 'NoneType' object cannot be cast as 'Sequence'"),
        ("graph_from_edges", (5, []), "argument 'nodes': 'int' object cannot be cast as 'Sequence'"),
        ("graph_from_edges", ({"a": "A"}, []), "argument 'nodes': 'dict' object cannot be cast as 'Sequence'"),
        ("graph_from_edges", ({("a", "A")}, []), "argument 'nodes': 'set' object cannot be cast as 'Sequence'"),
        (
            "graph_from_edges",
            ((p for p in [("a", "A")]), []),
            "argument 'nodes': 'generator' object cannot be cast as 'Sequence'",
        ),
        ("graph_from_edges", ([["a", "A"]], []), "argument 'nodes': 'list' object cannot be cast as 'PyTuple'"),
        ("graph_from_edges", ([("a", "A"), None], []), "argument 'nodes': 'NoneType' object cannot be cast as 'PyTuple'"),
        ("graph_from_edges", (b"ab", []), "argument 'nodes': 'int' object cannot be cast as 'PyTuple'"),
        (
            "graph_from_edges",
            ([("a", "A", "x")], []),
            "argument 'nodes': expected tuple of length 2, but got tuple of length 3",
        ),
        ("graph_from_edges", ([()], []), "argument 'nodes': expected tuple of length 2, but got tuple of length 0"),
        ("graph_from_edges", ([("a", 1)], []), "argument 'nodes': 'int' object cannot be cast as 'PyString'"),
        ("graph_from_edges", ([(None, "A")], []), "argument 'nodes': 'NoneType' object cannot be cast as 'PyString'"),
        (
            "graph_from_edges",
            ([], [("a", "b")]),
            "argument 'edges': expected tuple of length 3, but got tuple of length 2",
        ),
        ("graph_from_edges", ([], [("a", "b", 2)]), "argument 'edges': 'int' object cannot be cast as 'PyString'"),
        ("graph_from_edges", ([], [("a", b"b", "r")]), "argument 'edges': 'bytes' object cannot be cast as 'PyString'"),
        ("graph_from_edges", ([], Seq(("a", "b", "r"), ["a", "b", "r"])), "argument 'edges': 'list' object cannot be cast as 'PyTuple'"),
        # The first parameter that fails is reported, in parameter order.
        ("graph_from_edges", ([("a",)], 5), "argument 'nodes': expected tuple of length 2, but got tuple of length 1"),
        ("graph_from_edges", ([("a", "A")], 5), "argument 'edges': 'int' object cannot be cast as 'Sequence'"),
    ],
)
def test_conversion_messages(function, args, message):
    with pytest.raises(TypeError) as caught:
        getattr(_quorl, function)(*args)
    assert type(caught.value) is TypeError
    assert str(caught.value) == message
    assert caught.value.args == (message,)


def test_other_sequences_tuple_and_str_subclasses_are_accepted():
    built = _quorl.graph_from_edges(
        Seq(Pair((Text("a"), Text("A")))), (("a", "b", "r"),)
    )
    assert built.node_labels() == [("a", "A"), ("b", ".")]
    assert all(type(text) is str for row in built.node_labels() for text in row)
    assert _quorl.graph_from_edges(range(0), []).node_count == 0


class FailingIteration:
    """A sequence whose iteration raises the given exception."""

    def __init__(self, error):
        self.error = error

    def __len__(self):
        return 1

    def __getitem__(self, at):
        raise self.error


class NarrowTypeError(TypeError):
    pass


@pytest.mark.parametrize("error", [RuntimeError("boom"), KeyError("k"), NarrowTypeError("narrow")])
def test_errors_of_other_types_pass_through_unchanged(error):
    with pytest.raises(type(error)) as caught:
        _quorl.graph_from_edges([], FailingIteration(error))
    assert caught.value is error


def test_type_error_from_iteration_is_wrapped_and_keeps_its_cause():
    cause = KeyError("inner cause")
    error = TypeError("inner")
    error.__cause__ = cause
    with pytest.raises(TypeError) as caught:
        _quorl.graph_from_edges(FailingIteration(error), [])
    assert str(caught.value) == "argument 'nodes': inner"
    assert caught.value.__cause__ is cause


def test_wrapped_error_without_cause_has_none():
    with pytest.raises(TypeError) as caught:
        _quorl.graph_from_edges(FailingIteration(TypeError("inner")), [])
    assert caught.value.__cause__ is None


@pytest.mark.parametrize(
    "function, args",
    [
        ("parse_dot_string", ("a -- \udc80",)),
        ("parse_dot", ("\ud800.dot",)),
        ("graph_from_edges", ([("a", "\udfff")], [])),
        ("graph_from_edges", ([], [("a", "b", "\ud83d")])),
    ],
)
def test_lone_surrogate_raises_the_interpreters_encoding_error(function, args):
    with pytest.raises(UnicodeEncodeError) as caught:
        getattr(_quorl, function)(*args)
    assert type(caught.value) is UnicodeEncodeError
    assert caught.value.encoding == "utf-8"


def test_keyword_that_is_not_ascii_is_reported_as_given():
    with pytest.raises(TypeError) as caught:
        _quorl.parse_dot(**{"päth": "x"})
    assert str(caught.value) == "parse_dot() got an unexpected keyword argument 'päth'"


def test_reference_counts_of_arguments_are_unchanged():
    node = ("a" * 50, "A")
    edge = ("a" * 50, "b", "r")
    nodes = [node, ("b", "B")]
    edges = [edge]
    content = "x -- y\n"
    bad_nodes = [node, ("c", 3)]
    watched = [node, edge, nodes, edges, content, bad_nodes, node[0]]
    before = [sys.getrefcount(item) for item in watched]
    for _ in range(1000):
        built = _quorl.graph_from_edges(nodes, edges=edges)
        built.node_labels()
        built.edges()
        _quorl.parse_dot_string(content)
        with pytest.raises(TypeError):
            _quorl.graph_from_edges(bad_nodes, edges)
        with pytest.raises(TypeError):
            _quorl.graph_from_edges(nodes, nodes)
    del built
    assert [sys.getrefcount(item) for item in watched] == before
