"""`quorl dedup`: group the records of a batch whose canonical texts are equal."""

from __future__ import annotations

import argparse
import functools
import json
import sys
import time
from dataclasses import dataclass
from typing import IO, Any, Callable, Dict, Iterator, List, NamedTuple, Optional, Tuple

import quorl

from . import cli
from ._batch import ChunkWork, chunk_call, run_batch
from ._dedup import DEFAULT_VERIFY_SECONDS, Grouper, Keys, keys_of
from ._limits import DEFAULT_MAX_BYTES, InputTooLarge

EXAMPLES = """\
examples:
  quorl dedup --jsonl examples/molecules.jsonl > groups.jsonl
      writes {"group": N, "text": ..., "members": [ids]} per group of equal texts
  quorl dedup --jsonl ../shared/data/molecules.jsonl --id-key name --verify --jobs 2
      proves every merge; collisions of non-isomorphic records are split and counted
  quorl dedup --per-record examples/molecules/*.dot
      writes {"id": FILE, "group": N} per file, in input order
  quorl dedup --smiles mols.smi --verify      (needs pip install 'quorl[rdkit]')"""

def add_arguments(sub: argparse.ArgumentParser) -> None:
    """The options only dedup has; the shared ones are added by cli.build_parser."""
    sub.add_argument("--smiles", metavar="IN.smi", help="read one SMILES per line, optionally followed by a name (the id)")
    sub.add_argument("--sdf", metavar="IN.sdf", help="read an SDF file; a record's id is its title line")
    sub.add_argument(
        "--verify", action="store_true",
        help="prove every merge by an isomorphism test; records whose texts collide but whose graphs "
        "differ are split into groups of their own",
    )
    sub.add_argument(
        "--verify-seconds", type=float, default=DEFAULT_VERIFY_SECONDS, metavar="S",
        help="time the complete matcher may spend on one pair; undecided records are reported "
        f"unverified, not merged (default {DEFAULT_VERIFY_SECONDS:g})",
    )
    sub.add_argument(
        "--per-record", action="store_true",
        help='write {"id": ..., "group": N} per record in input order instead of one line per group',
    )


@dataclass(frozen=True)
class Settings:
    """What to compute for every record."""

    allow_hashes: bool
    compress: bool
    compact: bool
    verify: bool
    id_key: str
    seen: Callable[[str], bool]  # whether a text has been grouped already (Grouper.has_text)
    max_memory: Optional[int] = None
    timeout: Optional[float] = None
    max_bytes: int = DEFAULT_MAX_BYTES

    def text_options(self) -> Dict[str, Any]:
        """The options of the canonical text, as `canonical_text` takes them."""
        return {"allow_hashes": self.allow_hashes, "compress": self.compress, "compact": self.compact,
                "max_memory": self.max_memory, "timeout": self.timeout}

    def keys(self, graph: object) -> Keys:
        return keys_of(graph, verify=self.verify, seen=self.seen, **self.text_options())


class Found(NamedTuple):
    """One record's keys, or why it failed; where it came from and how far the input has
    been consumed (for the progress bar)."""

    record_id: Any
    keys: Optional[Keys]
    error: Optional[str]
    origin: int  # file position, line number or record number
    progress: int


class SdfRecord(NamedTuple):
    number: int  # 1-based record number
    first_line: int
    raw: Optional[bytes]  # None for a record longer than the read limit, which ends the input
    end_offset: int


def _found(settings: Settings, origin: int, progress: int, read: Callable[[], Tuple[Any, Callable[[], object]]]) -> Found:
    record_id = None
    try:
        record_id, graph_of = read()
        keys = settings.keys(graph_of())
    except (KeyboardInterrupt, SystemExit):
        raise
    except BaseException as error:  # one bad record must not stop the others
        return Found(record_id, None, cli._failure_message(error), origin, progress)
    return Found(record_id, keys, None, origin, progress)


def _dot_task(settings: Settings, source: cli.DotSource) -> Found:
    def read() -> Tuple[Any, Callable[[], object]]:
        def graph() -> object:
            text = cli._read_utf8(source.path, settings.max_bytes) if source.path is not None else source.text
            return quorl.parse_dot(text or "")

        return source.name, graph

    return _found(settings, source.position, source.position, read)


def _jsonl_task(settings: Settings, line: cli.JsonlLine) -> Found:
    def read() -> Tuple[Any, Callable[[], object]]:
        record = cli._line_record(line)
        return cli._record_id_of(record, settings.id_key), lambda: quorl.from_edges(record["nodes"], record["edges"])

    return _found(settings, line.number, line.end_offset, read)


def _jsonl_chunk(settings: Settings, engine_call: ChunkWork, lines: List[cli.JsonlLine]) -> List[object]:
    """_jsonl_task without verification for a chunk of lines, their texts from one engine
    call (see cli._jsonl_chunk)."""

    def found_of(line: cli.JsonlLine, record_id: Any, result: object) -> Found:
        if isinstance(result, BaseException):
            return Found(record_id, None, cli._failure_message(result), line.number, line.end_offset)
        return Found(record_id, Keys(result), None, line.number, line.end_offset)

    return cli._jsonl_chunk(lines, settings.id_key, engine_call, found_of)


def _smiles_task(settings: Settings, line: cli.JsonlLine) -> Found:
    from ._molfiles import graph_from_smiles

    def read() -> Tuple[Any, Callable[[], object]]:
        fields = cli._decode_utf8(cli._line_bytes(line)).split(None, 1)
        name = fields[1].strip() if len(fields) > 1 else None
        return name, lambda: graph_from_smiles(fields[0])

    return _found(settings, line.number, line.end_offset, read)


def _sdf_task(settings: Settings, record: SdfRecord) -> Found:
    from ._molfiles import graph_from_molblock

    def read() -> Tuple[Any, Callable[[], object]]:
        block = _record_text(settings, record)
        title = block.split("\n", 1)[0].strip()
        return title or None, lambda: graph_from_molblock(block)

    return _found(settings, record.number, record.end_offset, read)


def _sdf_records(stream: IO[bytes], max_bytes: int = DEFAULT_MAX_BYTES) -> Iterator[SdfRecord]:
    lines: list[bytes] = []
    offset = number = first_line = records = held = 0
    while True:
        raw = stream.readline(max_bytes + 1 - held)
        if not raw:
            break
        number += 1
        offset += len(raw)
        if not lines:
            first_line = number
        lines.append(raw)
        held += len(raw)
        if held > max_bytes:  # no "$$$$" within the limit: this record fails, the input ends
            yield SdfRecord(records + 1, first_line, None, offset)
            return
        if raw.rstrip(b"\r\n") == b"$$$$":
            records += 1
            yield SdfRecord(records, first_line, b"".join(lines), offset)
            lines = []
            held = 0
    if any(raw.strip() for raw in lines):  # a last record without its "$$$$"
        yield SdfRecord(records + 1, first_line, b"".join(lines), offset)


def _record_text(settings: Settings, record: SdfRecord) -> str:
    if record.raw is None:
        raise InputTooLarge(settings.max_bytes)
    return cli._decode_utf8(record.raw)


class _Input(NamedTuple):
    name: str
    tasks: Iterator[Any]
    worker: Callable[[Settings, Any], Found]
    locate: Callable[[int], str]  # origin -> "FILE:LINE" for messages
    place: str  # the key that says where a failed record is, in per-record output
    total: Optional[int]  # for the progress bar
    stream: Optional[IO[bytes]]


def _open_input(args: argparse.Namespace, parser: argparse.ArgumentParser) -> Optional[_Input]:
    given = [(option, path) for option, path in (("jsonl", args.jsonl), ("smiles", args.smiles), ("sdf", args.sdf)) if path]
    if len(given) + bool(args.files) > 1:
        parser.error("give one input: FILE arguments, --jsonl, --smiles or --sdf")
    if not given and not args.files:
        parser.error("nothing to do: give FILE arguments, --jsonl, --smiles or --sdf")
    if args.files:
        sources = cli._dot_sources(args.files, args.max_bytes)
        if sources is None:
            return None
        return _Input("", iter(sources), _dot_task, lambda p: sources[p - 1].name, "file", len(sources), None)
    option, path = given[0]
    opened = cli._open_input(path)
    if opened is None:
        return None
    name, stream = opened
    readers: dict[str, tuple[Callable[[IO[bytes], int], Iterator[Any]], Callable[[Settings, Any], Found], str]] = {
        "jsonl": (cli._jsonl_lines, _jsonl_task, "line"),
        "smiles": (cli._jsonl_lines, _smiles_task, "line"),
        "sdf": (_sdf_records, _sdf_task, "record"),
    }
    split, worker, place = readers[option]
    locate = (lambda n: f"{name}: record {n}") if place == "record" else (lambda n: f"{name}:{n}")
    return _Input(name, split(stream, args.max_bytes), worker, locate, place, cli._regular_file_size(stream), stream)


def _chunk_work(source: _Input, settings: Settings) -> Optional[ChunkWork]:
    """The chunk road of JSON lines, where a record's keys are its text alone (without
    verification); None for the other inputs, which go record by record."""
    if source.worker is not _jsonl_task or settings.verify:
        return None
    engine_call = chunk_call("text", settings.text_options())
    return None if engine_call is None else functools.partial(_jsonl_chunk, settings, engine_call)


def _line(value: dict[str, Any]) -> bytes:
    return json.dumps(value, ensure_ascii=False).encode("utf-8") + b"\n"


def run(args: argparse.Namespace, parser: argparse.ArgumentParser) -> int:
    source = _open_input(args, parser)
    if source is None:
        return cli._FAILURE_EXIT
    out = sys.stdout.buffer
    progress = cli.Progress(source.total, cli._progress_wanted(args))
    start = time.monotonic()
    failures = 0
    with Grouper(verify=args.verify, verify_seconds=args.verify_seconds) as grouper:
        settings = Settings(
            args.allow_hashes, args.compress, args.compact, args.verify, args.id_key, grouper.has_text,
            max_memory=args.max_memory, timeout=args.timeout, max_bytes=args.max_bytes,
        )
        worker = functools.partial(source.worker, settings)
        try:
            for found in run_batch(worker, source.tasks, jobs=args.jobs, chunk_work=_chunk_work(source, settings)):
                if found.keys is None:
                    failures += 1
                    progress.clear()
                    cli._report(f"{source.locate(found.origin)}: {found.error}")
                    if args.per_record:
                        out.write(_line({"id": found.record_id, source.place: found.origin, "error": found.error}))
                else:
                    group = grouper.add(found.record_id, found.keys)
                    if args.per_record:
                        out.write(_line({"id": found.record_id, "group": group}))
                progress.update(grouper.records + failures, found.progress, failures)
        except OSError as error:
            if isinstance(error, BrokenPipeError):
                raise
            cli._report(f"{source.name}: cannot read: {error.strerror or error}")
            return cli._FAILURE_EXIT
        finally:
            if source.stream is not None:
                source.stream.close()
        progress.clear()
        if not args.per_record:
            for finished in grouper.groups():
                line: dict[str, Any] = {"group": finished.number, "text": finished.text, "members": finished.members}
                if args.verify:
                    line["unverified"] = finished.unverified
                out.write(_line(line))
        out.flush()
        if not args.quiet:
            sys.stderr.write(f"{cli.PROG}: {_summary(grouper, failures)}, {time.monotonic() - start:.2f} s\n")
    return cli._FAILURE_EXIT if failures else 0


def _summary(grouper: Grouper, failures: int) -> str:
    parts = [f"{grouper.records + failures} records", f"{grouper.group_count} groups", f"{failures} failed"]
    if grouper.verify:
        parts.append(f"{grouper.collisions} split off by verification, {grouper.unverified} unverified")
    return ", ".join(parts)
