"""Graphs built by graph_from_edges and by the DOT functions, as Python sees them."""

import errno
import os
from pathlib import Path

import pytest

import _quorl

EXAMPLES = Path(__file__).resolve().parents[2] / "examples"


def test_empty_lists_give_an_empty_graph():
    built = _quorl.graph_from_edges([], [])
    assert (built.node_count, built.edge_count, built.node_labels(), built.edges()) == (0, 0, [], [])


@pytest.mark.parametrize(
    "nodes, edges, labels, listed_edges",
    [
        ([("a", "A")], [("a", "b", "r")], [("a", "A"), ("b", ".")], [("e1", "a", "b", "r")]),
        # A repeated id keeps its first non-empty label.
        ([("a", ""), ("a", "X"), ("a", "Y")], [], [("a", "X")], []),
        # A node listed with an empty label and used by an edge gets ".".
        ([("a", "")], [("a", "b", "")], [("a", "."), ("b", ".")], [("e1", "a", "b", "")]),
        # Duplicate edges and self-loops all go in, named in list order.
        (
            [],
            [("a", "a", "s"), ("a", "b", "1"), ("b", "a", "1"), ("a", "b", "1")],
            [("a", "."), ("b", ".")],
            [("e1", "a", "a", "s"), ("e2", "a", "b", "1"), ("e3", "b", "a", "1"), ("e4", "a", "b", "1")],
        ),
        # NUL characters are ordinary characters of a text.
        (
            [("a\0b", "l\0")],
            [("a\0b", "\0", "m\0m")],
            [("a\0b", "l\0"), ("\0", ".")],
            [("e1", "a\0b", "\0", "m\0m")],
        ),
        # Empty ids are ids too; texts beyond ASCII are kept as given.
        (
            [("", "é"), ("ß", "\U0001f600")],
            [("", "ß", "\u3000")],
            [("", "é"), ("ß", "\U0001f600")],
            [("e1", "", "ß", "\u3000")],
        ),
    ],
)
def test_graph_from_edges(nodes, edges, labels, listed_edges):
    built = _quorl.graph_from_edges(nodes, edges)
    assert built.node_labels() == labels
    assert built.edges() == listed_edges
    assert (built.node_count, built.edge_count) == (len(labels), len(listed_edges))


def test_huge_texts_round_trip():
    big_id = "n" * (8 << 20)
    big_label = "\u00e9" * (4 << 20)
    built = _quorl.graph_from_edges([(big_id, big_label)], [(big_id, "m", big_label)])
    labels = built.node_labels()
    assert labels[0][0] == big_id and labels[0][1] == big_label
    assert built.edges()[0][3] == big_label


def test_results_are_fresh_lists_and_the_graph_does_not_change():
    built = _quorl.graph_from_edges([("a", "A")], [("a", "b", "r")])
    labels = built.node_labels()
    labels.append(("z", "Z"))
    labels[0] = None
    assert built.node_labels() == [("a", "A"), ("b", ".")]
    assert built.node_labels() is not built.node_labels()
    assert built.edges() == built.edges()


def test_many_nodes_keep_their_order():
    nodes = [(f"n{i}", f"L{i % 7}") for i in range(5000)]
    edges = [(f"n{i}", f"n{(i * 31) % 5000}", str(i % 3)) for i in range(5000)]
    built = _quorl.graph_from_edges(nodes, edges)
    assert built.node_labels() == nodes
    assert built.edges() == [(f"e{i + 1}", *edge) for i, edge in enumerate(edges)]


# Reading DOT text and files. The reader's own rules are tested with the
# engine; these cases check what reaches Python.


def test_parse_dot_string_builds_the_graph():
    built = _quorl.parse_dot_string('graph g {\r\n  a [label="A b"];\n  a -- b [weight=2];\n}')
    assert built.node_labels() == [("a", "A b"), ("b", ".")]
    assert built.edges() == [("e1", "a", "b", "2")]


@pytest.mark.parametrize("content", ["", "graph {\n}\n", "\n\n\n"])
def test_text_without_statements_gives_an_empty_graph(content):
    built = _quorl.parse_dot_string(content)
    assert (built.node_count, built.edge_count) == (0, 0)


def test_nul_inside_dot_text_is_an_ordinary_character():
    built = _quorl.parse_dot_string('a\0 [label="x\0y"]\na\0 -- \0b [weight=\0]')
    assert built.node_labels() == [("a\0", "x\0y"), ("\0b", ".")]
    assert built.edges() == [("e1", "a\0", "\0b", "\0")]


@pytest.mark.parametrize(
    "content, message",
    [
        ("-- a", "parse error: line 1: empty node id"),
        ("graph {\n\n a -- ;\n}", "parse error: line 3: empty node id"),
        ("[x] -- a", "parse error: line 1: invalid node id in '[x] '"),
    ],
)
def test_reader_failures_become_value_errors(content, message):
    with pytest.raises(ValueError) as caught:
        _quorl.parse_dot_string(content)
    assert type(caught.value) is ValueError
    assert caught.value.args == (message,)


def test_parse_dot_reads_a_file(tmp_path):
    path = tmp_path / "g.dot"
    path.write_bytes("graph {\n  \u00e4 [label=\"\u00c4\"];\n  \u00e4 -- b;\n}\n".encode())
    built = _quorl.parse_dot(str(path))
    assert built.node_labels() == [("\u00e4", "\u00c4"), ("b", ".")]
    assert built.edges() == [("e1", "\u00e4", "b", "1")]


def test_parse_dot_reads_an_empty_file(tmp_path):
    path = tmp_path / "empty.dot"
    path.write_bytes(b"")
    assert _quorl.parse_dot(str(path)).node_count == 0


def test_example_from_the_readme():
    built = _quorl.parse_dot(str(EXAMPLES / "ethanol.dot"))
    assert (built.node_count, built.edge_count) == (9, 8)


def read_error(path):
    with pytest.raises(ValueError) as caught:
        _quorl.parse_dot(path)
    assert type(caught.value) is ValueError
    return str(caught.value)


def test_missing_file(tmp_path):
    message = read_error(str(tmp_path / "missing.dot"))
    assert message == f"parse error: {os.strerror(errno.ENOENT)} (os error {errno.ENOENT})"


def test_directory(tmp_path):
    message = read_error(str(tmp_path))
    assert message == f"parse error: {os.strerror(errno.EISDIR)} (os error {errno.EISDIR})"


@pytest.mark.parametrize("content", [b"a -- \xff", b"\xc3", b"a -- b\n\xed\xa0\x80 -- c"])
def test_file_that_is_not_utf8(tmp_path, content):
    path = tmp_path / "bad.dot"
    path.write_bytes(content)
    assert read_error(str(path)) == "parse error: stream did not contain valid UTF-8"


def test_nul_in_path_fails_before_the_file_system_is_touched(tmp_path):
    path = tmp_path / "g.dot"
    path.write_text("a -- b")
    for given in (str(path) + "\0", str(path) + "\0.dot", "\0"):
        assert read_error(given) == "parse error: file name contained an unexpected NUL byte"


def test_parse_dot_failure_is_a_parse_error_with_the_reader_line(tmp_path):
    path = tmp_path / "g.dot"
    path.write_text("graph {\n -- b\n}\n")
    assert read_error(str(path)) == "parse error: line 2: empty node id"


def tupled(rows):
    return [tuple(row) if isinstance(row, list) else row for row in rows] if isinstance(rows, list) else rows


# _graph_from_rows, the package's road, must be graph_from_edges with lists taken as tuples.
@pytest.mark.parametrize(
    "nodes, edges",
    [
        ([["a", "A"], ("b", "B")], [["a", "b", "2"], ("b", "c", "1"), ["c", "c", "3"]]),
        ([], []),
        ([["a", "A", "x"]], []),  # a row of the wrong length
        ([("a",)], []),
        ([["a", 1]], []),  # an item that is no str
        ([], [["a", "b", None]]),
        ([], ["abc"]),  # a str as a row
        ([], [{"a": 1}]),
        ("ab", []),  # a str as the sequence
        ({"a": "A"}, []),
        ([["a", "\ud800"]], []),  # a str without a UTF-8 form
    ],
)
def test_graph_from_rows_is_graph_from_edges_with_lists_as_tuples(nodes, edges):
    def outcome(function, *args):
        try:
            graph = function(*args)
        except (TypeError, UnicodeEncodeError) as error:
            return type(error), str(error)
        return graph.node_labels(), graph.edges()

    assert outcome(_quorl._graph_from_rows, nodes, edges) == outcome(
        _quorl.graph_from_edges, tupled(nodes), tupled(edges)
    )

