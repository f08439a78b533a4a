"""Molecules from SMILES lines and SDF records (the rdkit extra), as engine graphs."""

from __future__ import annotations

import re
from typing import Any, Callable

from _quorl import PyGraph

from ._convert import from_rdkit, require

_LOG_STAMP = re.compile(r"^\[\d\d:\d\d:\d\d\] ")


def _parsed(parse: Callable[[Any], Any], what: str) -> Any:
    """The Mol `parse` returns, or ValueError with the reason RDKit logged. RDKit's own
    log lines are kept off standard error: the reason goes into the record's report."""
    rdbase = require("rdkit.rdBase", "rdkit")
    with rdbase.BlockLogs(), rdbase.CaptureErrorLog() as log:
        mol = parse(require("rdkit.Chem", "rdkit"))
    if mol is None:
        raise ValueError(f"cannot read the {what}: {_reason(log.messages)}")
    return mol


def _reason(messages: str) -> str:
    lines = [_LOG_STAMP.sub("", line).strip() for line in messages.splitlines()]
    lines = [line for line in lines if line and set(line) != {"*"}]
    # An invariant report names the broken condition on the line after its title.
    if len(lines) > 1 and lines[0].endswith("-condition Violation"):
        return lines[1]
    return lines[0] if lines else "RDKit gives no reason"


def graph_from_smiles(smiles: str) -> PyGraph:
    """The graph of a SMILES string with its hydrogens made explicit (as `Chem.AddHs`)."""
    mol = _parsed(lambda chem: chem.MolFromSmiles(smiles), "SMILES")
    return from_rdkit(require("rdkit.Chem", "rdkit").AddHs(mol))


def graph_from_molblock(block: str) -> PyGraph:
    """The graph of one SDF record (a molfile block), hydrogens of the file kept and the
    implicit ones made explicit."""
    mol = _parsed(lambda chem: chem.MolFromMolBlock(block, removeHs=False), "SDF record")
    return from_rdkit(require("rdkit.Chem", "rdkit").AddHs(mol))
