"""Porkchop grids and surveys on a Dask LocalCluster (two worker processes on the loopback address)."""
import contextlib
import logging
import os
import re
import signal
import time

import numpy as np
import pytest

distributed = pytest.importorskip("distributed")

from vextal.astro import _distributed  # noqa: E402
from vextal.astro.porkchop import Porkchop, porkchop, survey  # noqa: E402

FIELDS = ("dv_departure", "dv_arrival", "dv_total", "revolutions", "branch")
CHASER = (0.0, 6778.1374, 0.0, 0.0, 0.0, 7.6686, 0.0)
TARGETS = [(0.0, 0.0, 7078.1374, 0.0, -7.5044, 0.0, 0.0),
           (0.0, -6978.1374, 0.0, 120.0, 0.0, -7.5579, 0.1),
           (0.0, 4800.0, 5300.0, 0.0, -5.65, 5.12, 0.0)]
RADIAL = (0.0, 8000.0, 0.0, 0.0, 0.3, 0.0, 0.0)  # on the chaser's line of apsides: no transfer plane
CHASER_RADIAL = (0.0, 7000.0, 0.0, 0.0, 0.5, 0.0, 0.0)
DEPARTURES = np.linspace(0.0, 12000.0, 23)
TOFS = np.linspace(900.0, 16000.0, 11)


@contextlib.contextmanager
def time_limit(seconds):
    """Bounds a cluster call: TimeoutError once `seconds` have passed (the call cancels its tasks)."""
    def expire(signum, frame):
        raise TimeoutError("cluster call still running after %d s" % seconds)

    previous = signal.signal(signal.SIGALRM, expire)
    signal.alarm(seconds)
    try:
        yield
    finally:
        signal.alarm(0)
        signal.signal(signal.SIGALRM, previous)


@pytest.fixture(scope="module")
def client():
    cluster = distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1",
                                       dashboard_address=None, silence_logs=logging.ERROR)
    client = distributed.Client(cluster)
    try:
        yield client
    finally:
        client.close()
        cluster.close()


def grid_arrays(p):
    return [getattr(p, name) for name in FIELDS]


def records(table):
    """The survey table as a list of dicts, whichever form it came in."""
    return table.to_dict("records") if hasattr(table, "to_dict") else list(table)


def assert_same_bits(got, expected):
    for name, a, b in zip(FIELDS, got, expected):
        a, b = np.asarray(a), np.asarray(b)
        assert a.shape == b.shape and a.dtype == b.dtype, name
        assert a.tobytes() == b.tobytes(), "%s differs from the local grid" % name


@pytest.mark.parametrize("n_rows, chunks, sizes", [
    (10, 3, [3, 3, 4]),
    (23, 5, [4, 5, 4, 5, 5]),
    (4, 9, [1, 1, 1, 1]),
    (1, None, [1]),
    (7, 1, [7]),
    (6, (1, 4, 1), [1, 4, 1]),
    (6, np.array([2, 4]), [2, 4]),
])
def test_row_bounds_cover_the_axis_in_order(n_rows, chunks, sizes):
    bounds = _distributed.row_bounds(n_rows, chunks, worker_threads=2)
    assert [b - a for a, b in bounds] == sizes
    assert [r for a, b in bounds for r in range(a, b)] == list(range(n_rows))


def test_default_chunks_are_a_few_per_worker_thread():
    bounds = _distributed.row_bounds(1000, None, worker_threads=3)
    assert len(bounds) == 3 * _distributed.CHUNKS_PER_THREAD


@pytest.mark.parametrize("chunks, error, match", [
    (0, ValueError, "at least 1"),
    ((3, 3), ValueError, "add up to 6, but there are 7"),
    ((3, 0, 4), ValueError, "positive"),
    ((3.5, 3.5), ValueError, "positive"),
    (2.0, TypeError, "chunks must be"),
    (True, TypeError, "chunks must be"),
    ("7", TypeError, "chunks must be"),
])
def test_row_bounds_refuse_bad_chunks(chunks, error, match):
    with pytest.raises(error, match=match):
        _distributed.row_bounds(7, chunks, worker_threads=2)


@pytest.mark.parametrize("chunks", [None, 1, 3, 7, 23, 50, (5, 10, 8)])
def test_cluster_porkchop_is_bit_identical_to_local(client, chunks):
    local = porkchop(CHASER, TARGETS[0], DEPARTURES, TOFS, max_revs=2, threads=2)
    with time_limit(120):
        remote = porkchop(CHASER, TARGETS[0], DEPARTURES, TOFS, max_revs=2, client=client, chunks=chunks)
    assert isinstance(remote, Porkchop) and (remote.chaser, remote.target) == (CHASER, TARGETS[0])
    assert remote.departures.tobytes() == DEPARTURES.tobytes() and remote.tofs.tobytes() == TOFS.tobytes()
    assert_same_bits(grid_arrays(remote), grid_arrays(local))


@pytest.mark.parametrize("change", [
    {"tofs": -TOFS},
    {"departures": np.array([0.0, np.inf])},
    {"departures": DEPARTURES.reshape(1, -1)},
    {"target": (0.0, 0.0, 0.0, 0.0, 1.0, 0.0, 0.0)},
    {"max_revs": -1},
    {"threads": 0},
])
def test_bad_arguments_raise_the_local_error_before_any_task(client, change):
    args = dict(chaser=CHASER, target=TARGETS[0], departures=DEPARTURES, tofs=TOFS, max_revs=0, threads=None)
    args.update(change)
    with pytest.raises(Exception) as local:
        porkchop(**args)
    submitted = []
    with time_limit(60), pytest.raises(type(local.value), match=re.escape(str(local.value))):
        porkchop(**args, client=client, progress=submitted.append)
    assert not submitted


def test_progress_follows_every_chunk(client):
    fractions = []
    with time_limit(120):
        _distributed.grids_on_cluster(client, CHASER, TARGETS, DEPARTURES, TOFS, prograde=True, max_revs=0,
                                      threads=1, progress=fractions.append, chunks=4)
    assert len(fractions) == 4 * len(TARGETS)
    assert fractions == sorted(fractions) and fractions[-1] == 1.0


def test_progress_bar(client, capsys):
    pytest.importorskip("tqdm")
    with time_limit(120):
        _distributed.grids_on_cluster(client, CHASER, TARGETS[:1], DEPARTURES, TOFS, prograde=True, max_revs=0,
                                      threads=1, progress=True, chunks=3)
    assert "3/3" in capsys.readouterr().err


def test_failing_task_raises_instead_of_a_partial_grid(client):
    # threads=0 goes past the checks of porkchop(); the native grid refuses it inside every task.
    with time_limit(120), pytest.raises(ValueError, match="threads"):
        _distributed.grids_on_cluster(client, CHASER, TARGETS, DEPARTURES, TOFS, prograde=True, max_revs=0,
                                      threads=0, progress=None, chunks=3)


def scheduler_tasks(client):
    return client.run_on_scheduler(lambda dask_scheduler: len(dask_scheduler.tasks))


@pytest.mark.parametrize("progress, error", [("yes", TypeError), ("raise", KeyboardInterrupt)])
def test_interrupted_call_leaves_no_work_behind(client, progress, error):
    # A bad progress argument raises before any task is sent; an exception out of the progress callback (here
    # a KeyboardInterrupt, as Ctrl-C would raise) cancels every task still queued or running, even while the
    # traceback (and so the call's futures) stays alive, as it does in an interactive session.
    def interrupt(fraction):
        raise KeyboardInterrupt

    with time_limit(60), pytest.raises(error) as raised:
        porkchop(CHASER, TARGETS[0], np.linspace(0.0, 86400.0, 400), TOFS, max_revs=3, client=client, chunks=40,
                 progress=interrupt if progress == "raise" else progress)
    for _ in range(100):
        if scheduler_tasks(client) == 0:
            break
        time.sleep(0.05)
    assert scheduler_tasks(client) == 0
    assert raised.traceback


def test_survey_on_cluster_equals_local(client):
    targets = {"east": TARGETS[0], "west": TARGETS[1], "low": TARGETS[2], "none": RADIAL}
    local = survey(CHASER, targets, DEPARTURES, TOFS, max_revs=1)
    with time_limit(120):
        remote = survey(CHASER, targets, DEPARTURES, TOFS, max_revs=1, client=client, chunks=5)
    for got, expected in zip(remote.porkchops, local.porkchops):
        assert got.target == expected.target
        assert_same_bits(grid_arrays(got), grid_arrays(expected))
    assert records(remote.table) == records(local.table)


def test_worker_killed_mid_survey_still_gives_whole_grids(client):
    # A dead worker's tasks (running, or done but not yet fetched) are run again elsewhere: with the scheduler's
    # default of 3 allowed failures per task one kill must cost time only. Past that limit the call would raise
    # KilledWorker; in no case does it return a grid with rows missing.
    departures = np.linspace(0.0, 86400.0, 240)
    tofs = np.linspace(900.0, 30000.0, 200)
    local = survey(CHASER, TARGETS, departures, tofs, max_revs=3)
    victim = next(iter(client.run(os.getpid).values()))
    killed = []

    def kill_on_first_chunk(fraction):
        if not killed:
            os.kill(victim, signal.SIGKILL)
            killed.append(fraction)

    try:
        with time_limit(180):
            remote = survey(CHASER, TARGETS, departures, tofs, max_revs=3, client=client, chunks=16,
                            progress=kill_on_first_chunk)
    finally:
        client.wait_for_workers(2, timeout=120)  # the nanny restarts the killed worker for the next tests
    assert killed == [1 / 48]
    for got, expected in zip(remote.porkchops, local.porkchops):
        assert_same_bits(grid_arrays(got), grid_arrays(expected))
    assert records(remote.table) == records(local.table)


def test_array_function_blocks_on_the_cluster(client):
    da = pytest.importorskip("dask.array")
    from vextal.astro.arrays import efg_to_llh

    xyz = np.random.default_rng(3).normal(size=(1000, 3)) * 7000.0
    lazy = da.from_array(xyz, chunks=(200, 3)).map_blocks(efg_to_llh, threads=1, dtype=np.float64)
    with time_limit(120):
        llh = client.compute(lazy).result()
    assert llh.tobytes() == efg_to_llh(xyz).tobytes()
