"""No input takes the process down: memory budgets, deadlines and read limits.

Every case that could grow runs in a child interpreter with no address-space limit of its own,
so a fault shows as a failed test, not as a dead test run."""

from __future__ import annotations

import json
import math
import os
import select
import signal
import subprocess
import sys
import time

import pytest

import _quorl
import quorl
from quorl._limits import parse_size

from child_python import INTERRUPTIBLE, child_environment, run_child, start_child

GRID = """
def grid(side):
    edges = [(f"{r}_{c}", f"{r}_{c + 1}", "1") for r in range(side) for c in range(side - 1)]
    edges += [(f"{r}_{c}", f"{r + 1}_{c}", "1") for r in range(side - 1) for c in range(side)]
    return quorl.from_edges([], edges)
"""

TRIANGLE_CHECK = """
triangle = ([("a", "C")], [("a", "b", "1"), ("b", "c", "2"), ("c", "a", "1")])
print(quorl.canonical_text(triangle) == {expected!r})
"""


def expected_triangle() -> str:
    return quorl.canonical_text(([("a", "C")], [("a", "b", "1"), ("b", "c", "2"), ("c", "a", "1")]))


def child_code(setup: str, body: str) -> str:
    return "import resource, time\nimport quorl\n" + GRID + setup + body + TRIANGLE_CHECK.format(
        expected=expected_triangle()
    )


# The expanded form of a 20 x 20 grid has about 10^11 nodes: counted ahead, the call fails
# before building any of it, with the machine's default budget or under an address-space limit.
OVER_BUDGET = """
started = time.monotonic()
try:
    quorl.canonical_text(grid(20))
    print("finished")
except MemoryError as error:
    print("memory error", f"{time.monotonic() - started:.3f}")
    print(error)
"""

ADDRESS_SPACE_LIMIT = """
resource.setrlimit(resource.RLIMIT_AS, (2 << 30, resource.getrlimit(resource.RLIMIT_AS)[1]))
"""


@pytest.mark.parametrize("setup", ["", ADDRESS_SPACE_LIMIT], ids=["machine budget", "2 GiB address space"])
def test_expanded_grid_fails_at_once_and_the_process_goes_on(setup):
    result = run_child(child_code(setup, OVER_BUDGET), timeout=120)
    assert result.returncode == 0, result.stderr
    status, message, triangle_ok = result.stdout.splitlines()
    assert status.startswith("memory error"), result.stdout
    assert float(status.split()[2]) < 2.0
    assert message.startswith("the expanded form of this graph needs at least ")
    assert "nodes), more than the memory budget of " in message
    assert "; compact=True writes it in about " in message
    if setup:
        # Half of what the address-space limit leaves.
        budget = message.split("memory budget of ")[1].split(";")[0]
        assert budget.endswith(" GB") and 0.9 < float(budget.split()[0]) <= 1.08, message
    assert triangle_ok == "True"


PEAK_BELOW_BUDGET = """
budget = {budget}
started = time.monotonic()
try:
    quorl.canonical_text(grid({side}), max_memory=budget, {options})
    print("finished")
except MemoryError as error:
    print("memory error", f"{{time.monotonic() - started:.1f}}")
    print(error)
# The peak resident size of this process's own memory: ru_maxrss would also count the
# parent's, which the child inherits at its exec.
with open("/proc/self/status") as status:
    peak = next(int(line.split()[1]) << 10 for line in status if line.startswith("VmHWM:"))
print(peak < budget, peak)
"""


@pytest.mark.parametrize(
    "side, options, budget, refused, budget_text",
    [
        # Counted ahead, the expanded 10 x 10 grid's final form would fit in 128 MiB, but
        # copying its regions would not: the running account stops the rewrite at a join.
        (10, "", 128 << 20, "expanding a join node of this graph needs ", "134 MB"),
        # Without hashes every mirror's origin holds its region's text, which nests the
        # origins below it: the compact text of a 13 x 13 grid runs to about 800 MB, and
        # writing its texts took more than 4 GB. The texts are counted before they are written.
        (13, "compact=True, allow_hashes=False", 512 << 20, "writing a text of this graph needs ", "537 MB"),
    ],
    ids=["expanded copies", "compact texts"],
)
def test_peak_memory_stays_below_the_budget(side, options, budget, refused, budget_text):
    code = PEAK_BELOW_BUDGET.format(side=side, options=options, budget=budget)
    result = run_child(child_code("", code), timeout=120)
    assert result.returncode == 0, result.stderr
    status, message, peak, triangle_ok = result.stdout.splitlines()
    assert status.startswith("memory error"), result.stdout
    assert float(status.split()[2]) < 30
    assert message.startswith(refused), message
    assert message.endswith(f" more, beyond the memory budget of {budget_text}"), message
    assert peak.startswith("True"), peak
    assert triangle_ok == "True"


# Compact resolution of a 100 x 100 grid takes thousands of passes, seconds in all (a
# 60 x 60 grid, once as slow, now ends within the timeout).
DEADLINE = """
graph = grid(100)
for call in (quorl.canonical_text, quorl.canonical_order):
    started = time.monotonic()
    try:
        call(graph, compact=True, timeout=0.4)
        print("finished")
    except TimeoutError as error:
        print("timeout", f"{time.monotonic() - started - 0.4:.3f}", error)
"""


def test_deadline_inside_a_long_rewrite_raises_timeout_error_promptly():
    result = run_child(child_code("", DEADLINE), timeout=120)
    assert result.returncode == 0, result.stderr
    *timeouts, triangle_ok = result.stdout.splitlines()
    assert len(timeouts) == 2
    for line in timeouts:
        status, late, message = line.split(" ", 2)
        assert status == "timeout", result.stdout
        assert 0 <= float(late) < 0.1
        assert message == "the call took longer than its timeout of 0.4 s"
    assert triangle_ok == "True"


def test_budget_below_the_graph_itself_fails_at_once():
    graph = quorl.from_edges([], [(f"n{i}", f"n{i + 1}", "1") for i in range(100)])
    with pytest.raises(MemoryError, match=r"^the memory budget of 1\.00 kB is too small for this graph itself"):
        quorl.canonical_text(graph, max_memory=1000)
    with pytest.raises(MemoryError, match=r"too small for this graph itself"):
        quorl.canonical_order(graph, max_memory=1000)


def test_limits_that_fit_change_no_byte():
    graph = quorl.read_dot(str(os.path.join(os.path.dirname(__file__), "../../examples/molecules/nicotine.dot")))
    for compact in (False, True):
        plain = _quorl.to_cgraph_py(graph, None, None, None, None, compact).as_str()
        assert quorl.canonical_text(graph, compact=compact, max_memory=1 << 30, timeout=60) == plain
        assert quorl.canonical_order(graph, compact=compact, max_memory=1 << 30, timeout=60) == (
            _quorl.canonical_node_order_py(graph, compact=compact)
        )


BAD_VALUES = [0, -1, -0.5, math.nan, "2G", True, None.__class__]


@pytest.mark.parametrize("value", BAD_VALUES, ids=repr)
@pytest.mark.parametrize(
    "call",
    [
        lambda value: quorl.canonical_text(([], [("a", "b", "1")]), max_memory=value),
        lambda value: quorl.canonical_order(([], [("a", "b", "1")]), max_memory=value),
        lambda value: quorl.canonical_text(([], [("a", "b", "1")]), timeout=value),
        lambda value: quorl.canonical_order(([], [("a", "b", "1")]), timeout=value),
        lambda value: quorl.read_dot("/dev/null", max_bytes=value),
    ],
    ids=["text max_memory", "order max_memory", "text timeout", "order timeout", "read_dot max_bytes"],
)
def test_limits_that_are_not_positive_numbers_are_value_errors(call, value):
    with pytest.raises(ValueError, match=r"^(max_memory|timeout|max_bytes) must be a positive number, not "):
        call(value)


@pytest.mark.parametrize(
    "args, error",
    [
        ((None, None, None, None, None, 0, None), (ValueError, "expected a positive number of bytes")),
        ((None, None, None, None, None, None, -1.0), (ValueError, "expected a positive number of seconds")),
        ((None, None, None, None, None, "1", None), (TypeError, "argument 'max_memory': 'str' object cannot be cast as 'PyInt'")),
        ((None, None, None, None, None, None, True), (TypeError, "argument 'timeout': 'bool' object cannot be cast as 'PyFloat'")),
    ],
)
def test_private_entry_point_checks_its_limits(args, error):
    graph = _quorl.graph_from_edges([], [("a", "b", "1")])
    with pytest.raises(error[0]) as caught:
        _quorl._to_cgraph_limited(graph, *args[:5], *args[5:])
    assert str(caught.value) == error[1]


def test_read_dot_stops_at_its_limit():
    with pytest.raises(ValueError) as caught:
        quorl.read_dot("/dev/zero", max_bytes=1 << 20)
    assert str(caught.value) == "parse error: input is larger than the limit of 1048576 bytes"


READ_FIFO = """
import sys, threading, time
import quorl
def spin():
    while True:
        pass
if sys.argv[2] == "busy":  # another thread wants the interpreter all the time
    threading.Thread(target=spin, daemon=True).start()
try:
    quorl.read_dot(sys.argv[1])
    print("finished")
except KeyboardInterrupt:
    print("interrupted", time.monotonic(), flush=True)
"""


@pytest.mark.parametrize("other_thread", ["none", "busy"])
def test_ctrl_c_interrupts_a_read_that_waits_for_input(tmp_path, other_thread):
    fifo = tmp_path / "fifo"
    os.mkfifo(fifo)
    child = subprocess.Popen(
        [sys.executable, "-c", INTERRUPTIBLE + READ_FIFO, str(fifo), other_thread], env=child_environment(),
        stdout=subprocess.PIPE,
        text=True,
    )
    writer = os.open(fifo, os.O_WRONLY)  # the child has it open once this returns
    try:
        os.write(writer, b"a -- b\n")
        time.sleep(0.3)
        sent = time.monotonic()
        child.send_signal(signal.SIGINT)
        out, _ = child.communicate(timeout=30)
    finally:
        os.close(writer)
        child.kill()
        child.wait()
    status, at = out.split()
    assert status == "interrupted"
    assert float(at) - sent < 0.1


def run_cli(*args, stdin=None, stdin_bytes=None):
    return subprocess.run(
        [sys.executable, "-m", "quorl", *args], stdin=stdin, input=stdin_bytes, capture_output=True,
        env=child_environment(), timeout=120,
    )


@pytest.mark.parametrize(
    "args, use_stdin, message",
    [
        (["canon", "/dev/zero"], False, "quorl: /dev/zero: input is larger than the limit of 1048576 bytes"),
        (["canon", "-"], True, "quorl: <stdin>: input is larger than the limit of 1048576 bytes"),
        (["order", "--jsonl", "/dev/zero"], False, "quorl: /dev/zero:1: input is larger than the limit of 1048576 bytes"),
    ],
    ids=["file", "stdin", "jsonl"],
)
def test_command_ends_endless_input_with_an_error(args, use_stdin, message):
    with open("/dev/zero", "rb") as zero:
        result = run_cli(*args, "--max-bytes", "1M", stdin=zero if use_stdin else subprocess.DEVNULL)
    assert result.returncode == 1
    assert result.stderr.decode().splitlines()[0] == message


def test_command_reports_limits_per_graph(tmp_path):
    side = 20
    lines = [f'"{r}_{c}" -- "{r}_{c + 1}"' for r in range(side) for c in range(side - 1)]
    lines += [f'"{r}_{c}" -- "{r + 1}_{c}"' for r in range(side - 1) for c in range(side)]
    (tmp_path / "grid.dot").write_text("\n".join(lines) + "\n")
    (tmp_path / "pair.dot").write_text("a -- b\n")
    result = run_cli("canon", "--max-memory", "1G", "--timeout", "30", str(tmp_path / "grid.dot"), str(tmp_path / "pair.dot"))
    assert result.returncode == 1
    errors = result.stderr.decode().splitlines()
    assert errors[0].startswith(f"quorl: {tmp_path / 'grid.dot'}: MemoryError: the expanded form of this graph needs")
    assert "more than the memory budget of 1.07 GB" in errors[0]
    assert result.stdout.decode() == f"{tmp_path / 'pair.dot'}\t(.:1).\n"


@pytest.mark.parametrize("option", ["--max-memory", "--max-bytes", "--timeout"])
@pytest.mark.parametrize("value", ["0", "-2", "lots"])
def test_command_refuses_limits_that_are_not_positive(option, value):
    result = run_cli("canon", option, value, "/dev/null")
    assert result.returncode == 2
    assert f"argument {option}: expected a " in result.stderr.decode()


@pytest.mark.parametrize(
    "text, size",
    [("1", 1), ("4096", 4096), ("1k", 1024), ("512M", 512 << 20), ("2G", 2 << 30), ("1.5GiB", 3 << 29), ("3 TB", 3 << 40)],
)
def test_sizes_take_binary_suffixes(text, size):
    assert parse_size(text) == size


@pytest.mark.parametrize("text", ["", "0", "G", "-1G", "2 X", "1e9"])
def test_sizes_that_are_not_positive_are_refused(text):
    with pytest.raises(ValueError):
        parse_size(text)


def grid_dot(side: int) -> str:
    lines = [f'"{r}_{c}" -- "{r}_{c + 1}"' for r in range(side) for c in range(side - 1)]
    lines += [f'"{r}_{c}" -- "{r + 1}_{c}"' for r in range(side - 1) for c in range(side)]
    return "\n".join(lines) + "\n"


def grid_record(side: int, record_id: str) -> str:
    edges = [[f"{r}_{c}", f"{r}_{c + 1}", "1"] for r in range(side) for c in range(side - 1)]
    edges += [[f"{r}_{c}", f"{r + 1}_{c}", "1"] for r in range(side - 1) for c in range(side)]
    return json.dumps({"id": record_id, "nodes": [], "edges": edges})


PAIR_RECORD = json.dumps({"id": "pair", "nodes": [], "edges": [["a", "b", "1"]]})


@pytest.mark.parametrize("per_record", [False, True], ids=["groups", "per record"])
def test_dedup_reports_a_record_past_its_memory_budget_and_goes_on(per_record):
    lines = [grid_record(20, "grid"), PAIR_RECORD, PAIR_RECORD.replace('"pair"', '"pair2"')]
    result = run_cli(
        "dedup", "--jsonl", "-", "--max-memory", "1G", "--timeout", "30", *(["--per-record"] if per_record else []),
        stdin_bytes="\n".join(lines).encode() + b"\n",
    )
    assert result.returncode == 1
    report = result.stderr.decode().splitlines()[0]
    assert report.startswith("quorl: <stdin>:1: MemoryError: the expanded form of this graph needs at least ")
    assert "more than the memory budget of 1.07 GB" in report
    out = [json.loads(line) for line in result.stdout.decode().splitlines()]
    if per_record:
        assert out[0] == {"id": "grid", "line": 1, "error": report.split(": ", 2)[2]}
        assert out[1:] == [{"id": "pair", "group": 1}, {"id": "pair2", "group": 1}]
    else:
        assert out == [{"group": 1, "text": "(.:1).", "members": ["pair", "pair2"]}]


# Compact resolution of a 100 x 100 grid takes over a second (a 60 x 60 one, once as slow,
# now ends within the timeout on a fast machine): past its deadline the record fails alone.
def test_dedup_reports_a_record_past_its_timeout(tmp_path):
    (tmp_path / "grid.dot").write_text(grid_dot(100))
    (tmp_path / "pair.dot").write_text("a -- b\n")
    started = time.monotonic()
    result = run_cli(
        "dedup", "--compact", "--timeout", "0.3", "-q", str(tmp_path / "grid.dot"), str(tmp_path / "pair.dot")
    )
    assert time.monotonic() - started < 60
    assert result.returncode == 1
    assert result.stderr.decode() == (
        f"quorl: {tmp_path / 'grid.dot'}: TimeoutError: the call took longer than its timeout of 0.3 s\n"
    )
    assert json.loads(result.stdout) == {"group": 1, "text": "(.:1).", "members": [str(tmp_path / "pair.dot")]}


@pytest.mark.parametrize(
    "option, message",
    [
        ("--jsonl", "quorl: /dev/zero:1: input is larger than the limit of 1048576 bytes"),
        ("--smiles", "quorl: /dev/zero:1: input is larger than the limit of 1048576 bytes"),
        ("--sdf", "quorl: /dev/zero: record 1: input is larger than the limit of 1048576 bytes"),
        ("", "quorl: /dev/zero: input is larger than the limit of 1048576 bytes"),
    ],
    ids=["jsonl", "smiles", "sdf", "dot"],
)
def test_dedup_ends_endless_input_with_an_error(option, message):
    result = run_cli("dedup", *([option] if option else []), "/dev/zero", "--max-bytes", "1M")
    assert result.returncode == 1
    assert result.stderr.decode().splitlines()[0] == message


def test_dedup_reads_records_within_the_read_limit(tmp_path):
    # A limit exactly the size of the longest record is enough; one byte less fails that
    # record (and ends the input: an endless stream has no next line).
    line = PAIR_RECORD + "\n"
    (tmp_path / "in.jsonl").write_text(line * 2)
    fits = run_cli("dedup", "--jsonl", str(tmp_path / "in.jsonl"), "--max-bytes", str(len(line)), "-q")
    assert fits.returncode == 0 and json.loads(fits.stdout)["members"] == ["pair", "pair"]
    short = run_cli("dedup", "--jsonl", str(tmp_path / "in.jsonl"), "--max-bytes", str(len(line) - 1), "-q")
    assert short.returncode == 1
    assert short.stderr.decode() == (
        f"quorl: {tmp_path / 'in.jsonl'}:1: input is larger than the limit of {len(line) - 1} bytes\n"
    )


def test_group_duplicates_takes_the_limits_of_canonical_text():
    records = [("grid", quorl.from_edges([], [(f"n{i}", f"n{i + 1}", "1") for i in range(100)]))]
    with pytest.raises(MemoryError, match=r"^the memory budget of 1\.00 kB is too small for this graph itself"):
        quorl.group_duplicates(records, max_memory=1000)
    for verify in (False, True):
        groups = quorl.group_duplicates(records * 2, verify=verify, max_memory=1 << 30, timeout=60)
        assert [g.members for g in groups] == [["grid", "grid"]]


DEDUP_BAD_VALUES = [0, -1, math.nan, "2G", True]


@pytest.mark.parametrize("value", DEDUP_BAD_VALUES, ids=repr)
@pytest.mark.parametrize("option", ["max_memory", "timeout"])
def test_group_duplicates_refuses_limits_that_are_not_positive_numbers(option, value):
    # Refused before any record is read.
    with pytest.raises(ValueError, match=rf"^{option} must be a positive number, not "):
        quorl.group_duplicates([], **{option: value})


# A thread that waits on a pipe in read_dot leaves the interpreter to the others.
READ_IN_THREAD = """
import sys, threading, time
import quorl
graphs = []
reader = threading.Thread(target=lambda: graphs.append(quorl.read_dot(sys.argv[1])))
reader.start()
time.sleep(0.2)
counted, end = 0, time.monotonic() + 0.3
while time.monotonic() < end:
    counted += 1
print("counted", counted, flush=True)
reader.join()
print(graphs[0].node_labels())
"""


def test_a_read_that_waits_on_a_pipe_does_not_block_other_threads(tmp_path):
    fifo = tmp_path / "fifo"
    os.mkfifo(fifo)
    child = subprocess.Popen(
        [sys.executable, "-c", READ_IN_THREAD, str(fifo)], env=child_environment(), stdout=subprocess.PIPE, text=True
    )
    writer = os.open(fifo, os.O_WRONLY)  # the child's reader has it open once this returns
    try:
        ready, _, _ = select.select([child.stdout], [], [], 20)
        assert ready, "the main thread did not run while the reader waited"
        status, counted = child.stdout.readline().split()
        assert status == "counted" and int(counted) > 1000
        os.write(writer, b"a -- b\n")
    finally:
        os.close(writer)
    out, _ = child.communicate(timeout=30)
    assert out == "[('a', '.'), ('b', '.')]\n"
    assert child.returncode == 0
