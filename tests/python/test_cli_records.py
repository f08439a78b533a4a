"""The command on the records users have, and on bad input: every bad record is reported
with where it is and why, and never stops the run."""

import functools
import json
import os
import subprocess
import sys
from pathlib import Path

import pytest

import quorl
import quorl._batch
from quorl import cli

EXAMPLES = Path(__file__).resolve().parents[2] / "examples"
ETHANOL = EXAMPLES / "ethanol.dot"
MOLECULES = EXAMPLES / "molecules.jsonl"


def run(*args, stdin=None):
    return subprocess.run(
        [sys.executable, "-m", "quorl", *map(os.fsdecode, args)], input=stdin, capture_output=True, timeout=300
    )


def records(*lines):
    return "".join(line + "\n" for line in lines).encode()


ONE_NODE = '"nodes": [["a", "C"]], "edges": []'


BAD_LINES = [
    ('{"id": "\\ud800", %s}' % ONE_NODE, "the id holds a lone surrogate (\\ud800), which UTF-8 cannot carry"),
    ('{"id": NaN, %s}' % ONE_NODE, "malformed JSON line: NaN is not a JSON value"),
    ('{"id": -Infinity, %s}' % ONE_NODE, "malformed JSON line: -Infinity is not a JSON value"),
    ('{"id": 1e999, %s}' % ONE_NODE, "malformed JSON line: the number 1e999 is out of range"),
    # The error sits at the end of the line, not at the start of the next one.
    ('{"id": 3, %s' % ONE_NODE, "malformed JSON line: Expecting ',' delimiter (column 45)"),
]


@pytest.mark.parametrize("jobs", ["1", "2"])
def test_bad_json_lines_are_reported_and_the_run_goes_on(jobs):
    good = '{"id": 2, %s}' % ONE_NODE
    result = run("canon", "--jsonl", "-", "--jobs", jobs, stdin=records(*(line for line, _ in BAD_LINES), good))
    assert result.returncode == 1
    expected = [json.dumps({"id": None, "line": n, "error": e}) for n, (_, e) in enumerate(BAD_LINES, start=1)]
    assert result.stdout.decode().splitlines() == expected + ['{"id": 2, "text": "()C"}']
    reports = [f"quorl: <stdin>:{n}: {e}" for n, (_, e) in enumerate(BAD_LINES, start=1)]
    assert result.stderr.decode().splitlines()[:-1] == reports


def test_a_file_name_that_is_not_utf8(tmp_path):
    bad = os.fsencode(tmp_path) + b"/bad\xff.dot"
    Path(os.fsdecode(bad)).write_bytes(ETHANOL.read_bytes())
    result = run("canon", bad, tmp_path / "missing.dot", ETHANOL)
    text = quorl.canonical_text(quorl.read_dot(str(ETHANOL)))
    assert result.returncode == 1
    assert result.stdout.decode().splitlines() == [f"{tmp_path}/bad\\xff.dot\t{text}", f"{ETHANOL}\t{text}"]
    assert f"quorl: {tmp_path}/missing.dot: no such file\n" in result.stderr.decode()


def test_a_closed_standard_output():
    result = subprocess.run([sys.executable, "-m", "quorl", "canon", str(ETHANOL)], stderr=subprocess.PIPE,
                            preexec_fn=lambda: os.close(1), timeout=300)
    assert result.returncode == 1
    assert result.stderr.decode() == "quorl: standard output is closed; nothing can be written\n"


@pytest.mark.parametrize("command, key", [("canon", "text"), ("order", "order")])
def test_id_key_names_the_record_id(command, key):
    line = '{"name": "ethanol", "id": "other", %s}' % ONE_NODE
    result = run(command, "--jsonl", "-", "--id-key", "name", "-q", stdin=records(line))
    assert json.loads(result.stdout) == {"id": "ethanol", key: "()C" if command == "canon" else ["a"]}


def test_dedup_groups_json_lines_and_reports_bad_ones():
    lines = [
        '{"name": "e1", "nodes": [["a", "C"], ["b", "O"]], "edges": [["a", "b", "1"]]}',
        "not json",
        '{"name": "e2", "nodes": [["x", "O"], ["y", "C"]], "edges": [["x", "y", "1"]]}',
        '{"name": "n", "nodes": [["a", "N"]], "edges": []}',
    ]
    result = run("dedup", "--jsonl", "-", "--id-key", "name", stdin=records(*lines))
    assert result.returncode == 1
    assert [json.loads(line) for line in result.stdout.splitlines()] == [
        {"group": 1, "text": "(O:1)C", "members": ["e1", "e2"]},
        {"group": 2, "text": "()N", "members": ["n"]},
    ]
    stderr = result.stderr.decode().splitlines()
    assert stderr[0] == "quorl: <stdin>:2: malformed JSON line: Expecting value (column 1)"
    assert stderr[1].startswith("quorl: 4 records, 2 groups, 1 failed, ")

    per_record = run("dedup", "--jsonl", "-", "--id-key", "name", "--per-record", "--verify", "-q",
                     stdin=records(*lines))
    assert [json.loads(line) for line in per_record.stdout.splitlines()] == [
        {"id": "e1", "group": 1},
        {"id": None, "line": 2, "error": "malformed JSON line: Expecting value (column 1)"},
        {"id": "e2", "group": 1},
        {"id": "n", "group": 2},
    ]


def test_dedup_verify_splits_collisions_and_counts_them():
    pytest.importorskip("networkx")
    from test_dedup import COLLIDING, pair_graph

    lines = [json.dumps({"id": name, "nodes": g[0], "edges": g[1]})
             for name, g in (("a", pair_graph(COLLIDING[0])), ("b", pair_graph(COLLIDING[1], "x")))]
    plain = run("dedup", "--jsonl", "-", "-q", stdin=records(*lines))
    assert [json.loads(line)["members"] for line in plain.stdout.splitlines()] == [["a", "b"]]
    verified = run("dedup", "--jsonl", "-", "--verify", stdin=records(*lines))
    assert verified.returncode == 0
    groups = [json.loads(line) for line in verified.stdout.splitlines()]
    assert [(g["members"], g["unverified"]) for g in groups] == [(["a"], False), (["b"], False)]
    assert groups[0]["text"] == groups[1]["text"]
    assert ", 1 split off by verification, 0 unverified, " in verified.stderr.decode()


def test_dedup_of_dot_files_and_the_example_batch(tmp_path):
    missing = tmp_path / "missing.dot"
    result = run("dedup", "--per-record", "-q", ETHANOL, *sorted((EXAMPLES / "molecules").glob("*.dot")), missing,
                 ETHANOL)
    lines = [json.loads(line) for line in result.stdout.splitlines()]
    assert [line.get("group") for line in lines] == [1, 2, 3, 4, 5, 6, 7, 8, None, 1]
    assert lines[8] == {"id": str(missing), "file": 9, "error": "no such file"}
    assert result.returncode == 1
    batch = run("dedup", "--jsonl", MOLECULES, "--jobs", "2", "-q")
    assert sum(len(json.loads(line)["members"]) for line in batch.stdout.splitlines()) == 300


def test_dedup_takes_one_input():
    result = run("dedup", ETHANOL, "--jsonl", MOLECULES)
    assert result.returncode == 2
    assert "give one input: FILE arguments, --jsonl, --smiles or --sdf" in result.stderr.decode()


SMILES = b"CCO ethanol\nOCC ethanol again\nC1CC broken\n\nc1ccccc1\n"


def test_smiles_and_sdf_files(tmp_path):
    chem = pytest.importorskip("rdkit.Chem")
    smiles = tmp_path / "m.smi"
    smiles.write_bytes(SMILES)
    result = run("dedup", "--smiles", smiles, "--per-record", "-q")
    assert result.returncode == 1
    assert [json.loads(line) for line in result.stdout.splitlines()] == [
        {"id": "ethanol", "group": 1},
        {"id": "ethanol again", "group": 1},
        {"id": "broken", "line": 3, "error": "cannot read the SMILES: SMILES Parse Error: unclosed ring for input: 'C1CC'"},
        {"id": None, "group": 2},
    ]
    sdf = tmp_path / "m.sdf"
    writer = chem.SDWriter(str(sdf))
    for text, name in (("CCO", "eth"), ("c1ccccc1", "bz")):
        mol = chem.MolFromSmiles(text)
        mol.SetProp("_Name", name)
        writer.write(mol)
    writer.close()
    with sdf.open("a") as stream:
        stream.write("junk\n\n\n  1  0  0  0  0  0  0  0  0  0999 V2000\n"
                     "    0.0000    0.0000    0.0000 Xx  0  0\nM  END\n$$$$\n")
    groups = run("dedup", "--sdf", sdf, "--verify")
    assert [json.loads(line)["members"] for line in groups.stdout.splitlines()] == [["eth"], ["bz"]]
    ethanol_text = quorl.canonical_text(chem.AddHs(chem.MolFromSmiles("CCO")))
    assert json.loads(groups.stdout.splitlines()[0])["text"] == ethanol_text
    assert f"quorl: {sdf}: record 3: cannot read the SDF record: Element 'Xx' not found\n" in groups.stderr.decode()


# The JSON-lines road canonises a chunk of lines in one engine call; every line it takes must
# come out as the line-by-line road writes it, and the lines it leaves go that road.
CHUNK_LINES = [
    (b'{"id": 1, "nodes": [["a", "C"], ["b", "O"]], "edges": [["a", "b", "2"]]}\n', True),
    (b'{"nodes": [["a", "C"]], "edges": []}\n', True),
    (b'{"id": "x", "nodes": [], "edges": []}\n', True),
    (b'{"id": 2, "nodes": [["a", "C"], ["b", "N"]], "edges": []}\n', False),  # two components
    (b'{"id": 3, "nodes": [["a"]], "edges": []}\n', False),  # a node without a label
    (b'{"id": 4, "nodes": [["a", "C"]], "edges": [["a", "b", 1]]}\n', False),  # a number as modality
    (b'{"id": "\\ud800", "nodes": [], "edges": []}\n', False),  # an id UTF-8 cannot carry
    (b'{"id": 5, "nodes": "CC", "edges": []}\n', False),
    (b"[1, 2]\n", False),
    (b"{nope\n", False),
    (b'{"id": 6, "nodes": [["a", "C"], ["b", "C"], ["c", "C"]], "edges": [["a", "b", "1"], ["b", "c", "1"], ["c", "a", "1"]]}\n', True),
]


def chunk_lines():
    lines, offset = [], 0
    for number, (raw, _) in enumerate(CHUNK_LINES, start=1):
        offset += len(raw)
        lines.append(cli.JsonlLine(number, raw, offset))
    return lines


@pytest.mark.parametrize(
    "command, options",
    [("canon", {}), ("canon", {"compress": False, "compact": True}), ("order", {"allow_hashes": False}),
     ("canon", {"max_memory": 1})],
    ids=["canon", "canon uncompressed compact", "order without hashes", "canon over budget"],
)
def test_a_chunk_of_json_lines_gives_what_the_line_by_line_road_gives(command, options):
    from quorl import _dedup_cli

    settings = {"allow_hashes": True, "compress": True, "compact": False, **options}
    job = cli.Job(command, **settings)
    lines = chunk_lines()
    roads = [(cli._process_jsonl_chunk(job, job.chunk_call(), lines), functools.partial(cli._process_jsonl, job))]
    if command == "canon":  # dedup without verification keys a record by its text alone
        dedup = _dedup_cli.Settings(verify=False, id_key="id", seen=lambda text: False, **settings)
        found = _dedup_cli._jsonl_chunk(dedup, quorl._batch.chunk_call("text", settings), lines)
        roads.append((found, functools.partial(_dedup_cli._jsonl_task, dedup)))
    for entries, line_by_line in roads:
        for line, (_, taken), entry in zip(lines, CHUNK_LINES, entries):
            assert (entry is not None) == taken, line.raw
            if entry is not None:
                assert entry == line_by_line(line)
