"""The quorl command, run as a subprocess: outputs, order under --jobs, errors and exit codes."""

import json
import subprocess
import sys
from pathlib import Path

import pytest

import _quorl
import quorl

EXAMPLES = Path(__file__).resolve().parents[2] / "examples"
ETHANOL = EXAMPLES / "ethanol.dot"
MOLECULE_FILES = sorted((EXAMPLES / "molecules").glob("*.dot"))

needs_engine = pytest.mark.skipif(
    not hasattr(_quorl, "to_cgraph_py") or not hasattr(_quorl, "canonical_node_order_py"),
    reason="the extension has no canonisation entry points yet",
)


def run(*args, stdin=None):
    return subprocess.run(
        [sys.executable, "-m", "quorl", *map(str, args)],
        input=stdin,
        capture_output=True,
        timeout=300,
    )


def text_of(path, **flags):
    return quorl.canonical_text(quorl.read_dot(str(path)), **flags)


@needs_engine
def test_canon_prints_the_canonical_text_of_one_file():
    result = run("canon", ETHANOL)
    assert (result.returncode, result.stderr) == (0, b"")
    assert result.stdout.decode() == text_of(ETHANOL) + "\n"


@needs_engine
@pytest.mark.parametrize(
    "options, flags",
    [
        (["--no-compress"], {"compress": False}),
        (["--no-hashes"], {"allow_hashes": False}),
        (["--compact"], {"compact": True}),
        (["--no-hashes", "--no-compress", "--compact"], {"allow_hashes": False, "compress": False, "compact": True}),
    ],
)
def test_options_mirror_the_keyword_arguments(options, flags):
    benzene = EXAMPLES / "molecules" / "benzene.dot"
    result = run("canon", *options, benzene)
    assert result.stdout.decode() == text_of(benzene, **flags) + "\n"
    order_flags = {k: v for k, v in flags.items() if k != "compress"}
    if "--no-compress" not in options:
        order = run("order", *options, benzene)
        expected = quorl.canonical_order(quorl.read_dot(str(benzene)), **order_flags)
        assert order.stdout.decode() == " ".join(expected) + "\n"


@needs_engine
def test_several_files_are_named_and_summarised():
    result = run("canon", *MOLECULE_FILES)
    assert result.returncode == 0
    expected = "".join(f"{path}\t{text_of(path)}\n" for path in MOLECULE_FILES)
    assert result.stdout.decode() == expected
    assert result.stderr.decode().startswith(f"quorl: {len(MOLECULE_FILES)} graphs, 0 failed, ")


@needs_engine
def test_standard_input():
    result = run("canon", "-", stdin=ETHANOL.read_bytes())
    assert result.stdout.decode() == text_of(ETHANOL) + "\n"
    order = run("order", "-", stdin=ETHANOL.read_bytes())
    assert order.stdout.decode() == " ".join(quorl.canonical_order(quorl.read_dot(str(ETHANOL)))) + "\n"


@needs_engine
def test_bad_files_are_reported_and_the_others_still_done(tmp_path):
    bad_dot = tmp_path / "bad.dot"
    bad_dot.write_text("graph g {\na -- b;\n-- c;\n}\n")
    not_utf8 = tmp_path / "latin1.dot"
    not_utf8.write_bytes(b'a [label="\xe9"];\n')
    missing = tmp_path / "missing.dot"
    result = run("canon", missing, ETHANOL, bad_dot, tmp_path, not_utf8)
    assert result.returncode == 1
    assert result.stdout.decode() == f"{ETHANOL}\t{text_of(ETHANOL)}\n"
    errors = result.stderr.decode().splitlines()
    assert errors[:-1] == [
        f"quorl: {missing}: no such file",
        f"quorl: {bad_dot}: parse error: line 3: empty node id",
        f"quorl: {tmp_path}: is a directory, not a file",
        f"quorl: {not_utf8}: not valid UTF-8 (byte 11)",
    ]
    assert errors[-1].startswith("quorl: 5 graphs, 4 failed, ")


@pytest.fixture(scope="module")
def molecules_jsonl():
    return (EXAMPLES / "molecules.jsonl").read_bytes()


@pytest.fixture(scope="module")
def serial_outputs():
    """Each command's output with one job, against which every other job count is compared."""
    jsonl = EXAMPLES / "molecules.jsonl"
    return {
        command: (run(command, "--jsonl", jsonl), run(command, *MOLECULE_FILES, ETHANOL))
        for command in ("canon", "order")
    }


@needs_engine
def test_jsonl_results_match_the_api_and_keep_input_order(serial_outputs, molecules_jsonl):
    serial, _ = serial_outputs["canon"]
    assert serial.returncode == 0
    records = [json.loads(line) for line in molecules_jsonl.splitlines()]
    results = [json.loads(line) for line in serial.stdout.splitlines()]
    assert [r["id"] for r in results] == [r["id"] for r in records]
    for record, result in zip(records[::25], results[::25]):
        assert result["text"] == quorl.canonical_text((record["nodes"], record["edges"]))
    assert serial.stderr.decode().startswith(f"quorl: {len(records)} graphs, 0 failed, ")


@needs_engine
@pytest.mark.parametrize("command", ["canon", "order"])
@pytest.mark.parametrize("jobs", ["2", "3", "8"])
def test_output_is_byte_identical_for_every_job_count(serial_outputs, command, jobs):
    serial_jsonl, serial_files = serial_outputs[command]
    jsonl = run(command, "--jsonl", EXAMPLES / "molecules.jsonl", "--jobs", jobs)
    files = run(command, *MOLECULE_FILES, ETHANOL, "--jobs", jobs)
    assert (jsonl.returncode, files.returncode) == (0, 0)
    assert jsonl.stdout == serial_jsonl.stdout
    assert files.stdout == serial_files.stdout


@needs_engine
def test_jsonl_order_from_standard_input(molecules_jsonl):
    head = b"".join(molecules_jsonl.splitlines(keepends=True)[:20])
    result = run("order", "--jsonl", "-", "--jobs", "2", stdin=head)
    assert len(result.stdout.splitlines()) == 20
    for line, output in zip(head.splitlines(), result.stdout.splitlines()):
        record, answer = json.loads(line), json.loads(output)
        assert answer == {"id": record["id"], "order": quorl.canonical_order((record["nodes"], record["edges"]))}


@needs_engine
@pytest.mark.parametrize("jobs", ["1", "2"])
def test_bad_jsonl_lines_are_reported_and_the_batch_goes_on(tmp_path, jobs):
    good = {"id": "ok", "nodes": [["c", "C"], ["o", "O"]], "edges": [["c", "o", "2"]]}
    lines = [
        json.dumps(good),
        "{not json",
        "",  # blank lines are skipped, but counted
        json.dumps([1, 2]),
        json.dumps({"id": 7, "nodes": [["a", 1]], "edges": []}),
        json.dumps({"id": "no-edges", "nodes": []}),
        json.dumps({**good, "id": "again"}),
    ]
    batch = tmp_path / "batch.jsonl"
    batch.write_text("\n".join(lines) + "\n")
    result = run("canon", "--jsonl", batch, "--jobs", jobs)
    assert result.returncode == 1
    outputs = [json.loads(line) for line in result.stdout.splitlines()]
    text = quorl.canonical_text((good["nodes"], good["edges"]))
    assert outputs == [
        {"id": "ok", "text": text},
        {"id": None, "line": 2, "error": "malformed JSON line: Expecting property name enclosed in double quotes (column 2)"},
        {"id": None, "line": 4, "error": 'malformed graph: expected a JSON object with "nodes" and "edges"'},
        {"id": 7, "line": 5, "error": "argument 'nodes': 'int' object cannot be cast as 'PyString'"},
        {"id": None, "line": 6, "error": 'malformed graph: "edges" must be a list'},
        {"id": "again", "text": text},
    ]
    errors = result.stderr.decode().splitlines()
    assert errors[:-1] == [f"quorl: {batch}:{o['line']}: {o['error']}" for o in outputs if "error" in o]
    assert errors[-1].startswith("quorl: 6 graphs, 4 failed, ")


@pytest.mark.parametrize("command", [["canon", "nope.dot"], ["canon", "--jsonl", "nope.jsonl"]])
def test_missing_input_gets_one_clear_message(command):
    result = run(*command)
    assert result.returncode == 1
    assert result.stderr.decode() == f"quorl: {command[-1]}: no such file\n"
    assert result.stdout == b""


@needs_engine
def test_trace_lines_do_not_disturb_the_results():
    benzene = EXAMPLES / "molecules" / "benzene.dot"
    result = run("canon", "--trace", benzene)
    lines = result.stdout.decode().splitlines()
    assert [line for line in lines if not line.startswith("TRACE ")] == [text_of(benzene)]


def test_version_and_help():
    version = run("--version")
    assert version.stdout.decode() == f"quorl {quorl.__version__} (text format {quorl.TEXT_FORMAT_VERSION})\n"
    for command in ([], ["canon"], ["order"]):
        result = run(*command, "--help")
        assert result.returncode == 0
        assert "examples:\n  quorl " in result.stdout.decode()


@pytest.mark.parametrize(
    "args, message",
    [
        (["canon"], "nothing to do"),
        (["canon", "--jsonl", "x.jsonl", "x.dot"], "not both"),
        (["canon", "--jobs", "0", "x.dot"], "expected at least 1"),
        (["order", "--no-compress", "x.dot"], "unrecognized arguments: --no-compress"),
        (["frobnicate"], "invalid choice"),
    ],
)
def test_usage_errors(args, message):
    result = run(*args)
    assert result.returncode == 2
    assert message in result.stderr.decode()
