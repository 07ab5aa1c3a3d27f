"""Shared by the benchmark scripts: the fastest of repeated runs. On a machine shared with other work the fastest
run is the one least disturbed by it."""
import time
import timeit
from typing import Any, NamedTuple


class Timing(NamedTuple):
    seconds: float  # per call, in the case's fastest turn (by the clock asked for)
    cpu: float      # the process's CPU seconds per call in that turn
    result: Any     # what the last call of that turn returned (with keep=True), else None


def take_turns(cases, repeat=5, *, number=1, in_a_row=1, clock=time.perf_counter, namespace=None, keep=False):
    """Times each case over `repeat` rounds in which the cases take turns, so that a busy spell of the machine
    falls on all of them alike. A case is a callable or a statement (a string that timeit compiles into its
    loop, with the names of `namespace`). A turn runs the case `in_a_row` times (the first run of a row warms
    the caches), each run `number` calls (one count for all cases, or one per case). Returns one Timing per
    case: its fastest run."""
    numbers = [number] * len(cases) if isinstance(number, int) else list(number)
    results = [None] * len(cases)
    timers = []
    for k, case in enumerate(cases):
        if keep and callable(case):
            case = (lambda k, f: lambda: results.__setitem__(k, f()))(k, case)
        timers.append(timeit.Timer(case, timer=clock, globals=namespace))
    best = [None] * len(cases)
    for _ in range(repeat):
        for k, timer in enumerate(timers):
            for _ in range(in_a_row):
                cpu = time.process_time()
                seconds = timer.timeit(numbers[k]) / numbers[k]
                cpu = (time.process_time() - cpu) / numbers[k]
                if best[k] is None or seconds < best[k].seconds:
                    best[k] = Timing(seconds, cpu, results[k])
    return best


def best_of(case, repeat=5, **options):
    """Seconds per call of the fastest of `repeat` runs of one case (the options of take_turns)."""
    return take_turns([case], repeat, **options)[0].seconds


def best_cpu(case, repeat=5, **options):
    """Like best_of, by the process's CPU time: for one-thread work on a machine shared with other jobs, the
    time the work itself took, without the time it waited for a core."""
    return best_of(case, repeat, clock=time.process_time, **options)
