"""The golden corpus: every text and node order of a fixed set of graphs, kept as files.

    python3 tests/golden/golden.py write engine     # engine.jsonl from _quorl
    python3 tests/golden/golden.py write package    # package.jsonl from quorl
    python3 tests/golden/golden.py check            # exit status 1 on any difference

The graphs are the 300 molecules of examples/molecules.jsonl and the hand-made multigraphs
of graphs.jsonl (self-loops, parallel edges, several components, awkward labels and ids).
engine.jsonl holds what `_quorl` gives for each (the text of the root's component under the
8 flag sets, the node order under 4); package.jsonl what `quorl.canonical_text` and
`quorl.canonical_order` give (whole graphs). Any change to one output byte shows up as a
difference; tests/python/test_golden.py runs the check and pins the files' digest to
quorl.TEXT_FORMAT_VERSION.
"""

from __future__ import annotations

import hashlib
import itertools
import json
import sys
from pathlib import Path
from typing import Callable, Dict, Iterator, List, Tuple

HERE = Path(__file__).resolve().parent
SOURCES = (HERE.parents[1] / "examples" / "molecules.jsonl", HERE / "graphs.jsonl")
OUTPUTS = {"engine": HERE / "engine.jsonl", "package": HERE / "package.jsonl"}

Graph = Tuple[List[Tuple[str, str]], List[Tuple[str, str, str]]]
FLAGS = ("allow_hashes", "compress", "compact")


def graphs() -> Iterator[Tuple[str, Graph]]:
    for source in SOURCES:
        with source.open(encoding="utf-8") as stream:
            for line in stream:
                record = json.loads(line)
                graph = ([tuple(n) for n in record["nodes"]], [tuple(e) for e in record["edges"]])
                yield f"{source.name}: {record['id']}", graph


def _flag_sets(names: Tuple[str, ...]) -> Iterator[Dict[str, bool]]:
    for values in itertools.product((True, False), repeat=len(names)):
        yield dict(zip(names, values))


def _key(flags: Dict[str, bool]) -> str:
    return " ".join(f"{name}={int(value)}" for name, value in flags.items())


def _outcome(call: Callable[[], object]) -> object:
    try:
        return call()
    except ValueError as error:
        return {"error": str(error)}


def engine_outputs(graph: Graph) -> Dict[str, object]:
    import _quorl

    built = _quorl.graph_from_edges(*graph)
    texts = {
        _key(flags): _outcome(
            lambda: _quorl.to_cgraph_py(
                built, None, None, flags["allow_hashes"], flags["compress"], flags["compact"]
            ).as_str()
        )
        for flags in _flag_sets(FLAGS)
    }
    orders = {
        _key(flags): _outcome(lambda: _quorl.canonical_node_order_py(built, None, None, **flags))
        for flags in _flag_sets(("allow_hashes", "compact"))
    }
    return {"texts": texts, "orders": orders}


def package_outputs(graph: Graph) -> Dict[str, object]:
    import quorl

    texts = {
        _key(flags): _outcome(lambda: quorl.canonical_text(graph, **flags)) for flags in _flag_sets(FLAGS)
    }
    orders = {
        _key(flags): _outcome(lambda: quorl.canonical_order(graph, **flags))
        for flags in _flag_sets(("allow_hashes", "compact"))
    }
    return {"texts": texts, "orders": orders}


PRODUCERS = {"engine": engine_outputs, "package": package_outputs}


def lines(kind: str) -> Iterator[str]:
    produce = PRODUCERS[kind]
    for name, graph in graphs():
        yield json.dumps({"graph": name, **produce(graph)}, ensure_ascii=False) + "\n"


def differences(kind: str) -> Iterator[str]:
    """One message per graph whose outputs differ from the golden file, and one for a
    golden file that lists other graphs."""
    with OUTPUTS[kind].open(encoding="utf-8") as stream:
        expected = stream.readlines()
    actual = list(lines(kind))
    if len(actual) != len(expected):
        yield f"{OUTPUTS[kind].name}: {len(expected)} graphs golden, {len(actual)} now"
    for want, got in zip(expected, actual):
        if want != got:
            yield f"{OUTPUTS[kind].name}: {json.loads(want)['graph']} differs"


def digest() -> str:
    """SHA-256 over the inputs and the golden outputs, in a fixed order."""
    hasher = hashlib.sha256()
    for path in (*SOURCES, *OUTPUTS.values()):
        hasher.update(path.read_bytes())
    return hasher.hexdigest()


def main(argv: List[str]) -> int:
    if argv[:1] == ["write"] and len(argv) == 2 and argv[1] in OUTPUTS:
        with OUTPUTS[argv[1]].open("w", encoding="utf-8") as stream:
            stream.writelines(lines(argv[1]))
        print(f"{OUTPUTS[argv[1]]} written")
        return 0
    if argv == ["check"]:
        found = [message for kind in OUTPUTS for message in differences(kind)]
        print("\n".join(found) if found else f"no differences; digest {digest()}")
        return 1 if found else 0
    print(__doc__, file=sys.stderr)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
