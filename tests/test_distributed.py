"""Porkchop grids, surveys and array functions on a Dask LocalCluster (two worker processes, loopback only)."""
import logging
import os
import re
import signal
import time

import numpy as np
import pytest

distributed = pytest.importorskip("distributed")

from vextal.astro import _distributed  # noqa: E402
from vextal.astro.porkchop import porkchop, survey  # noqa: E402

FIELDS = ("dv_departure", "dv_arrival", "dv_total", "revolutions", "branch")
CHASER = (0.0, 6778.1374, 0.0, 0.0, 0.0, 7.6686, 0.0)
TARGETS = [(0.0, 0.0, 7078.1374, 0.0, -7.5044, 0.0, 0.0), (0.0, -6978.1374, 0.0, 120.0, 0.0, -7.5579, 0.1),
           (0.0, 4800.0, 5300.0, 0.0, -5.65, 5.12, 0.0)]
DEPARTURES, TOFS = np.linspace(0.0, 12000.0, 23), np.linspace(900.0, 16000.0, 11)


@pytest.fixture(scope="module")
def client():
    cluster = distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1",
                                       dashboard_address=None, silence_logs=logging.ERROR)
    client = distributed.Client(cluster, set_as_default=False)  # the calls must use the client they are given
    try:
        yield client
    finally:
        client.close()
        cluster.close()


@pytest.fixture(autouse=True)
def time_limit():
    """Every test here is bounded: TimeoutError after 3 minutes (a cluster call then cancels its tasks)."""
    def expire(signum, frame):
        raise TimeoutError("still running after 3 minutes")

    previous = signal.signal(signal.SIGALRM, expire)
    signal.alarm(180)
    yield
    signal.alarm(0)
    signal.signal(signal.SIGALRM, previous)


def assert_same_bits(got, expected):
    for name in FIELDS:
        a, b = getattr(got, name), getattr(expected, name)
        assert a.dtype == b.dtype and a.shape == b.shape and a.tobytes() == b.tobytes(), name


@pytest.mark.parametrize("n_rows, chunks, sizes", [
    (10, 3, [3, 3, 4]), (23, 5, [4, 5, 4, 5, 5]), (4, 9, [1, 1, 1, 1]), (7, 1, [7]), (6, (1, 4, 1), [1, 4, 1]),
    (7, 0, ValueError), (7, (3, 3), ValueError), (7, (3, 0, 4), ValueError), (7, 2.0, TypeError),
    (7, True, TypeError), (7, "7", TypeError),
])
def test_row_bounds_cover_the_axis_in_order(n_rows, chunks, sizes):
    if not isinstance(sizes, list):
        with pytest.raises(sizes, match="chunk"):
            _distributed.row_bounds(n_rows, chunks, worker_threads=2)
        return
    bounds = _distributed.row_bounds(n_rows, chunks, worker_threads=2)
    assert [b - a for a, b in bounds] == sizes
    assert [r for a, b in bounds for r in range(a, b)] == list(range(n_rows))


@pytest.mark.parametrize("chunks", [None, 1, 3, 7, 23, 50, (5, 10, 8)])
def test_cluster_porkchop_is_bit_identical_to_local(client, chunks):
    local = porkchop(CHASER, TARGETS[0], DEPARTURES, TOFS, max_revs=2, threads=2)
    remote = porkchop(CHASER, TARGETS[0], DEPARTURES, TOFS, max_revs=2, client=client, chunks=chunks)
    assert (remote.chaser, remote.target, remote.max_revs) == (CHASER, TARGETS[0], 2)
    assert remote.departures.tobytes() == DEPARTURES.tobytes() and remote.tofs.tobytes() == TOFS.tobytes()
    assert_same_bits(remote, local)


class Recording:
    """The client, with a record of every task handed to it."""

    def __init__(self, client):
        self.client, self.submitted = client, []

    def submit(self, *args, **kwargs):
        self.submitted.append(kwargs.get("key"))
        return self.client.submit(*args, **kwargs)

    def __getattr__(self, name):
        return getattr(self.client, name)


def test_trajectories_travel_as_tables_once_each(client):
    # A TLE chaser and targets: sampled once on the client; each table goes to the cluster once and all the
    # chunks that read it share it; the grids are the local ones bit for bit, dates and all.
    from vextal.astro.trajectory import TLE, Table, TwoBody

    iss = TLE("1 25544U 98067A   24001.50000000  .00016717  00000-0  10270-3 0  9009",
              "2 25544  51.6416 247.4627 0006703 130.5360 325.0288 15.49815308 30006")
    departures = np.datetime64("2024-01-01T12:30") + np.arange(0, 12000, 600).astype("m8[s]")
    depot = TLE("1 99001U 24001A   24001.50000000  .00001000  00000-0  20000-4 0  9995",
                "2 99001  51.6400 247.6000 0010000 100.0000  20.0000 15.20000000    19")
    targets = {"depot": depot, "two-body": TwoBody(iss.state_at(iss.epoch + 600.0)), "state": TARGETS[0]}
    local = survey(iss, targets, departures, TOFS, max_revs=1)
    scattered = []

    class Scattering(Recording):
        def scatter(self, data, **kwargs):
            scattered.append(sorted(type(item).__name__ for item in data))
            return self.client.scatter(data, **kwargs)

    recording = Scattering(client)
    remote = survey(iss, targets, departures, TOFS, max_revs=1, client=recording, chunks=4)
    assert scattered == [["Table", "Table", "TwoBody"]]  # one call: the chaser, "depot" and "two-body"
    assert len(recording.submitted) == 3 * 4
    for got, expected in zip(remote.porkchops, local.porkchops):
        assert_same_bits(got, expected)
        assert got.departure_epochs.tobytes() == expected.departure_epochs.tobytes()
        assert isinstance(got.sources[0], Table) and got.best().dv_total == expected.best().dv_total


@pytest.mark.parametrize("change", [{"tofs": -TOFS}, {"departures": DEPARTURES.reshape(1, -1)},
                                    {"target": (0.0,) * 7}, {"max_revs": -1}, {"threads": 0}])
def test_bad_arguments_raise_the_local_error_before_any_task(client, change):
    args = dict(dict(chaser=CHASER, target=TARGETS[0], departures=DEPARTURES, tofs=TOFS), **change)
    with pytest.raises(Exception) as local:
        porkchop(**args)
    recording = Recording(client)
    with pytest.raises(type(local.value), match=re.escape(str(local.value))):
        porkchop(**args, client=recording)
    assert recording.submitted == []
    assert porkchop(CHASER, TARGETS[0], DEPARTURES[:2], TOFS, client=recording, chunks=2).shape == (2, len(TOFS))
    assert len(recording.submitted) == 2  # the record sees the tasks of a good call


def test_progress_follows_every_chunk(client, capsys):
    fractions = []
    porkchop(CHASER, TARGETS[0], DEPARTURES, TOFS, client=client, chunks=4, progress=fractions.append)
    assert fractions == [0.25, 0.5, 0.75, 1.0]
    pytest.importorskip("tqdm")
    porkchop(CHASER, TARGETS[0], DEPARTURES, TOFS, client=client, chunks=3, progress=True)
    assert "3/3" in capsys.readouterr().err


@pytest.mark.parametrize("progress, error", [("yes", TypeError), ("raise", KeyboardInterrupt), (None, ValueError)])
def test_failed_call_raises_and_leaves_no_work_behind(client, progress, error):
    # A bad progress argument raises before any task is sent; a task that fails on a worker (threads=0 reaches
    # the native grid past porkchop's checks) or a KeyboardInterrupt out of the progress callback (as Ctrl-C
    # would raise) cancels every other task, even while the traceback keeps the call's futures alive.
    def interrupt(fraction):
        raise KeyboardInterrupt

    with pytest.raises(error) as raised:
        _distributed.grids_on_cluster(client, CHASER, TARGETS, np.linspace(0.0, 86400.0, 400), TOFS,
                                      prograde=True, max_revs=3, threads=0 if progress is None else 1,
                                      progress=interrupt if progress == "raise" else progress, chunks=40)
    tasks = lambda: client.run_on_scheduler(lambda dask_scheduler: len(dask_scheduler.tasks))  # noqa: E731
    deadline = time.monotonic() + 20
    while tasks() and time.monotonic() < deadline:
        time.sleep(0.05)
    assert tasks() == 0 and raised.traceback


def test_chunks_cancelled_mid_grid_raise_the_cancellation_not_a_partial_grid(client):
    # As when the scheduler is lost: the futures still to come are cancelled after the first chunk arrives.
    def cancel_the_rest(fraction):
        if fraction < 1:
            keys = [key for key in list(client.futures) if str(key).startswith("vextal-porkchop-")]
            client.cancel([distributed.Future(key, client) for key in keys])

    with pytest.raises(RuntimeError, match=r"porkchop chunk \d+ \(departures \d+ to \d+\) of target 0 was "
                                           r"cancelled on the cluster") as raised:
        porkchop(CHASER, TARGETS[0], np.linspace(0.0, 86400.0, 400), TOFS, max_revs=3, client=client, chunks=40,
                 progress=cancel_the_rest)
    assert "Cancel" in type(raised.value.__cause__).__name__


def test_worker_killed_mid_survey_still_gives_whole_grids(client):
    # A dead worker's tasks (running, or done but not yet fetched) run again elsewhere: with the scheduler's
    # default of 3 allowed failures per task one kill costs time only (past that the call raises KilledWorker).
    departures, tofs = np.linspace(0.0, 86400.0, 240), np.linspace(900.0, 30000.0, 200)
    targets = dict(zip("abc", TARGETS))
    local = survey(CHASER, targets, departures, tofs, max_revs=3)
    victim = next(iter(client.run(os.getpid).values()))
    killed = []

    def kill_on_first_chunk(fraction):
        if not killed:
            os.kill(victim, signal.SIGKILL)
            killed.append(fraction)

    try:
        remote = survey(CHASER, targets, departures, tofs, max_revs=3, client=client, chunks=16,
                        progress=kill_on_first_chunk)
    finally:
        client.wait_for_workers(2, timeout=120)  # the nanny restarts the killed worker for the next tests
    assert killed == [1 / 48]
    for got, expected in zip(remote.porkchops, local.porkchops):
        assert_same_bits(got, expected)
    assert remote.table == local.table


def test_array_function_blocks_on_the_cluster(client):
    da = pytest.importorskip("dask.array")
    from vextal.astro.arrays import efg_to_llh

    xyz = np.random.default_rng(3).normal(size=(1000, 3)) * 7000.0
    lazy = da.from_array(xyz, chunks=(200, 3)).map_blocks(efg_to_llh, threads=1, dtype=np.float64)
    assert client.compute(lazy).result().tobytes() == efg_to_llh(xyz).tobytes()


def test_a_j2_grid_on_the_cluster_is_the_local_one(client):
    # States under model="j2" become J2 trajectories before the grid is split: the workers read their tables
    # and the result is the local J2 grid bit for bit, marked j2, and refines under J2 alike.
    local = porkchop(CHASER, TARGETS[1], DEPARTURES, TOFS, max_revs=1, model="j2")
    remote = porkchop(CHASER, TARGETS[1], DEPARTURES, TOFS, max_revs=1, model="j2", client=client, chunks=3)
    assert_same_bits(remote, local)
    assert remote.model == local.model == "j2"
    assert remote.refine().as_dict() == local.refine().as_dict()
