"""What importing _quorl registers, and how its functions present themselves."""

import inspect

import pytest

import _quorl

REGISTERED = [
    "PyGraph",
    "PyCGraph",
    "parse_dot",
    "parse_dot_string",
    "graph_from_edges",
    "to_cgraph_py",
    "canonical_node_order_py",
]


def test_all_lists_the_registered_names_in_order():
    assert _quorl.__all__ == REGISTERED


def test_attributes_are_registered_in_order():
    names = [name for name in vars(_quorl) if not name.startswith("_")]
    assert names == REGISTERED + ["InternalError"]


def test_internal_error_is_catchable_by_name_and_not_an_exception():
    assert issubclass(_quorl.InternalError, BaseException)
    assert not issubclass(_quorl.InternalError, Exception)
    assert _quorl.InternalError.__module__ == "_quorl"
    assert _quorl.InternalError.__name__ == "InternalError"


def test_module_documentation_is_empty():
    assert _quorl.__doc__ == ""


def test_package_reexports_the_classes():
    # The package's functions are its own (quorl.parse_dot reads text, _quorl.parse_dot a
    # file); the classes are the module's.
    import quorl

    assert quorl.PyGraph is _quorl.PyGraph
    assert quorl.PyCGraph is _quorl.PyCGraph


@pytest.mark.parametrize(
    "function, signature",
    [
        (_quorl.parse_dot, "(path)"),
        (_quorl.parse_dot_string, "(content)"),
        (_quorl.graph_from_edges, "(nodes, edges)"),
        (
            _quorl.to_cgraph_py,
            "(graph, candidate_rule, branch_rule, allow_hashes, compress, compact)",
        ),
        (
            _quorl.canonical_node_order_py,
            "(graph, candidate_rule=None, branch_rule=None, allow_hashes=None, compact=None)",
        ),
        (_quorl.PyGraph.node_labels, "(self, /)"),
        (_quorl.PyGraph.edges, "(self, /)"),
        (_quorl.PyCGraph.as_str, "(self, /)"),
    ],
)
def test_signature_and_empty_documentation(function, signature):
    assert str(inspect.signature(function)) == signature
    assert function.__doc__ is None


def test_bound_methods_take_no_arguments():
    graph = _quorl.graph_from_edges([], [])
    assert str(inspect.signature(graph.node_labels)) == "()"
    assert str(inspect.signature(graph.edges)) == "()"


@pytest.mark.parametrize("cls", [_quorl.PyGraph, _quorl.PyCGraph])
def test_classes_cannot_be_instantiated(cls):
    with pytest.raises(TypeError) as caught:
        cls()
    assert str(caught.value) == f"cannot create '_quorl.{cls.__name__}' instances"


@pytest.mark.parametrize("cls", [_quorl.PyGraph, _quorl.PyCGraph])
def test_classes_cannot_be_subclassed_or_changed(cls):
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})
    with pytest.raises(TypeError):
        cls.extra = 1


def test_graph_counts_are_read_only():
    graph = _quorl.graph_from_edges([], [])
    for name in ("node_count", "edge_count"):
        with pytest.raises(AttributeError):
            setattr(graph, name, 5)
