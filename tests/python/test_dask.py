"""quorl.dask on a local cluster of two worker processes: every text and order of the shared
molecules equals the serial result, through bags, dataframes and a Parquet round trip."""

from __future__ import annotations

import json
from pathlib import Path

import pytest

dask = pytest.importorskip("dask")
distributed = pytest.importorskip("distributed")
dask_bag = pytest.importorskip("dask.bag")
dask_dataframe = pytest.importorskip("dask.dataframe")
pandas = pytest.importorskip("pandas")

import quorl  # noqa: E402
import quorl.dask  # noqa: E402

SHARED_MOLECULES = Path(__file__).resolve().parents[3] / "shared" / "data" / "molecules.jsonl"
EXAMPLE_MOLECULES = Path(__file__).resolve().parents[2] / "examples" / "molecules.jsonl"
MOLECULES = SHARED_MOLECULES if SHARED_MOLECULES.exists() else EXAMPLE_MOLECULES


@pytest.fixture(scope="module")
def client():
    with distributed.LocalCluster(
        n_workers=2, threads_per_worker=1, processes=True, dashboard_address=":0"
    ) as cluster, distributed.Client(cluster) as connected:
        yield connected


def frame_of(rows, npartitions):
    # Left alone, Dask would turn the object columns of lists into their text.
    with dask.config.set({"dataframe.convert-string": False}):
        return dask_dataframe.from_pandas(pandas.DataFrame(rows), npartitions=npartitions)


@pytest.fixture(scope="module")
def records():
    with MOLECULES.open(encoding="utf-8") as stream:
        return [
            {"id": f"m{at}", "nodes": record["nodes"], "edges": record["edges"]}
            for at, record in enumerate(map(json.loads, stream))
        ]


# Every text goes through the cluster once (the Parquet round trip); the other roads, which
# share the partition code, take a sample.
SAMPLE = 300


@pytest.fixture(scope="module")
def serial(records):
    pairs = [(record["nodes"], record["edges"]) for record in records]
    return {
        "text": [quorl.canonical_text(pair) for pair in pairs],
        "order": [quorl.canonical_order(pair) for pair in pairs[:SAMPLE]],
    }


def test_bag_of_records_gives_the_serial_texts_and_orders(client, records, serial):
    bag = dask_bag.from_sequence(records[:SAMPLE], npartitions=4)
    texts, orders = client.compute([quorl.dask.texts_of_bag(bag), quorl.dask.orders_of_bag(bag)], sync=True)
    assert texts == serial["text"][:SAMPLE]
    assert orders == serial["order"]


def test_dataframe_gives_id_and_result_per_row(client, records, serial):
    sample = records[:SAMPLE]
    frame = frame_of(sample, 4)
    texts = quorl.dask.texts_of_dataframe(frame, compress=True).compute()
    assert list(texts.columns) == ["id", "text"]
    assert list(texts["id"]) == [record["id"] for record in sample]
    assert list(texts["text"]) == serial["text"][:SAMPLE]
    orders = quorl.dask.orders_of_dataframe(frame).compute()
    assert list(orders.columns) == ["id", "order"]
    assert [list(order) for order in orders["order"]] == serial["order"]


def test_parquet_records_to_parquet_texts(client, records, serial, tmp_path):
    # As the README shows it: a Parquet dataset of records in, id and text back to Parquet.
    # Six files give six partitions, each read and canonised where it lies.
    dataset = tmp_path / "records"
    dataset.mkdir()
    size = len(records) // 6 + 1
    for part in range(6):
        pandas.DataFrame(records[part * size : (part + 1) * size]).to_parquet(dataset / f"part-{part}.parquet")
    frame = dask_dataframe.read_parquet(dataset)
    quorl.dask.texts_of_dataframe(frame).to_parquet(tmp_path / "texts")
    written = pandas.read_parquet(tmp_path / "texts")
    assert list(written["id"]) == [record["id"] for record in records]
    assert list(written["text"]) == serial["text"]


def test_failing_rows_and_elements_keep_their_place(client):
    rows = [
        {"id": "good", "nodes": [["a", "C"]], "edges": [["a", "b", "2"]]},
        {"id": "short", "nodes": [["a"]], "edges": []},
        {"id": "also good", "nodes": [], "edges": [["x", "y", "1"]]},
    ]
    frame = frame_of(rows, 2)
    result = quorl.dask.texts_of_dataframe(frame, errors="return").compute()
    good = quorl.canonical_text(([("a", "C")], [("a", "b", "2")]))
    def values(column):
        return [None if pandas.isna(value) else value for value in result[column]]

    assert values("text") == [good, None, quorl.canonical_text(([], [("x", "y", "1")]))]
    assert values("error") == [None, "argument 'nodes': expected tuple of length 2, but got tuple of length 1", None]
    bag = dask_bag.from_sequence([rows[0], 42], npartitions=1)
    outcomes = quorl.dask.texts_of_bag(bag, errors="return").compute()
    assert outcomes[0] == good
    assert isinstance(outcomes[1], TypeError)
    with pytest.raises(TypeError, match="expected a PyGraph"):
        quorl.dask.texts_of_bag(bag).compute()


def test_bad_arguments_fail_when_the_collection_is_built():
    frame = frame_of({"id": [], "nodes": [], "edges": []}, 1)
    with pytest.raises(ValueError, match="jobs must be a positive integer"):
        quorl.dask.texts_of_dataframe(frame, jobs=0)
    with pytest.raises(TypeError, match="compres"):
        quorl.dask.texts_of_bag(dask_bag.from_sequence([]), compres=False)
    with pytest.raises(KeyError, match="'atoms'"):
        quorl.dask.texts_of_dataframe(frame, nodes_column="atoms")
