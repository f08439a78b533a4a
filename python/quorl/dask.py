"""Canonical texts and node orders of graphs held in Dask collections (pip install 'quorl[dask]').

    import dask.dataframe as dd
    import quorl.dask

    frame = dd.read_parquet("molecules/")            # columns id, nodes, edges
    quorl.dask.texts_of_dataframe(frame).to_parquet("texts/")

Each partition is canonised where it lies, through `quorl.canonical_texts` or
`quorl.canonical_orders`, so every text equals what `quorl.canonical_text` gives for the
same graph. The engine releases the interpreter lock, so the threads of a Dask worker
canonise in parallel; `jobs` threads per partition (default 1) come on top of those.
"""

from __future__ import annotations

import functools
from typing import Any, Callable, Dict, Iterable, List

from ._batch import ChunkWork, chunk_call, run_batch, with_options
from ._convert import require

# Without the extra, importing this module fails with the command that installs it.
require("dask.bag", "dask")
require("dask.dataframe", "dask")
_pandas = require("pandas", "dask")
_pyarrow = require("pyarrow", "dask")

__all__ = ["texts_of_bag", "orders_of_bag", "texts_of_dataframe", "orders_of_dataframe"]


def _single_call(kind: str) -> Callable[..., Any]:
    # The package's own functions, whatever they do for one graph.
    from . import canonical_order, canonical_text

    return canonical_text if kind == "text" else canonical_order


def graph_of_record(record: object) -> object:
    """The graph of one bag element: a record mapping with "nodes" and "edges" (as a JSON line
    of `quorl canon --jsonl` holds them) becomes a (nodes, edges) pair; anything else is taken
    as it is, for `canonical_text` to accept or refuse."""
    if isinstance(record, dict) and "nodes" in record and "edges" in record:
        return record["nodes"], record["edges"]
    return record


def _pair(nodes: Any, edges: Any) -> object:
    # Parquet and Arrow give list columns as arrays of arrays; the engine takes lists or tuples.
    for value in (nodes, edges):
        if isinstance(value, str):
            raise TypeError(
                "expected a list of node or edge lists, got text (a pandas frame whose list columns "
                "Dask turned into strings? see the dataframe.convert-string setting)"
            )
    return [tuple(node) for node in nodes], [tuple(edge) for edge in edges]


def _canonise_partition(
    kind: str,
    graph_of: Callable[[Any], object],
    items: Iterable[Any],
    jobs: int,
    errors: str,
    options: Dict[str, Any],
) -> List[Any]:
    single = with_options(_single_call(kind), options)
    engine_call = chunk_call(kind, options)
    chunk_work = None if engine_call is None else functools.partial(_chunk_of_partition, graph_of, engine_call)
    # The graph is made inside the item's work, so that a bad row fails that row alone.
    return list(run_batch(lambda item: single(graph_of(item)), items, jobs=jobs, errors=errors, chunk_work=chunk_work))


def _chunk_of_partition(graph_of: Callable[[Any], object], engine_call: ChunkWork, items: List[Any]) -> List[object]:
    """A chunk of a partition's items canonised in one engine call (see quorl.canonical_texts);
    an item whose graph cannot be made is left to the per-item road, which reports it."""
    graphs: List[object] = []
    for item in items:
        try:
            graphs.append(graph_of(item))
        except Exception:
            graphs.append(None)  # not a graph: the chunk call leaves it
    return engine_call(graphs)


def _check_arguments(kind: str, jobs: int, errors: str, options: Dict[str, Any]) -> None:
    # Bad arguments fail here, where the graph of tasks is built, not later on every worker.
    with_options(_single_call(kind), options)
    run_batch(_single_call(kind), [], jobs=jobs, errors=errors)


def _bag_partition(records: Iterable[object], kind: str, jobs: int, errors: str, options: Dict[str, Any]) -> List[Any]:
    return _canonise_partition(kind, graph_of_record, records, jobs, errors, options)


def _map_bag(kind: str, bag: Any, jobs: int, errors: str, options: Dict[str, Any]) -> Any:
    _check_arguments(kind, jobs, errors, options)
    return bag.map_partitions(_bag_partition, kind, jobs, errors, options)


def texts_of_bag(bag: Any, *, jobs: int = 1, errors: str = "raise", **options: Any) -> Any:
    """A bag of the canonical texts of a bag's graphs, element for element and partition for
    partition. An element is a record with "nodes" and "edges" or anything `canonical_text`
    accepts. `errors` and `options` as for `quorl.canonical_texts` ("return" puts an item's
    exception object in its place)."""
    return _map_bag("text", bag, jobs, errors, options)


def orders_of_bag(bag: Any, *, jobs: int = 1, errors: str = "raise", **options: Any) -> Any:
    """A bag of the canonical node orders of a bag's graphs; see `texts_of_bag`."""
    return _map_bag("order", bag, jobs, errors, options)


def _result_dtype(kind: str) -> Any:
    # Typed columns, so that the results write to Parquet as strings and lists of strings.
    if kind == "text":
        return _pandas.StringDtype()
    return _pandas.ArrowDtype(_pyarrow.list_(_pyarrow.string()))


def _row_graph(row: Any) -> object:
    return _pair(*row)


def _frame_partition(
    frame: Any,
    kind: str,
    columns: Dict[str, str],
    jobs: int,
    errors: str,
    options: Dict[str, Any],
) -> Any:
    rows = zip(frame[columns["nodes"]], frame[columns["edges"]])
    results = _canonise_partition(kind, _row_graph, rows, jobs, errors, options)
    messages = None
    if errors == "return":
        messages = [str(r) if isinstance(r, BaseException) else None for r in results]
        results = [None if isinstance(r, BaseException) else r for r in results]
    data: Dict[str, Any] = {
        columns["id"]: frame[columns["id"]],
        kind: _pandas.Series(results, index=frame.index, dtype=_result_dtype(kind)),
    }
    if messages is not None:
        data["error"] = _pandas.Series(messages, index=frame.index, dtype=_pandas.StringDtype())
    return _pandas.DataFrame(data)


def _map_dataframe(
    kind: str,
    frame: Any,
    id_column: str,
    nodes_column: str,
    edges_column: str,
    jobs: int,
    errors: str,
    options: Dict[str, Any],
) -> Any:
    _check_arguments(kind, jobs, errors, options)
    columns = {"id": id_column, "nodes": nodes_column, "edges": edges_column}
    missing = [name for name in columns.values() if name not in frame.columns]
    if missing:
        raise KeyError(f"the dataframe has no column {', '.join(map(repr, missing))}")
    meta: Dict[str, Any] = {id_column: frame[id_column].dtype, kind: _result_dtype(kind)}
    if errors == "return":
        meta["error"] = _pandas.StringDtype()
    return frame.map_partitions(_frame_partition, kind, columns, jobs, errors, options, meta=meta)


def texts_of_dataframe(
    frame: Any,
    *,
    id_column: str = "id",
    nodes_column: str = "nodes",
    edges_column: str = "edges",
    jobs: int = 1,
    errors: str = "raise",
    **options: Any,
) -> Any:
    """A dataframe with the columns `id_column` and "text", one row per row of `frame` (same
    index and partitions), from a dataframe whose rows hold an id, a node list of [id, label]
    pairs and an edge list of [first, second, modality] triples.

    With errors="return" a row whose graph fails gets None as its text and the exception's
    message in an "error" column (None for the rows that succeed). `options` as for
    `quorl.canonical_texts`."""
    return _map_dataframe("text", frame, id_column, nodes_column, edges_column, jobs, errors, options)


def orders_of_dataframe(
    frame: Any,
    *,
    id_column: str = "id",
    nodes_column: str = "nodes",
    edges_column: str = "edges",
    jobs: int = 1,
    errors: str = "raise",
    **options: Any,
) -> Any:
    """Like `texts_of_dataframe`, with a column "order" holding each graph's canonical node order."""
    return _map_dataframe("order", frame, id_column, nodes_column, edges_column, jobs, errors, options)
