"""Records every output of _quorl on a fixed set of inputs, to prove a change leaves them byte for byte.

    python tools/output_snapshot.py record OUT.jsonl [--quick]
    python tools/output_snapshot.py compare A.jsonl B.jsonl

`record` runs the installed `_quorl` (run it once with the old build's interpreter, once with the
new one) over: the shared molecules under the 8 flag sets for texts and the 4 for node orders;
paths, rings, ladders, grids, 3-regular, random sparse and molecule-like graphs at several sizes,
with uniform and random labels; random multigraphs with self-loops, parallel edges, several
components, generated-looking ids and heavy ties; the guard limit on both sides of it; and the
trace lines (QUORL_TRACE=1, QUORL_TRACE_MAGNET=1) of a subset, written by child processes.
Each line is one case: its name and the output (or the exception's type and message), long
outputs as their SHA-256. `compare` lists the cases whose outputs differ.
"""

from __future__ import annotations

import argparse
import hashlib
import json
import os
import random
import resource
import subprocess
import sys
from pathlib import Path

import _quorl

MOLECULES = Path(__file__).resolve().parent.parent.parent / "shared" / "data" / "molecules.jsonl"
TEXT_FLAGS = [(h, c, k) for h in (True, False) for c in (True, False) for k in (True, False)]
ORDER_FLAGS = [(h, k) for h in (True, False) for k in (True, False)]
LABELS = ["C", "C", "C", "N", "O", "H"]


def digest(value: object) -> object:
    text = json.dumps(value, ensure_ascii=False)
    if len(text) <= 2000:
        return value
    return {"sha256": hashlib.sha256(text.encode("utf-8", "surrogatepass")).hexdigest(), "length": len(text)}


def outcome(call) -> object:
    try:
        result = call()
    except Exception as error:  # the exact type and message are part of the output
        return {"error": type(error).__name__, "message": str(error)}
    return digest(result.as_str() if isinstance(result, _quorl.PyCGraph) else result)


def all_flag_outputs(graph, text_flags=TEXT_FLAGS, order_flags=ORDER_FLAGS) -> dict[str, object]:
    out = {}
    for h, c, k in text_flags:
        out[f"text h{int(h)}c{int(c)}k{int(k)}"] = outcome(lambda: _quorl.to_cgraph_py(graph, None, None, h, c, k))
    for h, k in order_flags:
        out[f"order h{int(h)}k{int(k)}"] = outcome(
            lambda: _quorl.canonical_node_order_py(graph, None, None, h, k)
        )
    return out


def labelled(nodes: list[str], rng: random.Random | None) -> list[tuple[str, str]]:
    return [(n, rng.choice(LABELS) if rng else "C") for n in nodes]


def path(n: int) -> list[tuple[str, str, str]]:
    return [(f"p{i}", f"p{i + 1}", "1") for i in range(n - 1)]


def ring(n: int) -> list[tuple[str, str, str]]:
    return [(f"r{i}", f"r{(i + 1) % n}", "1") for i in range(n)]


def ladder(n: int) -> list[tuple[str, str, str]]:
    edges = [(f"a{i}", f"b{i}", "1") for i in range(n)]
    edges += [(f"{s}{i}", f"{s}{i + 1}", "1") for s in "ab" for i in range(n - 1)]
    return edges


def grid(side: int) -> list[tuple[str, str, str]]:
    edges = [(f"{r}_{c}", f"{r}_{c + 1}", "1") for r in range(side) for c in range(side - 1)]
    edges += [(f"{r}_{c}", f"{r + 1}_{c}", "1") for r in range(side - 1) for c in range(side)]
    return edges


def cubic(n: int, seed: int) -> list[tuple[str, str, str]]:
    """A ring with chords pairing its nodes at random: every node has degree 3."""
    rng = random.Random(seed)
    order = list(range(n))
    rng.shuffle(order)
    edges = ring(n)
    edges += [(f"r{order[i]}", f"r{order[i + 1]}", "1") for i in range(0, n, 2)]
    return edges


def random_sparse(n: int, seed: int) -> list[tuple[str, str, str]]:
    rng = random.Random(seed)
    edges = [(f"s{rng.randrange(i)}", f"s{i}", "1") for i in range(1, n)]
    edges += [(f"s{rng.randrange(n)}", f"s{rng.randrange(n)}", "1") for _ in range(n // 5)]
    return edges


def molecule_like(n: int, seed: int) -> list[tuple[str, str, str]]:
    """Chains, branches and small rings."""
    rng = random.Random(seed)
    edges = []
    for i in range(1, n):
        edges.append((f"m{rng.randrange(max(0, i - 4), i)}", f"m{i}", rng.choice("1112")))
        if i >= 5 and rng.random() < 0.12:
            edges.append((f"m{i}", f"m{i - rng.randrange(4, 6)}", "1"))
    return edges


def random_multigraph(rng: random.Random, hostile: bool) -> tuple[list, list]:
    n = rng.randrange(1, 13)
    pool = ["a", "b", "c", "x@1", "#m0_0", "*v0", "e1", "n_main", "é", "\x7f"] if hostile else []
    ids = [pool[i] if i < len(pool) and rng.random() < 0.5 else f"v{i}" for i in range(n)]
    ids = list(dict.fromkeys(ids))
    labels = ["C", "C", "N", "", "é"] if rng.random() < 0.5 else ["C"]
    nodes = [(i, rng.choice(labels)) for i in ids if rng.random() < 0.8]
    edges = []
    for _ in range(rng.randrange(0, 3 * len(ids) + 1)):
        a = rng.choice(ids)
        b = a if rng.random() < 0.1 else rng.choice(ids)
        edges.append((a, b, rng.choice(["1", "1", "2", "10"])))
        if rng.random() < 0.15:
            edges.append((a, b, edges[-1][2]))
    return nodes, edges


def family_cases(quick: bool):
    sizes = {
        "path": ([3, 16, 100, 400] if quick else [3, 16, 100, 400, 1500], path),
        "ring": ([3, 4, 16, 64] if quick else [3, 4, 5, 16, 64, 200], ring),
        "ladder": ([1, 2, 5, 12] if quick else [1, 2, 3, 5, 8, 12, 20, 32], ladder),
        "grid": ([2, 3, 4] if quick else [2, 3, 4, 5, 6], grid),
        "cubic": ([8, 16] if quick else [8, 16, 32, 64], lambda n: cubic(n, n)),
        "sparse": ([30, 200] if quick else [30, 200, 1000, 3000], lambda n: random_sparse(n, n)),
        "molecule_like": ([30, 200] if quick else [30, 200, 1000, 3000], lambda n: molecule_like(n, n)),
    }
    for name, (ns, make) in sizes.items():
        for n in ns:
            edges = make(n)
            ids = list(dict.fromkeys(x for e in edges for x in e[:2]))
            for label_kind, rng in (("uniform", None), ("random", random.Random(n))):
                nodes = labelled(ids, rng)
                big = len(ids) > 300 or (name in ("grid", "ladder", "cubic") and n > 8)
                text_flags = [(True, True, True), (True, True, False)] if big else TEXT_FLAGS
                order_flags = [(True, True), (True, False)] if big else ORDER_FLAGS
                if name == "molecule_like" and n >= 1000:  # expanded fused rings grow exponentially
                    text_flags = [(True, True, True), (False, False, True)]
                    order_flags = [(True, True)]
                if name == "grid" and n >= 5:  # expanded grids grow exponentially
                    text_flags = [(True, True, True), (False, False, True)] + ([(True, True, False)] if n == 5 else [])
                    order_flags = [(True, True)]
                yield f"{name} {n} {label_kind}", nodes, edges, text_flags, order_flags


def guard_cases():
    # A hub joined to every node of a path: each path edge is cobound on floor 1
    # and costs one pass, so 10000 edges pass and 10001 trip the guard.
    for path_edges in (10000, 10001):
        edges = [("hub", f"f{i}", "1") for i in range(path_edges + 1)]
        edges += [(f"f{i}", f"f{i + 1}", "1") for i in range(path_edges)]
        yield f"guard {path_edges}", [], edges


def record(out_path: str, quick: bool) -> None:
    with open(out_path, "w", encoding="utf-8") as out:

        def write(case: str, outputs: dict[str, object]) -> None:
            out.write(json.dumps({"case": case, "outputs": outputs}, ensure_ascii=False) + "\n")

        with open(MOLECULES, encoding="utf-8") as lines:
            for number, line in enumerate(lines):
                if quick and number >= 300:
                    break
                record_ = json.loads(line)
                graph = _quorl.graph_from_edges(
                    [tuple(n) for n in record_["nodes"]], [tuple(e) for e in record_["edges"]]
                )
                write(f"molecule {number}", all_flag_outputs(graph))
        for case, nodes, edges, text_flags, order_flags in family_cases(quick):
            write(case, all_flag_outputs(_quorl.graph_from_edges(nodes, edges), text_flags, order_flags))
        rng = random.Random(10)
        for number in range(400):
            nodes, edges = random_multigraph(rng, hostile=number % 4 == 3)
            kind = "hostile" if number % 4 == 3 else "multigraph"
            write(f"{kind} {number}", all_flag_outputs(_quorl.graph_from_edges(nodes, edges)))
        for case, nodes, edges in guard_cases():
            graph = _quorl.graph_from_edges(nodes, edges)
            write(case, all_flag_outputs(graph, [(True, True, True), (True, True, False)], [(True, True)]))
        for case, outputs in trace_outputs(quick):
            write(case, outputs)


TRACE_CHILD = """
import json, sys, _quorl
nodes, edges, flags, kind = json.loads(sys.stdin.read())
graph = _quorl.graph_from_edges([tuple(n) for n in nodes], [tuple(e) for e in edges])
if kind == "text":
    print("RESULT", _quorl.to_cgraph_py(graph, None, None, *flags).as_str(), flush=True)
else:
    print("RESULT", _quorl.canonical_node_order_py(graph, None, None, *flags), flush=True)
"""


def trace_outputs(quick: bool):
    env = dict(os.environ, QUORL_TRACE="1", QUORL_TRACE_MAGNET="1")
    cases = []
    with open(MOLECULES, encoding="utf-8") as lines:
        for number, line in enumerate(lines):
            if number >= (10 if quick else 40):
                break
            record_ = json.loads(line)
            cases.append((f"molecule {number}", record_["nodes"], record_["edges"]))
    for case, nodes, edges, _, _ in family_cases(True):
        if len(edges) <= 200:
            cases.append((case, nodes, edges))
    rng = random.Random(11)
    for number in range(20 if quick else 60):
        nodes, edges = random_multigraph(rng, hostile=False)
        cases.append((f"multigraph {number}", nodes, edges))
    for case, nodes, edges in cases:
        outputs = {}
        for kind, flags in (("text", [True, True, False]), ("text", [False, False, True]), ("order", [True, False])):
            child = subprocess.run(
                [sys.executable, "-c", TRACE_CHILD],
                input=json.dumps([nodes, edges, flags, kind]),
                capture_output=True,
                text=True,
                env=env,
            )
            outputs[f"trace {kind} {flags}"] = digest({"stdout": child.stdout, "stderr_empty": not child.stderr})
        yield f"trace {case}", outputs


def compare(a_path: str, b_path: str) -> int:
    def load(path: str) -> dict[str, dict]:
        with open(path, encoding="utf-8") as lines:
            return {row["case"]: row["outputs"] for row in map(json.loads, lines)}

    a, b = load(a_path), load(b_path)
    differing = [case for case in a if a[case] != b.get(case)]
    missing = [case for case in b if case not in a]
    for case in differing[:20]:
        keys = [k for k in a[case] if a[case][k] != (b.get(case) or {}).get(k)]
        print(f"differs: {case}: {keys}")
    print(f"{len(a)} cases, {len(differing)} differ, {len(missing)} only in the second")
    return 1 if differing or missing else 0


def main() -> int:
    parser = argparse.ArgumentParser()
    commands = parser.add_subparsers(dest="command", required=True)
    rec = commands.add_parser("record")
    rec.add_argument("out")
    rec.add_argument("--quick", action="store_true")
    cmp_ = commands.add_parser("compare")
    cmp_.add_argument("a")
    cmp_.add_argument("b")
    args = parser.parse_args()
    if args.command == "record":
        # A case that outgrows this is a mistake in the case list; fail it
        # rather than the machine.
        resource.setrlimit(resource.RLIMIT_AS, (6 << 30, 6 << 30))
        record(args.out, args.quick)
        return 0
    return compare(args.a, args.b)


if __name__ == "__main__":
    sys.exit(main())
