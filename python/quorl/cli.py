"""The `quorl` command: canonical texts and node orders of DOT files and JSON-lines batches."""

from __future__ import annotations

import argparse
import functools
import json
import os
import stat
import sys
import time
from dataclasses import dataclass
from typing import IO, Any, Callable, Dict, Iterable, Iterator, List, NamedTuple, Optional, Sequence, Tuple, Union

import quorl
from quorl import _dedup_cli
from quorl._batch import ChunkWork, chunk_call, run_batch
from quorl._limits import DEFAULT_MAX_BYTES, InputTooLarge, parse_size, read_limited

PROG = "quorl"

_MAIN_EXAMPLES = """\
examples:
  quorl canon examples/ethanol.dot
  quorl order examples/molecules/*.dot
  quorl canon --jsonl examples/molecules.jsonl --jobs 2 > texts.jsonl
  cat examples/ethanol.dot | quorl canon -
  quorl dedup --jsonl examples/molecules.jsonl --verify > groups.jsonl

run 'quorl COMMAND --help' (canon, order or dedup) for the options."""

_COMMAND_EXAMPLES = {
    "canon": """\
examples:
  quorl canon examples/ethanol.dot
      prints the canonical text of the molecule
  quorl canon examples/molecules/*.dot
      prints 'FILE<tab>TEXT' per file when given several files
  quorl canon --jsonl examples/molecules.jsonl --jobs 2 > texts.jsonl
      writes {"id": ..., "text": ...} per input line, in input order
  quorl canon --no-compress - < examples/ethanol.dot
      reads DOT text from standard input""",
    "order": """\
examples:
  quorl order examples/ethanol.dot
      prints the node ids in canonical order, separated by blanks
  quorl order examples/molecules/*.dot
      prints 'FILE<tab>IDS' per file when given several files
  quorl order --jsonl examples/molecules.jsonl --jobs 2
      writes {"id": ..., "order": [...]} per input line, in input order""",
}

_FAILURE_EXIT = 1
_INTERRUPT_EXIT = 130
_PROGRESS_AFTER_SECONDS = 1.0
_PROGRESS_INTERVAL_SECONDS = 0.1


@dataclass(frozen=True)
class Job:
    """What to compute for every graph."""

    command: str  # "canon" or "order"
    allow_hashes: bool
    compress: bool
    compact: bool
    id_key: str = "id"
    max_memory: Optional[int] = None
    timeout: Optional[float] = None
    max_bytes: int = DEFAULT_MAX_BYTES

    def options(self) -> Dict[str, Any]:
        """The keyword options of the package function that `run` calls."""
        options: Dict[str, Any] = {"allow_hashes": self.allow_hashes, "compact": self.compact}
        if self.command == "canon":
            options["compress"] = self.compress
        return {**options, "max_memory": self.max_memory, "timeout": self.timeout}

    def run(self, graph: quorl.PyGraph) -> Union[str, List[str]]:
        single = quorl.canonical_text if self.command == "canon" else quorl.canonical_order
        return single(graph, **self.options())

    def chunk_call(self) -> Optional[ChunkWork]:
        """`run` for a chunk of graphs in one engine call (see quorl.canonical_texts)."""
        return chunk_call("text" if self.command == "canon" else "order", self.options())


class Outcome(NamedTuple):
    """One graph's result: the line to print (if any), the failure message (if any), where
    the graph came from (file position or line number) and how far the input has been
    consumed (for the progress bar)."""

    output: Optional[str]
    error: Optional[str]
    origin: int
    progress: int


class InputError(Exception):
    """An input that cannot be read; its message is complete as it is."""


def _failure_message(error: BaseException) -> str:
    # The engine's value and type errors carry complete messages ("parse error: line 3: ...");
    # anything else (an internal fault, running out of memory or time) is named by its type.
    if isinstance(error, (ValueError, TypeError, InputError)):
        return str(error)
    return f"{type(error).__name__}: {error}"


def _os_error_message(error: OSError) -> str:
    if isinstance(error, FileNotFoundError):
        return "no such file"
    if isinstance(error, IsADirectoryError):
        return "is a directory, not a file"
    if isinstance(error, PermissionError):
        return "permission denied"
    return f"cannot read: {error.strerror or error}"


def _read_utf8(path: str, max_bytes: int = DEFAULT_MAX_BYTES) -> str:
    try:
        with open(path, "rb") as stream:
            data = read_limited(stream, max_bytes)
    except OSError as error:
        raise InputError(_os_error_message(error)) from None
    return _decode_utf8(data)


def _shown_name(path: str) -> str:
    """A file name as messages and outputs show it: bytes that are not UTF-8 (which Python
    carries as lone surrogates) written as \\xNN escapes."""
    return os.fsencode(path).decode("utf-8", "backslashreplace")


def _decode_utf8(data: bytes) -> str:
    try:
        return data.decode("utf-8")
    except UnicodeDecodeError as error:
        raise InputError(f"not valid UTF-8 (byte {error.start + 1})") from None


class DotSource(NamedTuple):
    name: str  # what messages call it
    path: Optional[str]  # read by the worker; None when the text is already here
    text: Optional[str]
    position: int  # 1-based place among the files


def _process_dot(job: Job, source: DotSource) -> Outcome:
    try:
        text = _read_utf8(source.path, job.max_bytes) if source.path is not None else source.text or ""
        result = job.run(quorl.parse_dot(text))
    except (KeyboardInterrupt, SystemExit):
        raise
    except BaseException as error:  # one bad graph must not stop the others
        return Outcome(None, _failure_message(error), source.position, source.position)
    text = result if isinstance(result, str) else " ".join(result)
    return Outcome(text, None, source.position, source.position)


class JsonlLine(NamedTuple):
    number: int  # 1-based line number
    raw: Optional[bytes]  # None for a line longer than the read limit, which ends the input
    end_offset: int  # bytes of input consumed up to the end of this line
    max_bytes: int = DEFAULT_MAX_BYTES


def _process_jsonl(job: Job, line: JsonlLine) -> Outcome:
    record_id = None
    try:
        record = _line_record(line)
        record_id = _record_id_of(record, job.id_key)
        result = job.run(quorl.from_edges(record["nodes"], record["edges"]))
    except (KeyboardInterrupt, SystemExit):
        raise
    except BaseException as error:  # one bad graph must not stop the others
        return _jsonl_failure(line, record_id, error)
    return _jsonl_success(job, line, record_id, result)


def _jsonl_failure(line: JsonlLine, record_id: Any, error: BaseException) -> Outcome:
    message = _failure_message(error)
    failure = {"id": record_id, "line": line.number, "error": message}
    return Outcome(json.dumps(failure, ensure_ascii=False), message, line.number, line.end_offset)


def _jsonl_success(job: Job, line: JsonlLine, record_id: Any, result: object) -> Outcome:
    key = "text" if job.command == "canon" else "order"
    success = json.dumps({"id": record_id, key: result}, ensure_ascii=False)
    return Outcome(success, None, line.number, line.end_offset)


def _jsonl_chunk(
    lines: List[JsonlLine],
    id_key: str,
    engine_call: ChunkWork,
    outcome_of: Callable[[JsonlLine, Any, object], object],
) -> List[object]:
    """The outcomes of a chunk of JSON lines whose graphs are canonised in one engine call:
    per line outcome_of(line, record id, result or exception), or None for a line left to
    the line-by-line road (one that does not read as a record, or whose graph the engine
    call leaves), or the exception that stopped the chunk."""
    entries: List[object] = [None] * len(lines)
    read: List[Tuple[int, Any, object]] = []  # (position, record id, graph)
    for at, line in enumerate(lines):
        try:
            record = _line_record(line)
            read.append((at, _record_id_of(record, id_key), (record["nodes"], record["edges"])))
        except Exception:  # the line-by-line road reports it
            pass
    for (at, record_id, _), result in zip(read, engine_call([graph for _, _, graph in read])):
        if isinstance(result, (KeyboardInterrupt, SystemExit)):
            entries[at] = result
            break
        if result is not None:
            entries[at] = outcome_of(lines[at], record_id, result)
    return entries


def _process_jsonl_chunk(job: Job, engine_call: ChunkWork, lines: List[JsonlLine]) -> List[object]:
    """_process_jsonl for a chunk of lines (see _jsonl_chunk)."""

    def outcome_of(line: JsonlLine, record_id: Any, result: object) -> Outcome:
        if isinstance(result, BaseException):
            return _jsonl_failure(line, record_id, result)
        return _jsonl_success(job, line, record_id, result)

    return _jsonl_chunk(lines, job.id_key, engine_call, outcome_of)


def _refuse_constant(name: str) -> None:
    raise InputError(f"malformed JSON line: {name} is not a JSON value")


def _finite_float(text: str) -> float:
    value = float(text)
    if value in (float("inf"), float("-inf")):
        raise InputError(f"malformed JSON line: the number {text} is out of range")
    return value


def _line_bytes(line: JsonlLine) -> bytes:
    if line.raw is None:
        raise InputTooLarge(line.max_bytes)
    return line.raw


def _line_record(line: JsonlLine) -> Dict[str, Any]:
    return _parse_record(_line_bytes(line))


def _parse_record(raw: bytes) -> Dict[str, Any]:
    # Without its line break, an error at the end of the line keeps its own column. NaN,
    # Infinity and numbers beyond the float range would be written back as non-JSON.
    text = _decode_utf8(raw).rstrip("\r\n")
    try:
        record = json.loads(text, parse_constant=_refuse_constant, parse_float=_finite_float)
    except json.JSONDecodeError as error:
        raise InputError(f"malformed JSON line: {error.msg} (column {error.colno})") from None
    if not isinstance(record, dict):
        raise InputError('malformed graph: expected a JSON object with "nodes" and "edges"')
    for key in ("nodes", "edges"):
        if not isinstance(record.get(key), list):
            raise InputError(f'malformed graph: "{key}" must be a list')
    return record


def _record_id_of(record: Dict[str, Any], id_key: str) -> Any:
    """The record's id (None without one), refused when it cannot be written as UTF-8 JSON."""
    record_id = record.get(id_key)
    try:
        json.dumps(record_id, ensure_ascii=False).encode("utf-8")
    except UnicodeEncodeError as error:
        bad = ascii(error.object[error.start : error.end])[1:-1]
        raise InputError(f"the id holds a lone surrogate ({bad}), which UTF-8 cannot carry") from None
    return record_id


def _jsonl_lines(stream: IO[bytes], max_bytes: int = DEFAULT_MAX_BYTES) -> Iterator[JsonlLine]:
    offset = 0
    number = 0
    while True:
        raw = stream.readline(max_bytes + 1)
        if not raw:
            return
        number += 1
        offset += len(raw)
        if len(raw) > max_bytes:
            # No line end within the limit: an endless stream, or one line too large to hold.
            yield JsonlLine(number, None, offset, max_bytes)
            return
        if raw.strip():
            yield JsonlLine(number, raw, offset)


class Progress:
    """A one-line progress bar on standard error, drawn only for batches that take a while."""

    def __init__(self, total: Optional[int], enabled: bool) -> None:
        self._total = total
        self._enabled = enabled
        self._start = time.monotonic()
        self._last_draw = 0.0
        self._drawn = False

    def update(self, done: int, position: int, failures: int) -> None:
        if not self._enabled:
            return
        now = time.monotonic()
        if now - self._start < _PROGRESS_AFTER_SECONDS or now - self._last_draw < _PROGRESS_INTERVAL_SECONDS:
            return
        self._last_draw = now
        status = f"{done} graphs, {failures} failed, {now - self._start:.1f} s"
        if self._total:
            fraction = min(position / self._total, 1.0)
            filled = int(fraction * 30)
            status = f"[{'#' * filled}{'.' * (30 - filled)}] {fraction:4.0%}  {status}"
        sys.stderr.write(f"\r{status}\033[K")
        sys.stderr.flush()
        self._drawn = True

    def clear(self) -> None:
        if self._drawn:
            sys.stderr.write("\r\033[K")
            sys.stderr.flush()
            self._drawn = False


def _report(message: str) -> None:
    sys.stderr.write(f"{PROG}: {message}\n")
    sys.stderr.flush()


def _drive(
    outcomes: Iterator[Outcome],
    locate: Callable[[int], str],
    progress: Progress,
    show_summary: bool,
    flush_each: bool,
) -> int:
    """Print every outcome in order, report failures, and return the exit status."""
    out = sys.stdout.buffer
    start = time.monotonic()
    done = failures = 0
    for outcome in outcomes:
        done += 1
        if outcome.output is not None:
            out.write(outcome.output.encode("utf-8") + b"\n")
            if flush_each:
                out.flush()
        if outcome.error is not None:
            failures += 1
            progress.clear()
            _report(f"{locate(outcome.origin)}: {outcome.error}")
        progress.update(done, outcome.progress, failures)
    out.flush()
    progress.clear()
    if show_summary:
        sys.stderr.write(f"{PROG}: {done} graphs, {failures} failed, {time.monotonic() - start:.2f} s\n")
    return _FAILURE_EXIT if failures else 0


def _dot_sources(files: Sequence[str], max_bytes: int = DEFAULT_MAX_BYTES) -> Optional[List[DotSource]]:
    """The files to read, standard input ('-') read at once; None (reported) when standard
    input is not UTF-8 or holds more than max_bytes."""
    stdin_text: Optional[str] = None
    if "-" in files:
        try:
            stdin_text = _decode_utf8(read_limited(sys.stdin.buffer, max_bytes))
        except (InputError, InputTooLarge) as error:
            _report(f"<stdin>: {error}")
            return None
    return [
        DotSource("<stdin>", None, stdin_text, i) if name == "-" else DotSource(_shown_name(name), name, None, i)
        for i, name in enumerate(files, start=1)
    ]


def _run_files(job: Job, files: Sequence[str], args: argparse.Namespace) -> int:
    sources = _dot_sources(files, job.max_bytes)
    if sources is None:
        return _FAILURE_EXIT
    several = len(sources) > 1

    def with_name(outcome: Outcome) -> Outcome:
        if several and outcome.output is not None:
            name = sources[outcome.origin - 1].name
            return outcome._replace(output=f"{name}\t{outcome.output}")
        return outcome

    worker = functools.partial(_process_dot, job)
    outcomes = map(with_name, run_batch(worker, sources, jobs=args.jobs))
    progress = Progress(len(sources), _progress_wanted(args))
    return _drive(
        outcomes,
        lambda position: sources[position - 1].name,
        progress,
        show_summary=several and not args.quiet,
        flush_each=args.trace,
    )


def _open_input(path: str) -> Optional[Tuple[str, IO[bytes]]]:
    """The name messages give a batch file ('-' is standard input) and its open binary
    stream; None (reported) when it cannot be opened."""
    name = "<stdin>" if path == "-" else _shown_name(path)
    try:
        return name, (sys.stdin.buffer if path == "-" else open(path, "rb"))
    except OSError as error:
        _report(f"{name}: {_os_error_message(error)}")
    return None


def _run_jsonl(job: Job, path: str, args: argparse.Namespace) -> int:
    opened = _open_input(path)
    if opened is None:
        return _FAILURE_EXIT
    name, stream = opened
    with stream:
        worker = functools.partial(_process_jsonl, job)
        engine_call = job.chunk_call()
        chunk_work = None if engine_call is None else functools.partial(_process_jsonl_chunk, job, engine_call)
        try:
            return _drive(
                run_batch(worker, _jsonl_lines(stream, job.max_bytes), jobs=args.jobs, chunk_work=chunk_work),
                lambda line_number: f"{name}:{line_number}",
                Progress(_regular_file_size(stream), _progress_wanted(args)),
                show_summary=not args.quiet,
                flush_each=args.trace,
            )
        except BrokenPipeError:
            raise
        except OSError as error:
            _report(f"{name}: {_os_error_message(error)}")
            return _FAILURE_EXIT


def _regular_file_size(stream: IO[bytes]) -> Optional[int]:
    try:
        status = os.fstat(stream.fileno())
    except (OSError, ValueError):
        return None
    return status.st_size if stat.S_ISREG(status.st_mode) else None


def _progress_wanted(args: argparse.Namespace) -> bool:
    return not args.quiet and sys.stderr.isatty()


def _positive_int(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected a whole number, got {text!r}") from None
    if value < 1:
        raise argparse.ArgumentTypeError(f"expected at least 1, got {value}")
    return value


def _size(text: str) -> int:
    try:
        return parse_size(text)
    except ValueError as error:
        raise argparse.ArgumentTypeError(str(error)) from None


def _seconds(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected a number of seconds, got {text!r}") from None
    if not value > 0:
        raise argparse.ArgumentTypeError(f"expected a positive number of seconds, got {text!r}")
    return value


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog=PROG,
        description="Canonical texts and canonical node orders of labelled undirected graphs.",
        epilog=_MAIN_EXAMPLES,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    parser.add_argument(
        "--version", action="version", version=f"{PROG} {quorl.__version__} (text format {quorl.TEXT_FORMAT_VERSION})"
    )
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)
    summaries = {
        "canon": "print the canonical text of every graph",
        "order": "print the node ids of every graph in canonical order",
        "dedup": "group the graphs whose canonical texts are equal",
    }
    for command, summary in summaries.items():
        sub = commands.add_parser(
            command,
            help=summary,
            description=summary[0].upper() + summary[1:] + ".",
            epilog=_dedup_cli.EXAMPLES if command == "dedup" else _COMMAND_EXAMPLES[command],
            formatter_class=argparse.RawDescriptionHelpFormatter,
        )
        sub.add_argument("files", nargs="*", metavar="FILE", help="a DOT file; '-' reads standard input")
        sub.add_argument(
            "--jsonl",
            metavar="IN.jsonl",
            help='read one graph per line, {"id": ..., "nodes": [[id, label], ...], '
            '"edges": [[a, b, modality], ...]}'
            + ("" if command == "dedup" else ", and write one JSON line per graph")
            + "; '-' reads standard input",
        )
        sub.add_argument(
            "--id-key", default="id", metavar="KEY",
            help='with --jsonl: the key of the record id, written back as "id" (default: id)',
        )
        sub.add_argument(
            "--jobs", type=_positive_int, default=1, metavar="N",
            help="spread the work over N threads; the output keeps the input order (default 1)",
        )
        sub.add_argument(
            "--no-hashes", dest="allow_hashes", action="store_false",
            help="describe regions by their full texts instead of MD5 digests, in the {...} groups "
            "and while choosing the root",
        )
        if command == "dedup":
            _dedup_cli.add_arguments(sub)
        if command in ("canon", "dedup"):
            sub.add_argument(
                "--no-compress", dest="compress", action="store_false",
                help="keep the {...} groups written out instead of numbering them $1, $2, ...",
            )
        sub.add_argument(
            "--compact", action="store_true",
            help="split a node reached from several sides into mirrors of which only one carries its region",
        )
        sub.add_argument(
            "--max-memory", type=_size, metavar="SIZE",
            help="memory one graph may take, in bytes or with K, M, G, T (powers of 1024), e.g. 2G; "
            "a graph that needs more fails with MemoryError (default: half of the available memory)",
        )
        sub.add_argument(
            "--timeout", type=_seconds, metavar="SECONDS",
            help="time one graph may take; a graph that takes longer fails with TimeoutError",
        )
        sub.add_argument(
            "--max-bytes", type=_size, default=DEFAULT_MAX_BYTES, metavar="SIZE",
            help="the most a DOT input or "
            + ("one record (a JSON or SMILES line, an SDF record)" if command == "dedup" else "a JSON line")
            + " may hold, as for --max-memory (default 4G)",
        )
        sub.add_argument(
            "--trace", action="store_true",
            help="have the engine write its TRACE lines to standard output (sets QUORL_TRACE=1)",
        )
        sub.add_argument("-q", "--quiet", action="store_true", help="no progress bar and no summary line")
    return parser


def main(argv: Optional[Sequence[str]] = None) -> int:
    parser = build_parser()
    args = parser.parse_args(argv)
    if args.command != "dedup" and args.jsonl is not None and args.files:
        parser.error("give either FILE arguments or --jsonl, not both")
    if args.command != "dedup" and args.jsonl is None and not args.files:
        parser.error("nothing to do: give FILE arguments or --jsonl IN.jsonl")
    if sys.stdout is None:
        _report("standard output is closed; nothing can be written")
        return _FAILURE_EXIT
    if args.trace:
        os.environ["QUORL_TRACE"] = "1"
    try:
        if args.command == "dedup":
            return _dedup_cli.run(args, parser)
        job = Job(
            args.command, args.allow_hashes, getattr(args, "compress", True), args.compact, args.id_key,
            max_memory=args.max_memory, timeout=args.timeout, max_bytes=args.max_bytes,
        )
        if args.jsonl is not None:
            return _run_jsonl(job, args.jsonl, args)
        return _run_files(job, args.files, args)
    except KeyboardInterrupt:
        return _INTERRUPT_EXIT
    except BrokenPipeError:
        # The reader went away (quorl ... | head): stop quietly, and keep the interpreter's
        # final flush from failing again.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return _FAILURE_EXIT
