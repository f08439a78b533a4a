"""Grouping records whose canonical texts are equal, optionally proving every merge.

Memory grows with the number of distinct texts, not with the number of records: a group keeps
a 16-byte digest of its text and a few numbers in memory, while its text, its members and (to
verify) its representative graph go to temporary files that are read back at the end.
"""

from __future__ import annotations

import hashlib
import json
import os
import struct
import tempfile
from array import array
from dataclasses import dataclass
from typing import Any, Callable, Dict, Iterable, Iterator, List, Optional, Tuple

from ._convert import to_graph
from ._limits import Deadline, checked_max_memory, checked_timeout
from ._verify import Verdict, canonical_form, canonical_form_of, form_in_store_order, same_graph

#: Members held in memory at once while the groups are written out; more members are
#: read back in several passes over the members file.
MEMBERS_PER_PASS = 1_000_000
#: Time the complete matcher may spend on one pair of graphs (seconds).
DEFAULT_VERIFY_SECONDS = 1.0

_NO_GROUP = -1
_MEMBER_HEADER = struct.Struct("<QI")  # group number, length of the JSON-encoded id


def _digest(text: str) -> bytes:
    return hashlib.blake2b(text.encode("utf-8"), digest_size=16).digest()


@dataclass(frozen=True)
class Group:
    """Records whose texts are equal (and, when verified, whose graphs are isomorphic).

    number: 1, 2, ... in order of the first member's appearance.
    text: the members' canonical text; with verification several groups can share a text
        when non-isomorphic records collide on it.
    members: the record ids, in input order.
    unverified: the first member could neither be proved isomorphic to an earlier group of
        the same text nor proved different within the time limit (always False without
        verification).
    """

    number: int
    text: str
    members: List[Any]
    unverified: bool = False


@dataclass(frozen=True)
class Keys:
    """What grouping needs of one graph: its canonical text and, to verify, the graph as a
    form (see `quorl._verify`): the canonical form, or while no other record has shown the
    same text, the cheaper form in the graph's own node order."""

    text: str
    form: Optional[bytes] = None
    form_is_canonical: bool = False


def keys_of(
    graph: object,
    *,
    verify: bool,
    allow_hashes: bool = True,
    compress: bool = True,
    compact: bool = False,
    seen: Optional[Callable[[str], bool]] = None,
    max_memory: Optional[int] = None,
    timeout: Optional[float] = None,
) -> Keys:
    """The keys of any graph `quorl.canonical_text` accepts. To verify, the canonical form
    costs a node order; it is made only when `seen` (Grouper.has_text) says the text is
    not new, or always without `seen`. `max_memory` bounds each engine call, `timeout` the
    engine's work on the graph, its text and node order together (as for `canonical_text`)."""
    from . import canonical_order, canonical_text

    deadline = Deadline(timeout)
    engine_graph = to_graph(graph)
    text = deadline.run(
        lambda seconds: canonical_text(
            engine_graph, allow_hashes=allow_hashes, compress=compress, compact=compact, max_memory=max_memory,
            timeout=seconds,
        )
    )
    if not verify:
        return Keys(text)
    if seen is not None and not seen(text):
        return Keys(text, form_in_store_order(engine_graph))
    # The default order, whatever the flags of the text: the compact one leaves out the
    # nodes that the rewrite split into mirrors, and every form must use the same order.
    order = deadline.run(lambda seconds: canonical_order(engine_graph, max_memory=max_memory, timeout=seconds))
    return Keys(text, canonical_form(engine_graph, order), form_is_canonical=True)


class _Spill:
    """An append-only temporary file of byte strings, read back by (offset, length)."""

    def __init__(self) -> None:
        self._file = tempfile.TemporaryFile()
        self._size = 0

    def append(self, data: bytes) -> int:
        offset = self._size
        self._file.write(data)
        self._size += len(data)
        return offset

    def read(self, offset: int, length: int) -> bytes:
        self._file.flush()
        return os.pread(self._file.fileno(), length, offset)

    def stream(self) -> Any:
        self._file.flush()
        self._file.seek(0)
        return self._file

    def close(self) -> None:
        self._file.close()


class Grouper:
    """Groups records by canonical text, one record at a time.

        grouper = Grouper(verify=True)
        for record_id, graph in records:
            grouper.add(record_id, keys_of(graph, verify=True, seen=grouper.has_text))
        for group in grouper.groups():
            ...

    `add` returns the record's group number at once, so per-record output can be streamed.
    With `verify`, a record joins a group only if its graph is proved isomorphic to the
    group's first member (labels, modalities, parallel edges and self-loops respected): its
    canonical form equals the group's, or else the complete matcher confirms it within
    `verify_seconds`. Records whose texts collide but whose graphs differ go to a group of
    their own (`collisions` counts them); records that could not be decided in time form a
    group flagged unverified (`unverified` counts them) rather than being merged.
    """

    def __init__(self, *, verify: bool = False, verify_seconds: float = DEFAULT_VERIFY_SECONDS) -> None:
        self.verify = verify
        self.verify_seconds = verify_seconds
        self.records = 0
        self.collisions = 0
        self.unverified = 0
        self.matcher_runs = 0  # pairs the fast check could not prove, given to the matcher
        self._first_group: Dict[bytes, int] = {}  # text digest -> its first group
        self._texts = _Spill()
        self._text_at = array("Q")
        self._text_length = array("I")
        self._members = _Spill()
        self._member_count = array("I")
        # Verification: every group's representative form, the next group of the same
        # text, and whether the group could not be verified.
        self._forms = _Spill()
        self._form_at = array("Q")
        self._form_length = array("I")
        self._next_same_text = array("q")
        self._unverified = bytearray()
        self._form_is_canonical = bytearray()

    @property
    def group_count(self) -> int:
        return len(self._text_at)

    def has_text(self, text: str) -> bool:
        """Whether a record with this text has been added (safe to ask from other threads)."""
        return _digest(text) in self._first_group

    def add(self, record_id: Any, keys: Keys) -> int:
        """Files one record under its group and returns the group number (from 1)."""
        if self.verify and keys.form is None:
            raise ValueError("verifying needs the graph's form: use keys_of(graph, verify=True)")
        encoded_id = json.dumps(record_id, ensure_ascii=False, allow_nan=False).encode("utf-8")
        digest = _digest(keys.text)
        first = self._first_group.get(digest, _NO_GROUP)
        if first == _NO_GROUP:
            group = self._new_group(keys, unverified=False)
            self._first_group[digest] = group
        elif not self.verify:
            group = first
        else:
            group = self._verified_group(first, keys)
        self.records += 1
        self._member_count[group] += 1
        self._members.append(_MEMBER_HEADER.pack(group, len(encoded_id)) + encoded_id)
        return group + 1

    def _new_group(self, keys: Keys, *, unverified: bool) -> int:
        group = len(self._text_at)
        text = keys.text.encode("utf-8")
        self._text_at.append(self._texts.append(text))
        self._text_length.append(len(text))
        self._member_count.append(0)
        if self.verify:
            assert keys.form is not None
            self._form_at.append(self._forms.append(keys.form))
            self._form_length.append(len(keys.form))
            self._next_same_text.append(_NO_GROUP)
            self._unverified.append(unverified)
            self._form_is_canonical.append(keys.form_is_canonical)
        return group

    def _verified_group(self, first: int, keys: Keys) -> int:
        assert keys.form is not None
        form = keys.form if keys.form_is_canonical else canonical_form_of(keys.form)
        keys = Keys(keys.text, form, form_is_canonical=True)
        candidates = []
        group = first
        while group != _NO_GROUP:
            if self._canonical_form(group) == form:
                return group
            candidates.append(group)
            group = self._next_same_text[group]
        undecided = False
        for group in candidates:
            self.matcher_runs += 1
            verdict = same_graph(self._form(group), form, self.verify_seconds)
            if verdict is Verdict.SAME:
                return group
            undecided = undecided or verdict is Verdict.UNDECIDED
        split = self._new_group(keys, unverified=undecided)
        self._next_same_text[candidates[-1]] = split
        if undecided:
            self.unverified += 1
        else:
            self.collisions += 1
        return split

    def _form(self, group: int) -> bytes:
        return self._forms.read(self._form_at[group], self._form_length[group])

    def _canonical_form(self, group: int) -> bytes:
        """The group's form, made canonical (and kept so) the first time it is compared."""
        form = self._form(group)
        if not self._form_is_canonical[group]:
            form = canonical_form_of(form)
            self._form_at[group] = self._forms.append(form)
            self._form_length[group] = len(form)
            self._form_is_canonical[group] = True
        return form

    def groups(self) -> Iterator[Group]:
        """Every group in order of number, its members read back from the members file in
        as few passes as MEMBERS_PER_PASS allows."""
        texts = self._texts.stream()
        start = 0
        while start < self.group_count:
            end, held = start, 0
            while end < self.group_count and (end == start or held + self._member_count[end] <= MEMBERS_PER_PASS):
                held += self._member_count[end]
                end += 1
            members = self._members_of(start, end)
            for group in range(start, end):
                text = texts.read(self._text_length[group]).decode("utf-8")
                unverified = bool(self._unverified[group]) if self.verify else False
                yield Group(group + 1, text, [json.loads(m) for m in members[group - start]], unverified)
            start = end

    def _members_of(self, start: int, end: int) -> List[List[bytes]]:
        members: List[List[bytes]] = [[] for _ in range(end - start)]
        stream = self._members.stream()
        header_size = _MEMBER_HEADER.size
        while True:
            header = stream.read(header_size)
            if not header:
                break
            group, length = _MEMBER_HEADER.unpack(header)
            encoded_id = stream.read(length)
            if start <= group < end:
                members[group - start].append(encoded_id)
        stream.seek(0, os.SEEK_END)
        return members

    def close(self) -> None:
        for spill in (self._texts, self._members, self._forms):
            spill.close()

    def __enter__(self) -> "Grouper":
        return self

    def __exit__(self, *exc_info: object) -> None:
        self.close()


def group_duplicates(
    records: Iterable[Tuple[Any, object]],
    *,
    verify: bool = False,
    verify_seconds: float = DEFAULT_VERIFY_SECONDS,
    allow_hashes: bool = True,
    compress: bool = True,
    compact: bool = False,
    max_memory: Optional[int] = None,
    timeout: Optional[float] = None,
) -> List[Group]:
    """Group (id, graph) records whose canonical texts are equal; the groups in order of
    their first member, members in input order. Ids must be JSON values (str, int, ...).

    With verify=True a merge is made only when the graphs are proved isomorphic (see
    `Grouper`); records whose texts collide with a non-isomorphic record, or that could not
    be decided within `verify_seconds`, come out in groups of their own. A graph the engine
    refuses raises, as `quorl.canonical_text` does; so does one past `max_memory` (MemoryError)
    or `timeout` (TimeoutError), which bound each record as they bound `canonical_text`.
    """
    checked_max_memory(max_memory)
    checked_timeout(timeout)
    with Grouper(verify=verify, verify_seconds=verify_seconds) as grouper:
        for record_id, graph in records:
            keys = keys_of(
                graph, verify=verify, allow_hashes=allow_hashes, compress=compress, compact=compact,
                seen=grouper.has_text, max_memory=max_memory, timeout=timeout,
            )
            grouper.add(record_id, keys)
        return list(grouper.groups())

