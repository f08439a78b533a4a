"""Time the two canonisation entry points on real molecules and on generated graph families.

    python3 bench/bench_molecules.py [MOLECULES.jsonl] [--limit N] [--sizes 16,64,256,1024]
                                     [--cap-seconds 0.5]

For every family and size it prints the median time of one `to_cgraph_py` call and of one
`canonical_node_order_py` call (graphs are built beforehand and not timed) and the peak
resident set of a process that did only that family's work. The molecules come from the
shared JSON-lines sample (default: ../shared/data/molecules.jsonl next to the repository).
Prints numbers only; asserts nothing.
"""

from __future__ import annotations

import argparse
import json
import multiprocessing
import random
import resource
import statistics
import time
from pathlib import Path
from typing import Callable, Dict, List, Sequence, Tuple

import _quorl

Nodes = List[Tuple[str, str]]
Edges = List[Tuple[str, str, str]]
Graph = Tuple[Nodes, Edges]

REPO = Path(__file__).resolve().parents[1]
DEFAULT_MOLECULES = REPO.parent / "shared" / "data" / "molecules.jsonl"
LABELS = "CCCCNOS"  # carbon-heavy, like organic molecules
GRAPHS_PER_SIZE = 5


def load_molecules(path: Path, limit: int) -> List[Graph]:
    graphs = []
    with path.open(encoding="utf-8") as stream:
        for line in stream:
            record = json.loads(line)
            graphs.append(([tuple(n) for n in record["nodes"]], [tuple(e) for e in record["edges"]]))
            if len(graphs) == limit:
                break
    return graphs


def _labelled(n: int, rng: random.Random) -> Nodes:
    return [(f"n{i}", rng.choice(LABELS)) for i in range(n)]


def path_graph(n: int, rng: random.Random) -> Graph:
    return _labelled(n, rng), [(f"n{i}", f"n{i + 1}", "1") for i in range(n - 1)]


def tree_graph(n: int, rng: random.Random) -> Graph:
    return _labelled(n, rng), [(f"n{rng.randrange(i)}", f"n{i}", rng.choice("112")) for i in range(1, n)]


def ring_graph(n: int, rng: random.Random) -> Graph:
    return _labelled(n, rng), [(f"n{i}", f"n{(i + 1) % n}", rng.choice("12")) for i in range(n)]


def ladder_graph(n: int, rng: random.Random) -> Graph:
    rungs = max(n // 2, 2)
    nodes = [(f"{side}{i}", rng.choice(LABELS)) for side in "ab" for i in range(rungs)]
    edges = [(f"{side}{i}", f"{side}{i + 1}", "1") for side in "ab" for i in range(rungs - 1)]
    edges += [(f"a{i}", f"b{i}", "2") for i in range(rungs)]
    return nodes, edges


def grid_graph(n: int, rng: random.Random) -> Graph:
    side = max(int(n ** 0.5), 2)
    nodes = [(f"g{r}_{c}", rng.choice(LABELS)) for r in range(side) for c in range(side)]
    edges = [(f"g{r}_{c}", f"g{r}_{c + 1}", "1") for r in range(side) for c in range(side - 1)]
    edges += [(f"g{r}_{c}", f"g{r + 1}_{c}", "1") for r in range(side - 1) for c in range(side)]
    return nodes, edges


def random_sparse_graph(n: int, rng: random.Random) -> Graph:
    # A random tree plus n/2 extra edges: connected, average degree about 3.
    nodes, edges = tree_graph(n, rng)
    for _ in range(n // 2):
        a, b = rng.sample(range(n), 2)
        edges.append((f"n{a}", f"n{b}", rng.choice("12")))
    return nodes, edges


FAMILIES: Dict[str, Callable[[int, random.Random], Graph]] = {
    "paths": path_graph,
    "trees": tree_graph,
    "rings": ring_graph,
    "ladders": ladder_graph,
    "grids": grid_graph,
    "random sparse": random_sparse_graph,
}


def _median_us(call: Callable[[], object], graphs: Sequence[object]) -> float:
    times = []
    for graph in graphs:
        start = time.perf_counter_ns()
        call(graph)  # type: ignore[call-arg]
        times.append(time.perf_counter_ns() - start)
    return statistics.median(times) / 1000


def measure(graphs: Sequence[Graph]) -> Tuple[float, float, float]:
    """Median µs per to_cgraph_py call, per canonical_node_order_py call, and peak RSS in MiB."""
    built = [_quorl.graph_from_edges(nodes, edges) for nodes, edges in graphs]
    text_us = _median_us(lambda g: _quorl.to_cgraph_py(g, None, None, None, None, None), built)
    order_us = _median_us(lambda g: _quorl.canonical_node_order_py(g), built)
    peak_mib = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024
    return text_us, order_us, peak_mib


def _measure_in_child(connection, make_graphs: Callable[[], Sequence[Graph]]) -> None:
    graphs = make_graphs()
    connection.send((len(graphs), sum(len(n) for n, _ in graphs) / len(graphs), *measure(graphs)))


def run_isolated(make_graphs: Callable[[], Sequence[Graph]]) -> Tuple[int, float, float, float, float]:
    """Measure in a fresh forked process so that the peak resident set is this work's own."""
    context = multiprocessing.get_context("fork")
    receiver, sender = context.Pipe(duplex=False)
    child = context.Process(target=_measure_in_child, args=(sender, make_graphs))
    child.start()
    result = receiver.recv()
    child.join()
    return result


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("molecules", nargs="?", type=Path, default=DEFAULT_MOLECULES)
    parser.add_argument("--limit", type=int, default=2000, help="molecules to use (default 2000)")
    parser.add_argument("--sizes", default="16,64,256,1024", help="node counts of the generated graphs")
    parser.add_argument(
        "--cap-seconds", type=float, default=0.5,
        help="stop growing a family once one call takes longer than this (default 0.5)",
    )
    args = parser.parse_args()
    sizes = [int(size) for size in args.sizes.split(",")]

    print(f"{'family':<14}{'size':>6}{'graphs':>8}{'nodes':>8}{'to_cgraph µs':>15}{'order µs':>12}{'peak MiB':>10}")

    def row(family: str, size: str, result: Tuple[int, float, float, float, float]) -> None:
        count, mean_nodes, text_us, order_us, peak = result
        print(f"{family:<14}{size:>6}{count:>8}{mean_nodes:>8.0f}{text_us:>15.1f}{order_us:>12.1f}{peak:>10.1f}", flush=True)

    if args.molecules.exists():
        row("molecules", "all", run_isolated(lambda: load_molecules(args.molecules, args.limit)))
    else:
        print(f"(no molecules: {args.molecules} not found)")
    for family, make in FAMILIES.items():
        for size in sizes:
            graphs = lambda: [make(size, random.Random(seed)) for seed in range(GRAPHS_PER_SIZE)]  # noqa: E731
            result = run_isolated(graphs)
            row(family, str(size), result)
            if max(result[2], result[3]) > args.cap_seconds * 1e6 and size != sizes[-1]:
                print(f"{family:<14}  (larger sizes skipped: over {args.cap_seconds} s per call)")
                break


if __name__ == "__main__":
    main()
