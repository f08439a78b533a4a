"""Many graphs at once: `canonical_texts` and `canonical_orders` on a pool of threads.

The engine releases the interpreter lock while it canonises, so plain threads share the
work; only turning each input into an engine graph and handing results back hold the lock.
Items are read from the input on the caller's thread, handed to the workers in small
chunks (sized so that a chunk takes about a millisecond: cheap for small graphs, balanced
for big ones), and the results come back in input order through a bounded window, so an
endless input runs in constant memory. The package's own batches canonise a chunk in one
engine call that releases the lock once for all its items: released and taken back for
each molecule, the lock changes hands between the threads so often that two threads run
no faster than one.
"""

from __future__ import annotations

import collections
import concurrent.futures
import functools
import importlib
import inspect
import itertools
import os
import time
import warnings
from collections.abc import Sized
from typing import Any, Callable, Deque, Dict, Iterable, Iterator, List, Literal, Optional, Union, overload

import _quorl

from ._limits import checked_max_memory, checked_timeout

#: Called with the number of results delivered so far, after each one.
ProgressCallback = Callable[[int], object]
Progress = Union[None, bool, ProgressCallback]

# How long the caller's thread waits for a result before looking again, so that Ctrl-C is
# answered even where a blocked wait is not interruptible.
_WAIT_SECONDS = 0.05
# A chunk should take about this long; it grows from one item while items are fast.
_CHUNK_SECONDS = 0.001
_MAX_CHUNK = 64
# Chunks in flight per worker: enough that no worker waits for the caller to hand out more.
_CHUNKS_PER_WORKER = 4
# Exceptions that are not one item's failure: they stop the batch wherever they happen.
_BATCH_STOPPING = (KeyboardInterrupt, SystemExit)


def usable_cores() -> int:
    """The number of cores this process may run on (its CPU affinity where the system has one)."""
    affinity = getattr(os, "sched_getaffinity", None)
    if affinity is not None:
        return len(affinity(0))
    return os.cpu_count() or 1


class _Failure:
    """An item's exception, carried back from a worker in the item's place."""

    __slots__ = ("error",)

    def __init__(self, error: BaseException) -> None:
        self.error = error


_Outcome = Union[object, _Failure]


class _Chunk:
    """What a worker gives back for a chunk: one outcome per item it ran, the seconds they
    took, and the exception that stopped the whole batch (if any)."""

    __slots__ = ("outcomes", "seconds", "stopping")

    def __init__(self) -> None:
        self.outcomes: List[_Outcome] = []
        self.seconds = 0.0
        self.stopping: Optional[BaseException] = None


#: Outcomes of a whole chunk at once (see `_quorl._texts_of_chunk`): per item its result, the
#: exception it failed with, or None for an item the per-item work is to do.
ChunkWork = Callable[[List[object]], List[object]]


class _Work:
    """What a batch does to its items: `item(x)` for one, and optionally `chunk(xs)` first."""

    __slots__ = ("item", "chunk")

    def __init__(self, item: Callable[[object], object], chunk: Optional[ChunkWork]) -> None:
        self.item = item
        self.chunk = chunk


def _run_chunk(work: _Work, items: List[object], stop: _quorl._StopFlag) -> _Chunk:
    chunk = _Chunk()
    started = time.perf_counter()
    done: List[object] = [None] * len(items)
    if work.chunk is not None and not stop.is_set():
        try:
            done = work.chunk(items)
        except _BATCH_STOPPING as error:  # stopped after its last item: the batch ends without them
            chunk.stopping = error
            chunk.seconds = time.perf_counter() - started
            return chunk
        except BaseException:  # out of memory, say: every item goes the per-item road, which reports it
            pass
    for item, outcome in zip(items, done):
        if stop.is_set():
            break
        if outcome is None:
            try:
                outcome = work.item(item)
            except BaseException as error:  # one item's failure never fails the batch or the worker
                outcome = error
        if isinstance(outcome, _BATCH_STOPPING):
            chunk.stopping = outcome
            break
        chunk.outcomes.append(_Failure(outcome) if isinstance(outcome, BaseException) else outcome)
    chunk.seconds = time.perf_counter() - started
    return chunk


class _Reader:
    """Reads the input in chunks on the caller's thread; an exception raised by the input is
    kept and raised once the results of the items read before it are delivered."""

    def __init__(self, items: Iterator[object]) -> None:
        self._items = items
        self.error: Optional[BaseException] = None
        self.exhausted = False

    def take(self, count: int) -> List[object]:
        taken: List[object] = []
        if self.exhausted:
            return taken
        try:
            taken.extend(itertools.islice(self._items, count))
        except _BATCH_STOPPING:
            self.exhausted = True
            raise
        except BaseException as error:
            self.error = error
            self.exhausted = True
            return taken
        if len(taken) < count:
            self.exhausted = True
        return taken


class _ChunkSize:
    """Items per chunk: about _CHUNK_SECONDS of work at the item times seen so far."""

    def __init__(self) -> None:
        self._items = 0
        self._seconds = 0.0

    def record(self, chunk: _Chunk) -> None:
        self._items += len(chunk.outcomes)
        self._seconds += chunk.seconds

    def next(self) -> int:
        if self._items == 0:
            return 1
        per_item = self._seconds / self._items
        if per_item <= 0:
            return _MAX_CHUNK
        return max(1, min(_MAX_CHUNK, int(_CHUNK_SECONDS / per_item)))


class _Progress:
    def __init__(self, progress: Progress, total: Optional[int]) -> None:
        self._callback: Optional[ProgressCallback] = None
        self._bar: Any = None
        if callable(progress):
            self._callback = progress
        elif progress:
            try:
                tqdm = importlib.import_module("tqdm.auto").tqdm
            except ImportError:
                warnings.warn("progress=True needs tqdm (pip install tqdm); no progress bar is shown", stacklevel=4)
            else:
                self._bar = tqdm(total=total, unit="graph")
        self.done = 0

    def deliver(self, outcome: _Outcome, errors: str) -> object:
        """The result to hand to the caller for an outcome, counted as delivered; a failure
        is raised instead with errors="raise"."""
        if isinstance(outcome, _Failure):
            if errors == "raise":
                raise outcome.error
            result: object = outcome.error
        else:
            result = outcome
        self.done += 1
        if self._bar is not None:
            self._bar.update(1)
        if self._callback is not None:
            self._callback(self.done)
        return result

    def close(self) -> None:
        if self._bar is not None:
            self._bar.close()


def _run_inline(work: _Work, reader: _Reader, errors: str, progress: _Progress) -> Iterator[object]:
    """One job: the items run on the caller's thread, where Ctrl-C reaches the engine directly."""
    never_set = _quorl._StopFlag()
    sizes = _ChunkSize()
    while True:
        items = reader.take(sizes.next())
        if not items:
            break
        chunk = _run_chunk(work, items, never_set)
        sizes.record(chunk)
        for outcome in chunk.outcomes:
            yield progress.deliver(outcome, errors)
        if chunk.stopping is not None:
            raise chunk.stopping
    if reader.error is not None:
        raise reader.error


def _wait(future: "concurrent.futures.Future[_Chunk]") -> _Chunk:
    while True:
        done, _ = concurrent.futures.wait([future], timeout=_WAIT_SECONDS)
        if done:
            return future.result()


def _run_threaded(work: _Work, reader: _Reader, jobs: int, errors: str, progress: _Progress) -> Iterator[object]:
    stop = _quorl._StopFlag()
    executor = concurrent.futures.ThreadPoolExecutor(
        max_workers=jobs, thread_name_prefix="quorl", initializer=_quorl._current_stop_flag.set, initargs=(stop,)
    )
    window: Deque["concurrent.futures.Future[_Chunk]"] = collections.deque()
    sizes = _ChunkSize()

    def refill() -> None:
        while len(window) < jobs * _CHUNKS_PER_WORKER:
            items = reader.take(sizes.next())
            if not items:
                return
            window.append(executor.submit(_run_chunk, work, items, stop))

    try:
        refill()
        while window:
            chunk = _wait(window.popleft())
            sizes.record(chunk)
            if chunk.stopping is None:
                refill()
            for outcome in chunk.outcomes:
                yield progress.deliver(outcome, errors)
            if chunk.stopping is not None:
                raise chunk.stopping
        if reader.error is not None:
            raise reader.error
    finally:
        # However the batch ends (done, an item raised, the caller stopped reading, Ctrl-C):
        # running items stop at their next poll, queued ones never start, and every worker
        # has ended before the caller goes on.
        stop.set()
        for future in window:
            future.cancel()
        executor.shutdown(wait=True, cancel_futures=True)


def run_batch(
    work: Callable[[Any], Any],
    items: Iterable[Any],
    *,
    jobs: Optional[int] = None,
    errors: str = "raise",
    progress: Progress = None,
    chunk_work: Optional[ChunkWork] = None,
) -> Iterator[Any]:
    """work(item) for every item, in input order, on `jobs` threads: the machinery of
    `canonical_texts` for any per-item function (the command line uses it too). With
    `chunk_work`, each chunk is given to it first, and work(item) does what it leaves."""
    if jobs is None:
        jobs = usable_cores()
    elif isinstance(jobs, bool) or not isinstance(jobs, int) or jobs < 1:
        raise ValueError(f"jobs must be a positive integer, got {jobs!r}")
    if errors not in ("raise", "return"):
        raise ValueError(f"errors must be 'raise' or 'return', got {errors!r}")
    total = len(items) if isinstance(items, Sized) else None
    return _stream(_Work(work, chunk_work), iter(items), jobs, errors, progress, total)


def with_options(work: Callable[..., Any], options: Dict[str, Any]) -> Callable[[Any], Any]:
    """work with the keyword options bound; a misspelt option fails here, not on every item."""
    inspect.signature(work).bind(None, **options)
    return functools.partial(work, **options) if options else work


# The flags of the per-item functions, in the order the chunk calls take them.
_CHUNK_CALLS = {
    "text": (_quorl._texts_of_chunk, ("allow_hashes", "compress", "compact")),
    "order": (_quorl._orders_of_chunk, ("allow_hashes", "compact")),
}


def chunk_call(kind: str, options: Dict[str, Any]) -> Optional[ChunkWork]:
    """One engine call for a chunk of graphs, with the options of `canonical_text` ("text")
    or `canonical_order` ("order"). None where an option is one that the per-item function
    itself must judge (a flag that is not a bool, a limit it refuses): every item then fails
    or succeeds as that function makes it."""
    engine_call, flags = _CHUNK_CALLS[kind]
    try:
        max_memory = checked_max_memory(options.get("max_memory"))
        timeout = checked_timeout(options.get("timeout"))
    except ValueError:
        return None
    values = [options.get(name) for name in flags]  # None: the engine's default, the function's too
    if not all(value is None or type(value) is bool for value in values):
        return None
    return lambda items: engine_call(items, *values, max_memory, timeout)


def _stream(
    work: _Work,
    items: Iterator[object],
    jobs: int,
    errors: str,
    progress: Progress,
    total: Optional[int],
) -> Iterator[Any]:
    # A generator of its own, so that the arguments are checked when the batch is made and
    # the work starts when its first result is asked for.
    shown = _Progress(progress, total)
    reader = _Reader(items)
    try:
        if jobs == 1:
            yield from _run_inline(work, reader, errors, shown)
        else:
            yield from _run_threaded(work, reader, jobs, errors, shown)
    finally:
        shown.close()


@overload
def canonical_texts(
    graphs: Iterable[object],
    *,
    jobs: Optional[int] = None,
    errors: Literal["raise"] = "raise",
    progress: Progress = None,
    **options: Any,
) -> Iterator[str]: ...
@overload
def canonical_texts(
    graphs: Iterable[object],
    *,
    jobs: Optional[int] = None,
    errors: Literal["return"],
    progress: Progress = None,
    **options: Any,
) -> Iterator[Union[str, BaseException]]: ...
def canonical_texts(
    graphs: Iterable[object],
    *,
    jobs: Optional[int] = None,
    errors: str = "raise",
    progress: Progress = None,
    **options: Any,
) -> Iterator[Any]:
    """The canonical text of every graph, in input order, computed on `jobs` threads.

    graphs: any iterable of what `canonical_text` accepts; it is read as the results are
        consumed, a bounded number of items ahead, so an endless iterator works.
    jobs: the number of threads (default: the cores this process may use); 1 runs every
        item on the calling thread.
    errors: "raise" raises an item's exception in its place and ends the batch; "return"
        yields the exception object in its place and goes on.
    progress: a callable, called with the number of results delivered so far after each
        one; or True for a tqdm progress bar (when tqdm is installed).
    options: keyword options of `canonical_text` (allow_hashes, compress, ...), the same for
        every item.

    An item fails with the same exception that `canonical_text` raises for it. An exception
    raised by the input iterator ends the batch: the results of the items read before it
    are delivered, then it is raised. Ctrl-C, or the caller dropping the iterator, stops the
    running items and ends every worker thread.
    """
    from . import canonical_text

    chunk_work = chunk_call("text", options)
    return run_batch(
        with_options(canonical_text, options), graphs, jobs=jobs, errors=errors, progress=progress,
        chunk_work=chunk_work,
    )


@overload
def canonical_orders(
    graphs: Iterable[object],
    *,
    jobs: Optional[int] = None,
    errors: Literal["raise"] = "raise",
    progress: Progress = None,
    **options: Any,
) -> Iterator[List[str]]: ...
@overload
def canonical_orders(
    graphs: Iterable[object],
    *,
    jobs: Optional[int] = None,
    errors: Literal["return"],
    progress: Progress = None,
    **options: Any,
) -> Iterator[Union[List[str], BaseException]]: ...
def canonical_orders(
    graphs: Iterable[object],
    *,
    jobs: Optional[int] = None,
    errors: str = "raise",
    progress: Progress = None,
    **options: Any,
) -> Iterator[Any]:
    """The canonical node order of every graph, in input order, computed on `jobs` threads.
    Arguments and failures as for `canonical_texts`; `options` are those of
    `canonical_order`."""
    from . import canonical_order

    chunk_work = chunk_call("order", options)
    return run_batch(
        with_options(canonical_order, options), graphs, jobs=jobs, errors=errors, progress=progress,
        chunk_work=chunk_work,
    )
