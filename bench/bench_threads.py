"""Throughput of many graphs at once: threads, the batch API and Dask.

    python3 bench/bench_threads.py [MOLECULES.jsonl] [--repeats 5] [--no-dask]

On the shared molecules (default: ../shared/data/molecules.jsonl next to the repository),
given as (nodes, edges) pairs of JSON lists, it times in turns, `--repeats` times each:

- a plain loop of `quorl.canonical_text`,
- `quorl.canonical_texts` with jobs=1 and with jobs=2,
- `quorl.dask.texts_of_bag` on a local cluster of 2 worker processes (1 thread each; the
  cluster is started and warmed up before timing),

and prints per configuration the median wall time, graphs per second, the median CPU time
of this process (of the workers for Dask) and the ratio to the plain loop's wall time.
The configurations alternate within each round, so a machine whose load changes affects
all alike. On a loaded machine more threads also win a larger share of the cores, so it
prints as well what bounds two threads on two idle cores: the share of a plain loop's CPU
time spent holding the interpreter lock (all but the engine's work and the store build:
Python calls, reading the input's texts) and the speed-up that share allows by Amdahl's
law. Then the batch API's cost per item: on graphs of one node, where the engine does next
to nothing, the extra CPU time per item of `canonical_texts` over the plain loop.
Prints numbers only; asserts nothing.
"""

from __future__ import annotations

import argparse
import json
import logging
import statistics
import time
from pathlib import Path
from typing import Any, Callable, Dict, List, Tuple

import _quorl
import quorl

REPO = Path(__file__).resolve().parents[1]
DEFAULT_MOLECULES = REPO.parent / "shared" / "data" / "molecules.jsonl"
TINY_GRAPHS = 50_000


def load_pairs(path: Path) -> List[Tuple[list, list]]:
    with path.open(encoding="utf-8") as stream:
        return [(record["nodes"], record["edges"]) for record in map(json.loads, stream)]


def timed(run: Callable[[], Any], cpu: Callable[[], float] = time.process_time) -> Tuple[float, float]:
    cpu_start, wall_start = cpu(), time.perf_counter()
    run()
    return time.perf_counter() - wall_start, cpu() - cpu_start


def dask_runner(pairs: List[Tuple[list, list]]) -> Tuple[Callable[[], Any], Callable[[], float], Callable[[], None]]:
    """A run over the cluster, the summed CPU time of its workers, and the cluster's shutdown."""
    import dask.bag
    import distributed

    import quorl.dask

    cluster = distributed.LocalCluster(
        n_workers=2, threads_per_worker=1, processes=True, dashboard_address=":0", silence_logs=logging.CRITICAL
    )
    client = distributed.Client(cluster)
    # The records live on the workers, as a dataset read there would; only texts come back.
    bag = dask.bag.from_sequence(pairs, npartitions=8).persist()
    distributed.wait(bag)

    def run() -> Any:
        return quorl.dask.texts_of_bag(bag).compute()

    def worker_cpu() -> float:
        return sum(client.run(time.process_time).values())

    def close() -> None:
        client.close()
        cluster.close()

    run()  # imports and first calls on the workers
    return run, worker_cpu, close


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("molecules", nargs="?", type=Path, default=DEFAULT_MOLECULES)
    parser.add_argument("--repeats", type=int, default=5)
    parser.add_argument("--no-dask", action="store_true", help="leave out the Dask configuration")
    args = parser.parse_args()

    pairs = load_pairs(args.molecules)
    expected = [quorl.canonical_text(pair) for pair in pairs]
    runs: Dict[str, Tuple[Callable[[], Any], Callable[[], float]]] = {
        "plain loop": (lambda: [quorl.canonical_text(pair) for pair in pairs], time.process_time),
        "batch, 1 thread": (lambda: list(quorl.canonical_texts(pairs, jobs=1)), time.process_time),
        "batch, 2 threads": (lambda: list(quorl.canonical_texts(pairs, jobs=2)), time.process_time),
    }
    close = None
    if not args.no_dask:
        dask_run, dask_cpu, close = dask_runner(pairs)
        runs["dask, 2 workers"] = (dask_run, dask_cpu)
    for name, (run, _) in runs.items():
        assert run() == expected, f"{name} gave other texts"

    times: Dict[str, List[Tuple[float, float]]] = {name: [] for name in runs}
    for _ in range(args.repeats):
        for name, (run, cpu) in runs.items():
            times[name].append(timed(run, cpu))
    if close is not None:
        close()

    print(f"{len(pairs)} molecules, {args.repeats} rounds; medians")
    print(f"{'configuration':<20}{'wall s':>9}{'graphs/s':>11}{'CPU s':>9}{'vs loop':>9}")
    loop_wall = statistics.median(wall for wall, _ in times["plain loop"])
    for name, measured in times.items():
        wall = statistics.median(w for w, _ in measured)
        cpu = statistics.median(c for _, c in measured)
        print(f"{name:<20}{wall:>9.2f}{len(pairs) / wall:>11.0f}{cpu:>9.2f}{loop_wall / wall:>8.2f}x")

    # Lock-free: the engine's canonisation and the store build of _graph_from_rows (whose
    # reading of the texts, a few µs, holds the lock: the share below is a slight underestimate).
    # Timed molecule by molecule as the plain loop meets them, each store canonised just after
    # it is built: canonised after all are built, the stores have left the caches.
    def lock_free_seconds() -> float:
        free = 0.0
        for pair in pairs:
            start = time.perf_counter()
            graph = _quorl._graph_from_rows(*pair)
            _quorl._to_cgraph_limited(graph, None, None, True, True, False, None, None)
            free += time.perf_counter() - start
        return free

    engine_cpu = statistics.median(lock_free_seconds() for _ in range(args.repeats))
    loop_cpu = statistics.median(c for _, c in times["plain loop"])
    held = max(0.0, 1 - engine_cpu / loop_cpu)
    print(
        f"\nlock held for about {held:.1%} of a plain loop's CPU time ({(loop_cpu - engine_cpu) * 1e6 / len(pairs):.1f} µs "
        f"of {loop_cpu * 1e6 / len(pairs):.1f} µs per molecule): 2 threads on 2 idle cores reach at most "
        f"{1 / (held + (1 - held) / 2):.2f}x by Amdahl's law"
    )

    tiny = [([("a", "C")], [])] * TINY_GRAPHS
    overhead: Dict[str, List[float]] = {"plain loop": [], "batch, 1 thread": [], "batch, 2 threads": []}
    for _ in range(args.repeats):
        overhead["plain loop"].append(timed(lambda: [quorl.canonical_text(g) for g in tiny])[1])
        overhead["batch, 1 thread"].append(timed(lambda: list(quorl.canonical_texts(tiny, jobs=1)))[1])
        overhead["batch, 2 threads"].append(timed(lambda: list(quorl.canonical_texts(tiny, jobs=2)))[1])
    loop_cpu = statistics.median(overhead["plain loop"])
    print(f"\nper-item cost on {TINY_GRAPHS} one-node graphs (CPU µs per item, median)")
    for name, measured in overhead.items():
        cpu = statistics.median(measured)
        extra = "" if name == "plain loop" else f"  ({(cpu - loop_cpu) * 1e6 / TINY_GRAPHS:+.1f} over the loop)"
        print(f"{name:<20}{cpu * 1e6 / TINY_GRAPHS:>8.1f}{extra}")


if __name__ == "__main__":
    main()
