"""Record every output of one build of _quorl, to compare two builds byte for byte.

    python bench/record_outputs.py OUT.jsonl [--molecules FILE] [--limit N]
    python bench/record_outputs.py OUT.trace --trace [--limit N]

Run it once with the interpreter of each build (for instance the baseline's venv and the
working tree's) and compare the two files with cmp. Without --trace it writes one JSON line per
graph: the to_cgraph_py text under all eight combinations of allow_hashes, compress and compact,
and the canonical_node_order_py order under all four, an error written as its type and message.
The graphs are the shared molecules and the bench families at a few sizes. With --trace it
writes what QUORL_TRACE=1 prints for the same calls (default: the first 300 molecules), each
call's lines after a marker line.
"""

from __future__ import annotations

import argparse
import itertools
import json
import os
import random
import subprocess
import sys
from pathlib import Path
from typing import Iterator, List, Tuple

import _quorl

REPO = Path(__file__).resolve().parents[1]
DEFAULT_MOLECULES = REPO.parent / "shared" / "data" / "molecules.jsonl"
Graph = Tuple[List[Tuple[str, str]], List[Tuple[str, str, str]]]


def molecules(path: Path, limit: int) -> Iterator[Tuple[str, Graph]]:
    with path.open(encoding="utf-8") as stream:
        for index, line in enumerate(stream):
            if index == limit:
                return
            record = json.loads(line)
            yield f"molecule {index}", ([tuple(n) for n in record["nodes"]], [tuple(e) for e in record["edges"]])


def families() -> Iterator[Tuple[str, Graph]]:
    rng = random.Random(10)
    for size in (5, 12, 30, 80):
        for labels in ("C", "CNOH"):
            nodes = [(f"n{i}", rng.choice(labels)) for i in range(size)]
            path = [(f"n{i}", f"n{i + 1}", "1") for i in range(size - 1)]
            tree = [(f"n{rng.randrange(i)}", f"n{i}", rng.choice("12")) for i in range(1, size)]
            ring = path + [(f"n{size - 1}", "n0", "1")]
            sparse = tree + [(f"n{a}", f"n{b}", "1") for a, b in (rng.sample(range(size), 2) for _ in range(size // 5))]
            for name, edges in (("path", path), ("tree", tree), ("ring", ring), ("sparse", sparse)):
                yield f"{name} {size} {labels}", (nodes, edges)


def outcome(call) -> object:
    try:
        return call()
    except Exception as error:  # every error is part of the output
        return f"{type(error).__name__}: {error}"


def record(name: str, graph: Graph, expanded: bool) -> dict:
    built = _quorl.graph_from_edges(*graph)
    texts = {}
    orders = {}
    for compact, hashes in itertools.product((True, False), repeat=2):
        if not compact and not expanded:
            continue
        for compress in (True, False):
            texts[f"{compact} {hashes} {compress}"] = outcome(
                lambda: _quorl.to_cgraph_py(built, None, None, hashes, compress, compact).as_str())
        orders[f"{compact} {hashes}"] = outcome(
            lambda: _quorl.canonical_node_order_py(built, None, None, hashes, compact))
    return {"graph": name, "texts": texts, "orders": orders}


def all_graphs(args) -> Iterator[Tuple[str, Graph, bool]]:
    for name, graph in molecules(args.molecules, args.limit):
        yield name, graph, True
    if not args.trace:
        for name, graph in families():
            # Expanded resolution of the larger cyclic graphs takes too long to record.
            yield name, graph, not name.startswith(("ring 80", "sparse 80", "sparse 30"))


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("out", type=Path)
    parser.add_argument("--molecules", type=Path, default=DEFAULT_MOLECULES)
    parser.add_argument("--limit", type=int, default=None, help="molecules to use (default all; 300 with --trace)")
    parser.add_argument("--trace", action="store_true", help="record the trace lines instead")
    parser.add_argument("--trace-child", action="store_true", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.limit is None:
        args.limit = 300 if args.trace or args.trace_child else -1

    if args.trace:
        # The trace goes to standard output from native code: a child process
        # with the switch on writes it, with a marker line before every call.
        with args.out.open("wb") as out:
            command = [sys.executable, __file__, os.devnull, "--trace-child", "--limit", str(args.limit),
                       "--molecules", str(args.molecules)]
            subprocess.run(command, stdout=out, check=True, env={**os.environ, "QUORL_TRACE": "1"})
        return
    with args.out.open("w", encoding="utf-8") as out:
        for name, graph, expanded in all_graphs(args):
            if args.trace_child:
                os.write(1, f"== {name}\n".encode())
                record(name, graph, expanded)
            else:
                out.write(json.dumps(record(name, graph, expanded), ensure_ascii=False) + "\n")


if __name__ == "__main__":
    main()
