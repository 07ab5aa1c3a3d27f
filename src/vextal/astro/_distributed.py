"""Porkchop grids on a Dask cluster.

The departure axis is split into chunks of consecutive rows; each chunk is one Dask task that runs the same
native grid the local computation runs, on a worker, and the chunks are put back together in order. Only
plain data travels: a state as a 7-tuple ``(time, x, y, z, vx, vy, vz)`` (the state records refuse pickling),
a trajectory as what the grid reads of it (a ``TwoBody``, or the ``Table`` it sampled for the window, sent to
the cluster once and shared by all its chunks), and a slice of the departure offsets. Every departure row is
computed from its own inputs alone, so the assembled arrays are bit-identical to the local run whatever the
split.

Failure: a worker that dies takes its tasks with it and the scheduler runs them again elsewhere (up to its
``allowed-failures`` setting, then ``KilledWorker``); a task that raises makes the whole call raise, and the
other tasks are cancelled. A chunk that is cancelled or lost (the scheduler gone) raises a RuntimeError naming
the chunk and chained to the cluster's own error. The call returns every row of every grid or raises: a grid is assembled only from
a complete set of chunks of the expected shapes.

Threads: on a cluster the worker threads are the parallelism Dask was given (a worker with ``nthreads=T``
runs T tasks at once), so by default each task runs the native grid on one thread, and the departure axis
is cut into a few chunks per worker thread so that the load evens out. ``threads=k`` makes every task use k
threads instead (for workers started with one thread on a machine of k cores).
"""
from __future__ import annotations

import numbers
import uuid
from typing import Any, Callable, Dict, Iterable, List, Optional, Sequence, Tuple, Union, cast

import numpy as np
import numpy.typing as npt

from vextal.astro import _porkchop
from vextal.astro._grid_sources import Window, direction
from vextal.astro._grid_common import GridArrays, GridSource, Progress, ProgressOption, stack_rows
from vextal.astro._porkchop_results import Porkchop

#: ``chunks=``: None (a few per worker thread), a chunk count, or a sequence of chunk sizes.
Chunks = Union[None, int, Sequence[int]]

#: Default chunk count per worker thread: enough for the load to even out across workers of unequal speed,
#: few enough that the per-task cost (a few milliseconds) stays small against the work.
CHUNKS_PER_THREAD = 4

_FIELDS = 6  # dv_departure, dv_arrival, dv_total, revolutions, branch, status


def row_bounds(n_rows: int, chunks: object, worker_threads: int) -> List[Tuple[int, int]]:
    """The ``(start, stop)`` row ranges of the chunks, in order, covering ``range(n_rows)`` exactly.

    ``chunks`` is None (a few per worker thread), a chunk count (the rows are shared out as evenly as
    integers allow: sizes differ by at most one, in any count that need not divide ``n_rows``; a count above
    ``n_rows`` gives one row per chunk), or a sequence of chunk sizes that add up to ``n_rows``.
    """
    if chunks is None:
        count = CHUNKS_PER_THREAD * max(1, worker_threads)
    elif isinstance(chunks, numbers.Integral) and not isinstance(chunks, bool):
        count = int(chunks)
        if count < 1:
            raise ValueError("chunks must be at least 1, got %d" % count)
    elif isinstance(chunks, (str, bytes, float, bool)) or not hasattr(chunks, "__iter__"):
        raise TypeError("chunks must be None, an int or a sequence of chunk sizes, not %s"
                        % type(chunks).__name__)
    else:
        sizes: List[int] = []
        for size in cast(Iterable[object], chunks):
            if not isinstance(size, numbers.Integral) or isinstance(size, bool) or size < 1:
                raise ValueError("chunk sizes must be positive ints, got %r" % (size,))
            sizes.append(int(size))
        if sum(sizes) != n_rows:
            raise ValueError("chunk sizes add up to %d, but there are %d departures" % (sum(sizes), n_rows))
        stops = np.cumsum(sizes).tolist()
        return list(zip([0] + stops[:-1], stops))
    count = max(1, min(count, n_rows))
    edges = [i * n_rows // count for i in range(count + 1)]
    return [(a, b) for a, b in zip(edges[:-1], edges[1:]) if b > a]


def grid_chunk(chaser: GridSource, target: GridSource, departures: npt.NDArray[np.float64],
               tofs: npt.NDArray[np.float64], prograde: bool, max_revs: int, threads: Optional[int],
               options: Optional[Dict[str, Any]] = None, epoch: Optional[float] = None) -> GridArrays:
    """One task: the native grid over a slice of the departures (runs on a worker); `options` are the
    planning keywords (mu, cost, min_radius, arrive_at, depart_from), `epoch` the departures' base."""
    return _porkchop.grid(chaser, target, departures, tofs, prograde, max_revs, threads=threads, **(options or {}),
                          epoch=epoch)


def _worker_threads(client: Any) -> int:
    try:
        return int(sum(client.nthreads().values()))
    except Exception:  # a scheduler that cannot answer yet: fall back to the minimum
        return 0


def grids_on_cluster(client: Any, chaser: GridSource, targets: Sequence[GridSource], departures: npt.ArrayLike,
                     tofs: npt.ArrayLike, *, prograde: bool, max_revs: int, threads: Optional[int],
                     progress: ProgressOption, chunks: Chunks, options: Optional[Dict[str, Any]] = None,
                     epoch: Optional[float] = None) -> List[GridArrays]:
    """The native grid of ``chaser`` against each of ``targets`` (7-tuples or what the grid reads of a
    trajectory: a two-body state or a table), computed on ``client``'s cluster; returns one
    ``(dv_departure, dv_arrival, dv_total, revolutions, branch, status)`` tuple per target. All targets' chunks
    are submitted at once, so a survey keeps every worker busy across targets. Tables go to the cluster in one
    call, each once (``client.scatter``), and every chunk that reads one refers to that copy."""
    departures = np.ascontiguousarray(departures, dtype=np.float64)
    tofs = np.ascontiguousarray(tofs, dtype=np.float64)
    bounds = row_bounds(len(departures), chunks, _worker_threads(client))
    if not bounds:  # no departures: nothing to send; the native grid gives the empty arrays (or its error)
        return [grid_chunk(chaser, target, departures, tofs, prograde, max_revs, 1, options, epoch)
                for target in targets]
    task_threads = 1 if threads is None else threads
    run = uuid.uuid4().hex[:12]

    from distributed import as_completed as untyped_as_completed

    as_completed: Callable[..., Any] = untyped_as_completed  # distributed leaves it unannotated

    parts: List[List[Optional[GridArrays]]] = [[None] * len(bounds) for _ in targets]
    futures: List[Any] = []
    where: Dict[str, Tuple[int, int]] = {}
    with Progress(progress, len(targets) * len(bounds)) as bar:  # a bad `progress` raises before any task
        try:
            shipped_chaser, *shipped_targets = _shipped(client, [chaser, *targets])
            for t, shipped_target in enumerate(shipped_targets):
                for c, (start, stop) in enumerate(bounds):
                    future = client.submit(grid_chunk, shipped_chaser, shipped_target, departures[start:stop], tofs,
                                           prograde, max_revs, task_threads, options, epoch,
                                           key="vextal-porkchop-%s-%d-%d" % (run, t, c), pure=False)
                    where[future.key] = (t, c)
                    futures.append(future)
            # On this client's loop: the default client may be another one, or none at all.
            for future, result in as_completed(futures, loop=client.loop, with_results=True):
                t, c = where[future.key]
                if not isinstance(result, tuple):
                    # A cancelled or lost chunk comes back as its cancellation, not as rows (a chunk whose rows
                    # arrived counts, even if its future was cancelled since).
                    raise RuntimeError("porkchop chunk %d (departures %d to %d) of target %d was %s on the cluster: "
                                       "%s" % (c, bounds[c][0], bounds[c][1], t, future.status,
                                               _describe(result))) from (result if isinstance(result, BaseException)
                                                                         else None)
                parts[t][c] = result
                bar.advance()
        except BaseException:  # a failed task, Ctrl-C, a progress callback that raised: stop the rest
            client.cancel(futures)
            raise
    return [_assemble(chunk_parts, bounds, len(tofs), t) for t, chunk_parts in enumerate(parts)]


def _shipped(client: Any, sources: Sequence[GridSource]) -> List[Any]:
    """The sources as the tasks take them: 7-tuples as they are (small), trajectories sent to the cluster in
    one call, each once, as futures every task can name."""
    trajectories = [k for k, source in enumerate(sources) if not isinstance(source, tuple)]
    out: List[Any] = list(sources)
    if trajectories:
        futures = client.scatter([sources[k] for k in trajectories], hash=False)
        for k, future in zip(trajectories, futures):
            out[k] = future
    return out


def _describe(error: Any) -> str:
    return "%s: %s" % (type(error).__name__, error) if isinstance(error, BaseException) else repr(error)


def _assemble(chunk_parts: Sequence[Optional[GridArrays]], bounds: Sequence[Tuple[int, int]], n_tof: int,
              target_index: int) -> GridArrays:
    """Stack one grid's chunks in row order, after checking that every chunk is there and of its shape."""
    for c, (part, (start, stop)) in enumerate(zip(chunk_parts, bounds)):
        shape = (stop - start, n_tof)
        if not isinstance(part, tuple) or len(part) != _FIELDS or any(np.shape(a) != shape for a in part):
            raise RuntimeError("porkchop chunk %d (departures %d to %d) of target %d came back incomplete"
                               % (c, start, stop, target_index))
    return stack_rows([part for part in chunk_parts if part is not None])


def check_arguments(chaser: GridSource, targets: Sequence[GridSource], departures: npt.ArrayLike,
                    tofs: npt.ArrayLike, prograde: Optional[bool], max_revs: int, threads: Optional[int],
                    options: Optional[Dict[str, Any]] = None, epoch: Optional[float] = None) -> None:
    """Raises here, before any task is sent (or any block of a local grid is computed), what the native grid
    would raise: the grid over no cells checks every argument and computes nothing."""
    empty = np.empty(0)
    for target in targets:
        _porkchop.grid(chaser, target, departures, empty, prograde, max_revs, threads, **(options or {}),
                       epoch=epoch)
    _porkchop.grid(chaser, targets[0], empty, tofs, prograde, max_revs, threads, **(options or {}), epoch=epoch)


def porkchops_on_cluster(chaser: Any, targets: Sequence[Any], departures: Any, tofs: Any, *,
                         prograde: Optional[bool], max_revs: int, threads: Optional[int], progress: ProgressOption,
                         client: Any, chunks: Chunks, labels: Optional[Sequence[str]] = None,
                         options: Optional[Dict[str, Any]] = None) -> List[Porkchop]:
    """The Porkchop of `chaser` against each of `targets` (states or trajectories), computed on ``client``'s
    cluster; `labels` name the targets in error messages; `options` are the planning keywords of every cell.
    Trajectories are sampled here, once, and their tables travel. The direction, when not given, is the
    chaser's own for every target."""
    window = Window(chaser, departures, tofs, (prograde, max_revs, threads), options)
    resolved = [window.target(t, label) for t, label in zip(targets, labels or ["target"] * len(targets))]
    sense = direction(window.chaser, window.chaser, prograde)
    for state, _ in resolved:
        direction(window.chaser, state, sense, stacklevel=5)
    sources = [source for _, source in resolved]
    check_arguments(window.chaser_source, sources, window.departures, window.tofs, sense, max_revs, threads,
                    options, window.epoch)
    grids = grids_on_cluster(client, window.chaser_source, sources, window.departures, window.tofs, prograde=sense,
                             max_revs=max_revs, threads=threads, progress=progress, chunks=chunks, options=options,
                             epoch=window.epoch)
    return [window.result(state, source, sense, max_revs, arrays, options)
            for (state, source), arrays in zip(resolved, grids)]


def porkchop_on_cluster(chaser: Any, target: Any, departures: Any, tofs: Any, **options: Any) -> Porkchop:
    """``porkchop(..., client=client)``: one grid computed on the client's cluster, as a Porkchop."""
    (grid,) = porkchops_on_cluster(chaser, [target], departures, tofs, **options)
    return grid
