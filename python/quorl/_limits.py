"""The limits of one call: the memory it may hold, the time it may take, the input it may read.

Every canonisation runs under a memory budget. Unless `max_memory` says otherwise it is half of
the memory available when the call starts (or half of what an address-space limit leaves, when
that is less): a graph whose rewrite would need more ends in MemoryError before the memory is
taken, instead of in the kernel's out-of-memory killer. `timeout` bounds the engine's work in
seconds (TimeoutError); `max_bytes` bounds what is read from a file, pipe or standard input.
"""

from __future__ import annotations

import math
import re
import time
from typing import BinaryIO, Callable, List, Optional, TypeVar

_Result = TypeVar("_Result")

DEFAULT_MAX_BYTES = 4 << 30
"""What one DOT input may hold unless told otherwise: 4 GiB."""

_READ_CHUNK = 1 << 20

_SIZE_UNITS = {"": 1, "K": 1 << 10, "M": 1 << 20, "G": 1 << 30, "T": 1 << 40}
_SIZE_PATTERN = re.compile(r"(\d+(?:\.\d+)?)\s*([KMGT]?)(?:i?B)?", re.IGNORECASE)


class InputTooLarge(ValueError):
    """An input that holds more than its size limit allows."""

    def __init__(self, max_bytes: int) -> None:
        super().__init__(f"input is larger than the limit of {max_bytes} bytes")


def _positive_number(name: str, value: object) -> float:
    # bool is an int, but True bytes or seconds is surely a mistake.
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        raise ValueError(f"{name} must be a positive number, not {value!r}")
    if not value > 0:  # NaN too
        raise ValueError(f"{name} must be a positive number, not {value!r}")
    return value


_NO_LIMIT = (1 << 64) - 1


def checked_max_memory(value: object) -> Optional[int]:
    """A memory budget in bytes (None: the machine's share; infinity: no limit); ValueError
    unless positive."""
    if value is None:
        return None
    number = _positive_number("max_memory", value)
    return _NO_LIMIT if math.isinf(number) else max(1, int(number))


def checked_timeout(value: object) -> Optional[float]:
    """A deadline in seconds (None or infinity: none); ValueError unless positive."""
    if value is None:
        return None
    number = float(_positive_number("timeout", value))
    return None if math.isinf(number) else number


class Deadline:
    """The deadline of one package call, shared by the engine calls it makes (one per
    component of the graph)."""

    def __init__(self, timeout: object) -> None:
        self._timeout = checked_timeout(timeout)
        self._end = None if self._timeout is None else time.monotonic() + self._timeout

    def run(self, call: Callable[[Optional[float]], _Result]) -> _Result:
        """call(seconds left, None without a deadline); TimeoutError once the deadline passed."""
        if self._end is None:
            return call(None)
        try:
            left = self._end - time.monotonic()
            if left <= 0:
                raise TimeoutError
            return call(left)
        except TimeoutError:
            raise TimeoutError(f"the call took longer than its timeout of {self._timeout!r} s") from None


def checked_max_bytes(value: object) -> int:
    """A read limit in bytes; ValueError unless positive."""
    number = _positive_number("max_bytes", value)
    return _NO_LIMIT if math.isinf(number) else max(1, int(number))


def parse_size(text: str) -> int:
    """A byte count as the command takes it: "1000000", "512M", "2G", "1.5GiB" (K, M, G and T
    are powers of 1024). ValueError for anything else, zero included."""
    match = _SIZE_PATTERN.fullmatch(text.strip())
    if match is None:
        raise ValueError(f"expected a size such as 512M or 2G, got {text!r}")
    size = int(float(match.group(1)) * _SIZE_UNITS[match.group(2).upper()])
    if size < 1:
        raise ValueError(f"expected a positive size, got {text!r}")
    return size


def read_limited(stream: BinaryIO, max_bytes: int) -> bytes:
    """All of a stream, or InputTooLarge once it has delivered more than `max_bytes`; an endless
    stream ends there. Ctrl-C interrupts the read as usual."""
    chunks: List[bytes] = []
    held = 0
    while True:
        chunk = stream.read(min(_READ_CHUNK, max_bytes + 1 - held))
        if not chunk:
            return b"".join(chunks)
        held += len(chunk)
        if held > max_bytes:
            raise InputTooLarge(max_bytes)
        chunks.append(chunk)
