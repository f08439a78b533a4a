"""Time the per-call cost of two builds of _quorl in one process and report ratios of medians.

    python3 bench/call_overhead_ab.py A/_quorl....so B/_quorl....so [--rounds 25] [--every 7]

Both extension modules are loaded side by side (under the names a._quorl and b._quorl) and
blocks of calls alternate between them, A first in even rounds and B first in odd ones, so that
the noise of a shared machine falls on both builds alike; separate processes run minutes apart
see load that differs by more than the few per cent a change of the fixed cost makes. Cases:
to_cgraph_py and canonical_node_order_py on a 1-node and a 2-node graph (the fixed cost of a
call), and over every --every-th shared molecule. Prints µs per call (median over the rounds)
and B/A. Run it pinned (taskset -c 1). Prints numbers only; asserts nothing.
"""

from __future__ import annotations

import argparse
import importlib.machinery
import importlib.util
import json
import statistics
import time
from pathlib import Path

# The shared molecules beside the checkout, as bench/speed_vs_baseline.py finds them.
MOLECULES = Path(__file__).resolve().parents[2] / "shared" / "data" / "molecules.jsonl"
TINY_CALLS = 2000


def load(name: str, path: str):
    # The module's init function is found by the last part of the name, so both builds load.
    loader = importlib.machinery.ExtensionFileLoader(name, path)
    module = importlib.util.module_from_spec(importlib.util.spec_from_file_location(name, path, loader=loader))
    loader.exec_module(module)
    return module


def cases(quorl, molecules):
    """Each case: a function running a block of calls and returning how many it made."""
    one = quorl.graph_from_edges([("a", "C")], [])
    two = quorl.graph_from_edges([("a", "C"), ("b", "O")], [("a", "b", "1")])
    graphs = [quorl.graph_from_edges(nodes, edges) for nodes, edges in molecules]
    text, order = quorl.to_cgraph_py, quorl.canonical_node_order_py

    def texts(block):
        def run():
            for graph in block:
                text(graph, None, None, None, None, None)
            return len(block)
        return run

    def orders(block):
        def run():
            for graph in block:
                order(graph, None, None, None, None)
            return len(block)
        return run

    return {
        "1 node text": texts([one] * TINY_CALLS),
        "1 node order": orders([one] * TINY_CALLS),
        "2 nodes text": texts([two] * TINY_CALLS),
        "2 nodes order": orders([two] * TINY_CALLS),
        "molecules text": texts(graphs),
        "molecules order": orders(graphs),
    }


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("a")
    parser.add_argument("b")
    parser.add_argument("--rounds", type=int, default=25)
    parser.add_argument("--every", type=int, default=7, help="time every n-th molecule")
    args = parser.parse_args()
    with open(MOLECULES) as f:
        records = [json.loads(line) for line in f][:: args.every]
    molecules = [([tuple(n) for n in r["nodes"]], [tuple(e) for e in r["edges"]]) for r in records]
    builds = [cases(load("a._quorl", args.a), molecules), cases(load("b._quorl", args.b), molecules)]
    times = {name: ([], []) for name in builds[0]}
    for round_number in range(args.rounds):
        for name, (a_times, b_times) in times.items():
            for side in (0, 1) if round_number % 2 == 0 else (1, 0):
                start = time.perf_counter_ns()
                calls = builds[side][name]()
                (a_times, b_times)[side].append((time.perf_counter_ns() - start) / calls / 1000)
    for name, (a_times, b_times) in times.items():
        a, b = statistics.median(a_times), statistics.median(b_times)
        print(f"{name:16s} A {a:8.3f}  B {b:8.3f}  B/A {b / a:.3f}")


if __name__ == "__main__":
    main()
