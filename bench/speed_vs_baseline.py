"""Time this working tree against a baseline commit in the same run and report ratios of medians.

    python3 bench/speed_vs_baseline.py [--baseline 042c64d] [--work build/speed]
        [--sizes 10000,20000,50000,100000] [--baseline-cap-seconds 10] [--molecule-limit N]
        [--new-python PATH] [--baseline-python PATH] [--only FAMILY,...]

Builds the baseline commit (git archive into WORK/baseline-src, pip-installed into the venv
WORK/baseline-venv) and the working tree (pip-installed into WORK/new-venv) unless interpreters
that already have them are given, then measures both, family by family, each measurement in a
fresh child process of the interpreter concerned:

- the shared molecules (median µs of one to_cgraph_py and one canonical_node_order_py call);
- paths, random trees, random sparse graphs (average degree 2.4) and molecule-like graphs
  (rings, chains, branches; C/N/O/H) at --sizes, uniform and random labels: median seconds of
  to_cgraph_py (at least three calls, quick ones repeated until they add up to a second, at
  most 15), the growth per doubling of the size from each size to the next, and the peak
  memory of one call beside the memory of its input store; molecule-like graphs compact too;
- rings, ladders and 3-regular graphs (expanded, and ladders and 3-regular graphs compact too)
  and compact grids at growing sizes, with the exponent k of a log-log fit (time ~ size^k).

A call that fails (the guard limit, the memory budget) is timed up to its failure and its error
shown in the last column.

The baseline stops growing a family once one of its calls takes longer than
--baseline-cap-seconds (its cost grows with the square of the size on most families); those
sizes are marked "capped". Ratios are new / baseline. Prints numbers only; asserts nothing.
"""

from __future__ import annotations

import argparse
import gc
import json
import math
import os
import random
import resource
import statistics
import subprocess
import sys
import time
from pathlib import Path
from typing import Callable, Dict, List, Optional, Tuple

REPO = Path(__file__).resolve().parents[1]
DEFAULT_MOLECULES = REPO.parent / "shared" / "data" / "molecules.jsonl"

Nodes = List[Tuple[str, str]]
Edges = List[Tuple[str, str, str]]


# ---------------------------------------------------------------- graph families

def _nodes(n: int, rng: random.Random, random_labels: bool, labels: str = "CNOH") -> Nodes:
    return [(f"n{i}", rng.choice(labels) if random_labels else "C") for i in range(n)]


def path_graph(n, rng, random_labels):
    return _nodes(n, rng, random_labels), [(f"n{i}", f"n{i + 1}", "1") for i in range(n - 1)]


def tree_graph(n, rng, random_labels):
    return _nodes(n, rng, random_labels), [(f"n{rng.randrange(i)}", f"n{i}", "1") for i in range(1, n)]


def sparse_graph(n, rng, random_labels):
    # A random tree plus n/5 more edges: average degree 2.4.
    nodes, edges = tree_graph(n, rng, random_labels)
    added = 0
    while added < n // 5:
        a, b = rng.randrange(n), rng.randrange(n)
        if a != b:
            edges.append((f"n{a}", f"n{b}", "1"))
            added += 1
    return nodes, edges


def molecule_like_graph(n, rng, random_labels):
    """Chains and branches of heavy atoms with a 5- or 6-ring now and then, hydrogens to fill."""
    heavy = max(int(n * 0.6), 2)
    labels = [rng.choice("CCCNO") if random_labels else "C" for _ in range(heavy)]
    edges: Edges = []
    degree = [0] * heavy
    i = 1
    while i < heavy:
        if rng.random() < 0.08 and i + 6 <= heavy:
            size = rng.choice((5, 6))
            anchor = rng.randrange(max(i - 3, 0), i)
            ring = list(range(i, i + size))
            edges.append((f"n{anchor}", f"n{ring[0]}", "1"))
            degree[anchor] += 1
            for a, b in zip(ring, ring[1:] + ring[:1]):
                edges.append((f"n{a}", f"n{b}", rng.choice("12") if random_labels else "1"))
                degree[a] += 1
                degree[b] += 1
            i += size
        else:
            parent = i - 1 if rng.random() < 0.8 else rng.randrange(max(i - 4, 0), i)
            edges.append((f"n{parent}", f"n{i}", "1"))
            degree[parent] += 1
            degree[i] += 1
            i += 1
    nodes = [(f"n{k}", labels[k]) for k in range(heavy)]
    hydrogens = 0
    for k in range(heavy):
        for _ in range(max(0, 4 - degree[k] if labels[k] == "C" else 0)):
            if heavy + hydrogens >= n:
                break
            h = f"n{heavy + hydrogens}"
            nodes.append((h, "H"))
            edges.append((f"n{k}", h, "1"))
            hydrogens += 1
    return nodes, edges


def ring_graph(n, rng, random_labels):
    return _nodes(n, rng, random_labels), [(f"n{i}", f"n{(i + 1) % n}", "1") for i in range(n)]


def ladder_graph(n, rng, random_labels):
    half = max(n // 2, 2)
    edges = [(f"n{i}", f"n{half + i}", "1") for i in range(half)]
    edges += [(f"n{s + i}", f"n{s + i + 1}", "1") for s in (0, half) for i in range(half - 1)]
    return _nodes(2 * half, rng, random_labels), edges


def cubic_graph(n, rng, random_labels):
    # A random 3-regular graph by the pairing model (n even), retried until simple.
    n += n % 2
    while True:
        points = [v for v in range(n) for _ in range(3)]
        rng.shuffle(points)
        pairs = {tuple(sorted(points[k:k + 2])) for k in range(0, len(points), 2)}
        if len(pairs) == len(points) // 2 and all(a != b for a, b in pairs):
            return _nodes(n, rng, random_labels), [(f"n{a}", f"n{b}", "1") for a, b in sorted(pairs)]


def grid_graph(n, rng, random_labels):
    side = max(int(round(n ** 0.5)), 2)
    edges = [(f"n{r * side + c}", f"n{r * side + c + 1}", "1") for r in range(side) for c in range(side - 1)]
    edges += [(f"n{r * side + c}", f"n{(r + 1) * side + c}", "1") for r in range(side - 1) for c in range(side)]
    return _nodes(side * side, rng, random_labels), edges


FAMILIES: Dict[str, Callable] = {
    "path": path_graph, "tree": tree_graph, "sparse": sparse_graph, "molecule-like": molecule_like_graph,
    "ring": ring_graph, "ladder": ladder_graph, "3-regular": cubic_graph, "grid": grid_graph,
}


# ---------------------------------------------------------------- the worker (runs under either build)

def _rss_kib(field: str) -> int:
    with open("/proc/self/status", encoding="ascii") as status:
        for line in status:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    return 0


def _reset_peak() -> bool:
    try:
        with open("/proc/self/clear_refs", "w", encoding="ascii") as clear:
            clear.write("5")
        return True
    except OSError:
        return False


def _call_once(quorl, graph, kind: str, compact: bool):
    if kind == "text":
        return quorl.to_cgraph_py(graph, None, None, None, None, compact)
    return quorl.canonical_node_order_py(graph, None, None, None, compact)


def worker(job: dict) -> dict:
    """Time one family at one size, or the molecules, in this process; report medians and memory."""
    import _quorl
    compact = job.get("compact", False)
    if job["family"] == "molecules":
        graphs = []
        with open(job["molecules"], encoding="utf-8") as stream:
            for index, line in enumerate(stream):
                if index == job["limit"]:
                    break
                record = json.loads(line)
                graphs.append(_quorl.graph_from_edges([tuple(x) for x in record["nodes"]],
                                                      [tuple(x) for x in record["edges"]]))
        result = {}
        for kind in ("text", "order"):
            times = []
            for graph in graphs:
                start = time.perf_counter_ns()
                _call_once(_quorl, graph, kind, compact)
                times.append(time.perf_counter_ns() - start)
            result[kind] = statistics.median(times) / 1e9
        return result

    nodes, edges = FAMILIES[job["family"]](job["size"], random.Random(job["seed"]), job["random_labels"])
    gc.collect()
    before = _rss_kib("VmRSS")
    graph = _quorl.graph_from_edges(nodes, edges)
    store_kib = _rss_kib("VmRSS") - before
    del nodes, edges
    gc.collect()
    result = {"store_kib": store_kib, "error": None}
    for kind in job["kinds"]:
        times = []
        peak_kib = 0
        # Quick calls are repeated until they add up to a second (at most 15
        # times): a median of three calls of a few milliseconds on a shared
        # machine is too noisy to tell one doubling from the next.
        while len(times) < job["repeats"] or (sum(times) < 1.0 and len(times) < 15):
            resting = _rss_kib("VmRSS")
            measured = _reset_peak()
            start = time.perf_counter()
            try:
                _call_once(_quorl, graph, kind, compact)
            except (ValueError, MemoryError) as error:
                result["error"] = f"{type(error).__name__}: {error}"
            times.append(time.perf_counter() - start)
            if measured:
                peak_kib = max(peak_kib, _rss_kib("VmHWM") - resting)
            if times[-1] > job["cap_seconds"]:
                break
        result[kind] = statistics.median(times)
        result[kind + "_peak_kib"] = peak_kib
    return result


# ---------------------------------------------------------------- driver

def run(python: str, job: dict, timeout: float) -> Optional[dict]:
    try:
        done = subprocess.run([python, __file__, "--worker"], input=json.dumps(job), capture_output=True,
                              text=True, timeout=timeout, check=True)
    except subprocess.TimeoutExpired:
        return None
    except subprocess.CalledProcessError as failure:
        print(failure.stderr, file=sys.stderr)
        return None
    return json.loads(done.stdout)


def build_venv(venv: Path, source: Path) -> str:
    python = venv / "bin" / "python"
    if not python.exists():
        subprocess.run([sys.executable, "-m", "venv", "--system-site-packages", str(venv)], check=True)
    subprocess.run([str(python), "-m", "pip", "install", "-q", "--no-build-isolation", "--force-reinstall",
                    "--no-deps", str(source)], check=True, env={**os.environ, "CMAKE_BUILD_PARALLEL_LEVEL": "2"})
    return str(python)


def prepare(args) -> Tuple[str, str]:
    work = Path(args.work).resolve()
    work.mkdir(parents=True, exist_ok=True)
    baseline = args.baseline_python
    if baseline is None:
        source = work / f"baseline-src-{args.baseline}"
        if not source.exists():
            source.mkdir()
            archive = subprocess.run(["git", "-C", str(REPO), "archive", args.baseline], check=True,
                                     capture_output=True).stdout
            subprocess.run(["tar", "-x", "-C", str(source)], input=archive, check=True)
        venv = work / f"baseline-venv-{args.baseline}"
        baseline = str(venv / "bin" / "python") if (venv / "built").exists() else build_venv(venv, source)
        (venv / "built").touch()
    new = args.new_python or build_venv(work / "new-venv", REPO)
    return baseline, new


def per_doubling(size: int, seconds: float, previous_size: int, previous_seconds: float) -> float:
    """The factor by which the time grows when the size doubles, between two measured sizes."""
    return 2 ** (math.log(seconds / previous_seconds) / math.log(size / previous_size))


def loglog_exponent(points: List[Tuple[int, float]]) -> Optional[float]:
    """Least-squares slope of log(time) on log(size): the k of time ~ size^k."""
    if len(points) < 2:
        return None
    xs = [math.log(size) for size, _ in points]
    ys = [math.log(seconds) for _, seconds in points]
    mean_x, mean_y = statistics.fmean(xs), statistics.fmean(ys)
    return (sum((x - mean_x) * (y - mean_y) for x, y in zip(xs, ys)) /
            sum((x - mean_x) ** 2 for x in xs))


def fmt_seconds(value: Optional[float]) -> str:
    if value is None:
        return "-"
    return f"{value * 1e6:.1f}µs" if value < 1e-3 else (f"{value * 1e3:.1f}ms" if value < 1 else f"{value:.2f}s")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--worker", action="store_true", help=argparse.SUPPRESS)
    parser.add_argument("--baseline", default="042c64d")
    parser.add_argument("--work", default=str(REPO / "build" / "speed"))
    parser.add_argument("--baseline-python")
    parser.add_argument("--new-python")
    parser.add_argument("--molecules", default=str(DEFAULT_MOLECULES))
    parser.add_argument("--molecule-limit", type=int, default=-1)
    parser.add_argument("--sizes", default="10000,20000,50000,100000")
    parser.add_argument("--baseline-cap-seconds", type=float, default=10.0)
    parser.add_argument("--new-cap-seconds", type=float, default=60.0)
    parser.add_argument("--only", default="", help="comma-separated families (molecules included by name)")
    args = parser.parse_args()
    if args.worker:
        print(json.dumps(worker(json.loads(sys.stdin.read()))))
        return

    baseline, new = prepare(args)
    only = set(filter(None, args.only.split(",")))
    wanted = lambda name: not only or name in only  # noqa: E731
    print(f"baseline {args.baseline}: {baseline}\nnew: {new}\n", flush=True)

    if wanted("molecules"):
        job = {"family": "molecules", "molecules": args.molecules, "limit": args.molecule_limit}
        old, now = run(baseline, job, 3600), run(new, job, 3600)
        for kind in ("text", "order"):
            print(f"molecules {kind:<5} median per call: baseline {fmt_seconds(old[kind])}  "
                  f"new {fmt_seconds(now[kind])}  ratio {now[kind] / old[kind]:.3f}", flush=True)
        print()

    big = [int(size) for size in args.sizes.split(",")]
    plans = [(name, big, False, ("text", "order")) for name in ("path", "tree", "sparse", "molecule-like")]
    # Expanded, molecule-like graphs reach the memory budget by 20,000 nodes.
    plans += [("molecule-like", big, True, ("text", "order"))]
    # Expanded resolution copies the region below every join once per edge
    # up: on ladders and 3-regular graphs the text itself grows exponentially.
    plans += [("ring", [256, 512, 1024, 2048, 4096], False, ("text",)),
              ("ladder", [16, 32, 64, 128, 256], False, ("text",)),
              ("ladder", [64, 128, 256, 512, 1024], True, ("text",)),
              ("3-regular", [16, 24, 32, 48, 64], False, ("text",)),
              ("3-regular", [64, 128, 256, 512, 1024], True, ("text",)),
              ("grid", [size * size for size in (10, 20, 30, 40, 60)], True, ("text",))]
    header = (f"{'family':<22}{'size':>8}{'baseline':>11}{'new':>11}{'ratio':>8}{'x/dbl':>8}"
              f"{'order new':>11}{'peak/store':>11}  note")
    for name, sizes, compact, kinds in plans:
        if not wanted(name):
            continue
        print(header)
        for random_labels in (False, True):
            label = f"{name}{' compact' if compact else ''} {'random' if random_labels else 'uniform'}"
            baseline_capped = False
            previous = None
            measured: List[Tuple[int, float]] = []
            for size in sizes:
                job = {"family": name, "size": size, "seed": size, "random_labels": random_labels,
                       "compact": compact, "kinds": list(kinds), "repeats": 3}
                old = None
                if not baseline_capped:
                    old = run(baseline, {**job, "kinds": ["text"], "cap_seconds": args.baseline_cap_seconds},
                              args.baseline_cap_seconds * 4 + 60)
                    if old is None or old["text"] > args.baseline_cap_seconds:
                        baseline_capped = True
                now = run(new, {**job, "cap_seconds": args.new_cap_seconds}, args.new_cap_seconds * 8 + 60)
                if now is None:
                    print(f"{label:<22}{size:>8}  new: no result within the time limit", flush=True)
                    break
                ratio = f"{now['text'] / old['text']:.4f}" if old else "capped"
                growth = f"{per_doubling(size, now['text'], *previous):.2f}" if previous else ""
                peak = f"{now['text_peak_kib'] / max(now['store_kib'], 1):.2f}" if now.get("text_peak_kib") else "-"
                note = f"error: {now['error']}" if now["error"] else ""
                print(f"{label:<22}{size:>8}{fmt_seconds(old['text'] if old else None):>11}"
                      f"{fmt_seconds(now['text']):>11}{ratio:>8}{growth:>8}"
                      f"{fmt_seconds(now.get('order')):>11}{peak:>11}  {note}", flush=True)
                # A failed call's time says how fast it fails, not how the family grows.
                previous = None if now["error"] else (size, now["text"])
                if previous:
                    measured.append(previous)
            exponent = loglog_exponent(measured)
            if exponent is not None and len(sizes) > 4:
                print(f"{label:<22} log-log fit over the sizes that succeeded: time ~ size^{exponent:.2f}",
                      flush=True)
        print()


if __name__ == "__main__":
    main()
