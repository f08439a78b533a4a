"""What equal texts mean: the figures of the README section of that name.

    python3 bench/keys.py [MOLECULES.jsonl] [--variants 3] [--limit N] [--parts a,b,...]
                          [--scale 10000000]

Prints, for the shared molecules (default ../shared/data/molecules.jsonl next to the
repository) and the networkx graph atlas (all 1,253 graphs of up to 7 nodes, pairwise
non-isomorphic):

- invariance: graphs whose text changes under some renaming of the ids and reordering of the
  nodes, the edges and the ends of every edge (seeded, `--variants` per graph), by flag set;
- collisions: graphs that share their text with a non-isomorphic graph, with the engine's
  text of the root's component ("before") and the package's whole-graph text ("after");
  for the molecules, pairs of equal texts are checked with the complete matcher;
- what `quorl dedup --verify` costs per record, and how often the fast check suffices;
- what grouping keeps in memory per group and per record (and with `--scale N` the peak
  resident set of grouping N distinct records);
- the guard limit: a hub with 10,001 triangles.

Prints numbers only; asserts nothing. Needs networkx.
"""

from __future__ import annotations

import argparse
import gc
import json
import random
import statistics
import time
import tracemalloc
from collections import defaultdict
from pathlib import Path
from typing import Callable, Dict, List, Sequence, Tuple

import networkx as nx

import _quorl
import quorl
from quorl import _dedup
from quorl._verify import Verdict, same_graph

REPO = Path(__file__).resolve().parents[1]
DEFAULT_MOLECULES = REPO.parent / "shared" / "data" / "molecules.jsonl"

Graph = Tuple[List[Tuple[str, str]], List[Tuple[str, str, str]]]
FLAG_SETS = {
    "default": {},
    "no hashes": {"allow_hashes": False},
    "compact": {"compact": True},
}


def load_molecules(path: Path, limit: int) -> List[Tuple[str, Graph]]:
    molecules = []
    with path.open(encoding="utf-8") as stream:
        for line in stream:
            record = json.loads(line)
            graph = ([tuple(n) for n in record["nodes"]], [tuple(e) for e in record["edges"]])
            molecules.append((record.get("name", record.get("id")), graph))
            if len(molecules) == limit:
                break
    return molecules


def atlas() -> List[Graph]:
    graphs = []
    for g in nx.graph_atlas_g():
        graphs.append(([(str(n), ".") for n in g.nodes], [(str(a), str(b), "1") for a, b in g.edges]))
    return graphs


def is_connected(graph: Graph) -> bool:
    return len(graph[0]) > 0 and _quorl._component_numbers(_quorl.graph_from_edges(*graph)) is None


def variant(graph: Graph, rng: random.Random) -> Graph:
    nodes, edges = graph
    order = rng.sample(range(len(nodes)), len(nodes))
    names = {nodes[i][0]: f"v{rank}" for rank, i in enumerate(order)}
    new_nodes = [(names[n], label) for n, label in nodes]
    new_edges = [(names[b], names[a], m) if rng.random() < 0.5 else (names[a], names[b], m) for a, b, m in edges]
    rng.shuffle(new_nodes)
    rng.shuffle(new_edges)
    return new_nodes, new_edges


def engine_text(graph: Graph, **flags: bool) -> str:
    return _quorl.to_cgraph_py(
        _quorl.graph_from_edges(*graph), None, None,
        flags.get("allow_hashes", True), flags.get("compress", True), flags.get("compact", False),
    ).as_str()


def invariance(name: str, graphs: Sequence[Graph], variants: int) -> None:
    for flag_name, flags in FLAG_SETS.items():
        start = time.perf_counter()
        changed = 0
        for at, graph in enumerate(graphs):
            rng = random.Random(at)
            text = quorl.canonical_text(graph, **flags)
            if any(quorl.canonical_text(variant(graph, rng), **flags) != text for _ in range(variants)):
                changed += 1
        print(f"  {name}, {flag_name}: {changed} of {len(graphs)} change their text under "
              f"{variants} renamings and reorderings ({time.perf_counter() - start:.1f} s)")


def sharing(texts: Sequence[str]) -> int:
    """How many items share their text with another item."""
    counts: Dict[str, int] = defaultdict(int)
    for text in texts:
        counts[text] += 1
    return sum(n for n in counts.values() if n > 1)


def atlas_collisions(graphs: Sequence[Graph]) -> None:
    connected = [g for g in graphs if is_connected(g)]
    for label, chosen in (("all", graphs), ("connected", connected)):
        before = sharing([engine_text(g) for g in chosen])
        after = sharing([quorl.canonical_text(g) for g in chosen])
        print(f"  atlas, {label} ({len(chosen)} graphs): {before} share their text with a non-isomorphic "
              f"graph with the engine's text, {after} with whole-graph texts")
    for flag_name, flags in FLAG_SETS.items():
        after = sharing([quorl.canonical_text(g, **flags) for g in graphs])
        print(f"  atlas, all, whole-graph texts, {flag_name}: {after} share their text")


def molecule_collisions(molecules: Sequence[Tuple[str, Graph]]) -> None:
    by_text: Dict[str, List[int]] = defaultdict(list)
    keys = [_dedup.keys_of(graph, verify=True) for _, graph in molecules]
    for at, k in enumerate(keys):
        by_text[k.text].append(at)
    shared = [members for members in by_text.values() if len(members) > 1]
    non_isomorphic = 0
    for members in shared:
        first = keys[members[0]].form
        if any(same_graph(first, keys[m].form, 10.0) is not Verdict.SAME for m in members[1:]):
            non_isomorphic += 1
    multi = sum(1 for _, g in molecules if not is_connected(g))
    print(f"  molecules: {len(molecules)} records, {multi} of several components, {len(by_text)} distinct texts; "
          f"{len(shared)} texts shared by {sum(map(len, shared))} records, of which {non_isomorphic} by "
          f"non-isomorphic graphs (checked with the complete matcher)")
    engine_shared = sharing([engine_text(g) for _, g in molecules])
    print(f"  molecules: {engine_shared} records share the engine's text with another "
          f"(root's component only), {sharing([k.text for k in keys])} the whole-graph text")


def verify_cost(molecules: Sequence[Tuple[str, Graph]]) -> None:
    # Once with every molecule once, once with every molecule twice, the second time renamed
    # and reordered, so that half of the records are duplicates that verification must prove.
    rng = random.Random(7)
    twice = [(f"{name}/{copy}", graph if copy == 0 else variant(graph, rng))
             for name, graph in molecules for copy in (0, 1)]
    for label, records in (("distinct", list(molecules)), ("each twice", twice)):
        timings: Dict[bool, List[float]] = {False: [], True: []}
        matcher_runs = 0
        for _ in range(3):
            for verify in (False, True):
                start = time.perf_counter()
                with _dedup.Grouper(verify=verify) as grouper:
                    for record_id, graph in records:
                        grouper.add(record_id, _dedup.keys_of(graph, verify=verify, seen=grouper.has_text))
                    groups = grouper.group_count
                    matcher_runs = max(matcher_runs, grouper.matcher_runs)
                timings[verify].append((time.perf_counter() - start) / len(records))
        plain, checked = statistics.median(timings[False]), statistics.median(timings[True])
        print(f"  {label}, {len(records)} records ({groups} groups): {plain * 1e6:.0f} us per record without "
              f"--verify, {checked * 1e6:.0f} us with it (x{checked / plain:.2f}, medians of 3); pairs the fast "
              f"check could not prove and the complete matcher decided: {matcher_runs}")


def memory() -> None:
    def measured(records: int, verify: bool, text_of: Callable[[int], str]) -> float:
        gc.collect()
        tracemalloc.start()
        with _dedup.Grouper(verify=verify) as grouper:
            base = tracemalloc.get_traced_memory()[0]
            for at in range(records):
                text = text_of(at)
                grouper.add(f"CHEMBL{at:09d}", _dedup.Keys(text, text.encode() if verify else None, verify))
            used = tracemalloc.get_traced_memory()[0] - base
        tracemalloc.stop()
        return used / records

    count = 200_000
    for verify in (False, True):
        per_group = measured(count, verify, lambda at: f"(H:1, (O:2)C:1, {at})C")
        per_record = measured(count, verify, lambda at: "(H:1, (O:2)C:1)C")
        print(f"  {'with' if verify else 'without'} --verify: {per_group:.0f} bytes in memory per group "
              f"(all {count} records distinct), {per_record:.2f} bytes per record of one group; texts, ids "
              f"and graphs go to temporary files")


def memory_at_scale(records: int) -> None:
    """Peak resident set of a process that groups `records` distinct texts, in a child so
    that nothing else counts."""
    import multiprocessing

    with multiprocessing.get_context("spawn").Pool(1) as pool:
        seconds, peak = pool.apply(_group_many, (records,))
    print(f"  {records:,} distinct records: peak resident set {peak / 2**30:.2f} GiB, {seconds:.0f} s")


def _group_many(records: int) -> Tuple[float, int]:
    import resource

    start = time.perf_counter()
    with _dedup.Grouper() as grouper:
        for at in range(records):
            grouper.add(f"CHEMBL{at:09d}", _dedup.Keys(f"(H:1, H:1, (H:1, (O:2)C:1, {at})C:1)C"))
        assert sum(1 for _ in grouper.groups()) == records
    return time.perf_counter() - start, resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024


def guard() -> None:
    nodes = [("hub", "C")]
    edges = []
    for t in range(10_001):
        a, b = f"a{t}", f"b{t}"
        nodes += [(a, "C"), (b, "C")]
        edges += [("hub", a, "1"), ("hub", b, "1"), (a, b, "1")]
    start = time.perf_counter()
    try:
        quorl.canonical_text((nodes, edges))
        outcome = "a text"
    except ValueError as error:
        outcome = f"ValueError {str(error)!r}"
    print(f"  a hub with 10,001 triangles gives {outcome} after {time.perf_counter() - start:.1f} s")


PARTS = ("invariance", "collisions", "verify", "memory", "guard")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("molecules", nargs="?", type=Path, default=DEFAULT_MOLECULES)
    parser.add_argument("--variants", type=int, default=3)
    parser.add_argument("--limit", type=int, default=0, help="read at most N molecules (0: all)")
    parser.add_argument("--parts", default=",".join(PARTS), help=f"which figures, of {','.join(PARTS)}")
    parser.add_argument("--scale", type=int, default=0,
                        help="also group this many distinct synthetic records and report the peak memory")
    args = parser.parse_args()
    parts = set(args.parts.split(","))
    molecules = load_molecules(args.molecules, args.limit)
    graphs = atlas()
    print(f"quorl {quorl.__version__}, text format {quorl.TEXT_FORMAT_VERSION}")
    if "invariance" in parts:
        print("invariance under renaming and reordering")
        invariance("atlas", graphs, args.variants)
        invariance("molecules", [g for _, g in molecules], args.variants)
    if "collisions" in parts:
        print("collisions between non-isomorphic graphs")
        atlas_collisions(graphs)
        molecule_collisions(molecules)
    if "verify" in parts:
        print("cost of --verify")
        verify_cost(molecules)
    if "memory" in parts:
        print("memory of grouping")
        memory()
        if args.scale:
            memory_at_scale(args.scale)
    if "guard" in parts:
        print("the guard limit")
        guard()


if __name__ == "__main__":
    main()
