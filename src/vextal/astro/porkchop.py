"""Transfer-window search: porkchop grids of two-impulse Lambert transfers between two states.

``porkchop(chaser, target, departures, tofs)`` answers "when should I leave, how long should I fly, and what
does it cost" over a grid: for each departure offset (seconds after ``chaser.time``) and time of flight it moves
the chaser to the departure epoch and the target to the arrival epoch (two-body, 398600.5 km^3/s^2), solves
Lambert's problem for every arc up to ``max_revs`` revolutions and keeps the cheapest by total delta-v. The grid
runs natively on every core; plots (matplotlib), refinement (scipy) and progress bars (tqdm) need the
``vextal[porkchop]`` extra.
"""
import csv
import json
import math

import numpy as np

from vextal.astro import _files, _porkchop

__all__ = ["porkchop", "Porkchop", "Transfer"]

EXTRA = "vextal[porkchop]"
_FIELDS = ("dv_departure", "dv_arrival", "dv_total", "revolutions", "branch")


def _optional(name, feature):
    """Import an optional dependency, or say which extra brings it."""
    import importlib

    try:
        return importlib.import_module(name)
    except ImportError as exc:
        raise ImportError("%s needs %s: pip install '%s'" % (feature, name.split(".")[0], EXTRA)) from exc


class Progress:
    """Follows ``total`` steps: nothing for None/False, a tqdm bar for True (``bar_options`` passed on), else
    ``progress(fraction)`` after each advance."""

    def __init__(self, progress, total, unit="chunk", **bar_options):
        self.total, self.done, self.bar, self.callback = total, 0, None, None
        if progress is True:
            self.bar = _optional("tqdm", "progress=True").tqdm(total=total, unit=unit, desc="porkchop",
                                                                 **bar_options)
        elif callable(progress):
            self.callback = progress
        elif progress not in (None, False):
            raise TypeError("progress must be True, False, None or a callable taking the fraction done")

    def advance(self, steps=1):
        self.done += steps
        if self.bar is not None:
            self.bar.update(steps)
        elif self.callback is not None:
            self.callback(self.done / self.total)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        if self.bar is not None:
            self.bar.close()


def state_tuple(state, name="state"):
    """(time, x, y, z, vx, vy, vz) as floats from an ECI state or a sequence of seven numbers."""
    if hasattr(state, "position") and hasattr(state, "velocity"):
        if state.position is None or state.velocity is None:
            raise TypeError("%s has no position or velocity (None)" % name)
        values = (state.time, *state.position.to_tuple(), *state.velocity.to_tuple())
    else:
        values = tuple(state)
    if len(values) != 7:
        raise TypeError("%s must be an ECI state or 7 numbers (time, x, y, z, vx, vy, vz)" % name)
    return tuple(float(v) for v in values)


def _eci(values):
    from vextal.astro.orbitvector import ECI
    from vextal.vector3 import Vector3

    return ECI(values[0], Vector3(*values[1:4]), Vector3(*values[4:7]))


def _arc(index):
    """(revolutions, branch) of arc `index` in the planner's order: 0, then left and right per count."""
    return (index + 1) // 2, (0 if index == 0 else (-1 if index % 2 else 1))


class Transfer:
    """One transfer of the window: departure offset and time of flight (s), the arc's revolution count and
    branch (0 for no revolutions, -1 left, +1 right), the delta-v magnitudes (km/s) and the two burns
    (departure SatBurn, arrival SatBurn) as plan_lambert gives them."""

    __slots__ = ("departure", "tof", "revolutions", "branch", "dv_departure", "dv_arrival", "dv_total", "burns")

    def __init__(self, departure, tof, revolutions, branch, burns):
        self.departure = float(departure)
        self.tof = float(tof)
        self.revolutions = int(revolutions)
        self.branch = int(branch)
        self.burns = burns
        self.dv_departure = burns[0].delta_v.magnitude()
        self.dv_arrival = burns[1].delta_v.magnitude()
        self.dv_total = self.dv_departure + self.dv_arrival

    def as_dict(self):
        burns = [{"time": b.time, "delta_v": list(b.delta_v.to_tuple())} for b in self.burns]
        return {"departure": self.departure, "tof": self.tof, "revolutions": self.revolutions,
                "branch": self.branch, "dv_departure": self.dv_departure, "dv_arrival": self.dv_arrival,
                "dv_total": self.dv_total, "burns": burns}

    def __repr__(self):
        return ("Transfer(departure=%r, tof=%r, revolutions=%d, branch=%d, dv_total=%r)"
                % (self.departure, self.tof, self.revolutions, self.branch, self.dv_total))


class Porkchop:
    """A porkchop grid: `departures` (offsets after the chaser's epoch, s) by `tofs` (s), and for each cell
    the cheapest arc's `dv_departure`, `dv_arrival`, `dv_total` (km/s, NaN where no arc exists),
    `revolutions` (-1 there) and `branch`. `chaser` and `target` are kept as 7-tuples."""

    def __init__(self, chaser, target, departures, tofs, prograde, max_revs, dv_departure, dv_arrival, dv_total,
                 revolutions, branch):
        self.chaser = state_tuple(chaser, "chaser")
        self.target = state_tuple(target, "target")
        self.departures = np.array(departures, dtype=np.float64)  # copies: the caller's arrays may change
        self.tofs = np.array(tofs, dtype=np.float64)
        self.prograde = bool(prograde)
        self.max_revs = int(max_revs)
        shape = (self.departures.size, self.tofs.size)
        if self.departures.ndim != 1 or self.tofs.ndim != 1:
            raise ValueError("departures and tofs must be one-dimensional")
        for name, values in zip(_FIELDS, (dv_departure, dv_arrival, dv_total, revolutions, branch)):
            array = np.asarray(values)
            if array.shape != shape:
                raise ValueError("%s has shape %s, the grid is %s" % (name, array.shape, shape))
            setattr(self, name, array)

    @property
    def shape(self):
        return self.dv_total.shape

    def __repr__(self):
        return "<Porkchop %d departures x %d times of flight, max_revs=%d, %s>" % (
            self.shape + (self.max_revs, "prograde" if self.prograde else "retrograde"))

    # ---- transfers ---------------------------------------------------------------------------------------

    def _best_index(self):
        if self.dv_total.size == 0 or np.isnan(self.dv_total).all():
            raise ValueError("no transfer arc exists anywhere on this grid")
        return np.unravel_index(np.nanargmin(self.dv_total), self.shape)

    def transfer(self, departure, tof):
        """The cheapest transfer leaving `departure` s after the chaser's epoch and flying `tof` s, from
        plan_lambert on the chaser moved to the departure epoch and the target moved to the arrival epoch."""
        from vextal.astro.kepler import propagate_lagrangian_u
        from vextal.astro.transfer_planner import plan_lambert

        chaser = propagate_lagrangian_u(_eci(self.chaser), float(departure))
        target = _eci(self.target)
        gap = (chaser.time + float(tof)) - target.time
        if gap != 0:
            target = propagate_lagrangian_u(target, gap)
        plan = plan_lambert(chaser, target, float(tof), self.prograde, self.max_revs)
        if not plan.burns:
            raise ValueError("no transfer arc for departure %r s, time of flight %r s" % (departure, tof))
        totals = [b1.delta_v.magnitude() + b2.delta_v.magnitude() for b1, b2 in plan.burns]
        index = min(range(len(totals)), key=totals.__getitem__)
        return Transfer(departure, tof, *_arc(index), plan.burns[index])

    def best(self):
        """The cheapest cell of the grid as a Transfer; ValueError when no cell has an arc."""
        i, j = self._best_index()
        return self.transfer(self.departures[i], self.tofs[j])

    def _cost(self, departure, tof):
        out = _porkchop.grid(self.chaser, self.target, (departure,), (tof,), self.prograde, self.max_revs, 1)
        cost = out[2][0, 0]
        return cost if cost == cost else math.inf

    def refine(self, candidates=1):
        """The continuous optimum near the best cell, as a Transfer: a bounded Nelder-Mead search
        (scipy.optimize) over departure and time of flight within the neighbouring grid lines. With
        `candidates` > 1 it also starts from the best cell of each of the next cheapest revolution counts
        and returns the cheapest result. Never worse than best()."""
        optimize = _optional("scipy.optimize", "Porkchop.refine()")
        starts = [self._best_index()]
        if candidates > 1:
            for revs in self._cheapest_revolution_counts()[1:candidates]:
                masked = np.where(self.revolutions == revs, self.dv_total, np.nan)
                starts.append(np.unravel_index(np.nanargmin(masked), self.shape))
        best = self.best()
        for i, j in starts:
            x, cost = self._refine_cell(optimize, i, j)
            if cost < best.dv_total:
                candidate = self.transfer(*x)
                if candidate.dv_total < best.dv_total:
                    best = candidate
        return best

    def _cheapest_revolution_counts(self):
        """The revolution counts present in the grid, cheapest best cell first."""
        counts = {int(revs): np.nanmin(np.where(self.revolutions == revs, self.dv_total, np.nan))
                  for revs in np.unique(self.revolutions[self.revolutions >= 0])}
        return sorted(counts, key=counts.__getitem__)

    def _refine_cell(self, optimize, i, j):
        """Minimises the cost over the free axes (those with more than one grid line) around cell (i, j)."""
        start = [self.departures[i], self.tofs[j]]
        axes, bounds, steps = [], [], []
        for k, (values, index) in enumerate(((self.departures, i), (self.tofs, j))):
            if values.size < 2:
                continue
            low, high = values[max(index - 1, 0)], values[min(index + 1, values.size - 1)]
            low, high = min(low, high), max(low, high)
            if k == 1:
                low = max(low, 1e-3 * high)  # times of flight stay positive
            axes.append(k)
            bounds.append((low, high))
            steps.append(0.25 * (high - low))
        if not axes:
            return start, self._cost(*start)

        def cost(free):
            x = list(start)
            for k, value in zip(axes, free):
                x[k] = value
            return self._cost(*x)

        x0 = np.array([start[k] for k in axes])
        simplex = [x0] + [x0 + np.eye(len(axes))[k] * steps[k] * (1 if x0[k] + steps[k] <= bounds[k][1] else -1)
                          for k in range(len(axes))]
        scale = max(abs(b[1] - b[0]) for b in bounds)
        result = optimize.minimize(cost, x0, method="Nelder-Mead", bounds=bounds,
                                   options={"initial_simplex": np.array(simplex), "xatol": 1e-9 * scale,
                                            "fatol": 1e-14, "maxiter": 2000, "maxfev": 4000})
        x = list(start)
        for k, value in zip(axes, result.x):
            x[k] = float(value)
        return x, float(result.fun)

    # ---- output ------------------------------------------------------------------------------------------

    def plot(self, ax=None, *, levels=None, cmap="viridis", optimum=None, title=None):
        """Filled contours of the total delta-v over departure (x) and time of flight (y), with a colour bar,
        the optimum (best() unless a Transfer is given) marked and labelled, NaN cells blank. Returns the
        figure."""
        plt = _optional("matplotlib.pyplot", "Porkchop.plot()")
        if self.departures.size < 2 or self.tofs.size < 2:
            raise ValueError("a porkchop plot needs at least two departures and two times of flight")
        if optimum is None:
            optimum = self.best()
        if ax is None:
            fig, ax = plt.subplots(figsize=(7.0, 5.0), layout="constrained")
        else:
            fig = ax.figure
        x_scale, x_unit = _time_unit(self.departures)
        y_scale, y_unit = _time_unit(self.tofs)
        cost = np.ma.masked_invalid(self.dv_total.T)
        if levels is None:
            # From the minimum to the median: the cheap half of the window is what the eye looks for;
            # dearer cells take the top colour.
            low, high = float(cost.min()), float(np.nanpercentile(self.dv_total, 50))
            ticker = _optional("matplotlib.ticker", "Porkchop.plot()")
            levels = ticker.MaxNLocator(20).tick_values(low, max(high, low * 1.001 + 1e-9))
        colours = plt.get_cmap(cmap).with_extremes(over="#d9d9d9")  # dear cells recede into grey
        filled = ax.contourf(self.departures / x_scale, self.tofs / y_scale, cost, levels=levels, cmap=colours,
                             extend="max")
        fig.colorbar(filled, ax=ax, label="total delta-v (km/s)")
        ax.plot(optimum.departure / x_scale, optimum.tof / y_scale, marker="*", color="red", markersize=16,
                markeredgecolor="black", linestyle="none", label="optimum")
        # The label goes on the side of the marker facing the middle of the plot, so it stays inside.
        x_mid = 0.5 * (self.departures.min() + self.departures.max())
        y_mid = 0.5 * (self.tofs.min() + self.tofs.max())
        offset = (10 if optimum.departure <= x_mid else -10, 10 if optimum.tof <= y_mid else -10)
        ax.annotate("%.4f km/s\n%d rev" % (optimum.dv_total, optimum.revolutions),
                    (optimum.departure / x_scale, optimum.tof / y_scale), xytext=offset,
                    ha="left" if offset[0] > 0 else "right", va="bottom" if offset[1] > 0 else "top",
                    textcoords="offset points", color="white", fontsize=9,
                    bbox={"boxstyle": "round", "fc": "black", "alpha": 0.6})
        ax.set_xlabel("departure after chaser epoch (%s)" % x_unit)
        ax.set_ylabel("time of flight (%s)" % y_unit)
        ax.set_title(title if title is not None else "Porkchop: up to %d revolution%s, %s"
                     % (self.max_revs, "" if self.max_revs == 1 else "s",
                        "prograde" if self.prograde else "retrograde"))
        return fig

    def rows(self):
        """One (departure, tof, dv_departure, dv_arrival, dv_total, revolutions, branch) tuple per cell."""
        for i, departure in enumerate(self.departures):
            for j, tof in enumerate(self.tofs):
                yield (float(departure), float(tof), float(self.dv_departure[i, j]), float(self.dv_arrival[i, j]),
                       float(self.dv_total[i, j]), int(self.revolutions[i, j]), int(self.branch[i, j]))

    def to_csv(self, path):
        """One line per cell: departure_s, tof_s, dv_departure, dv_arrival, dv_total (km/s; empty where no arc
        exists), revolutions, branch. The file is replaced whole or not at all: a write that fails (a full
        disk, Ctrl-C) leaves the old file as it was."""
        def write(handle):
            writer = csv.writer(handle)
            writer.writerow(["departure_s", "tof_s", "dv_departure_km_s", "dv_arrival_km_s", "dv_total_km_s",
                             "revolutions", "branch"])
            for row in self.rows():
                writer.writerow(["" if v != v else v for v in row])

        _files.replace(path, write)  # whole or not at all: a failed write leaves the old file as it was

    def to_dict(self):
        """The grid as plain data; NaN cells are None."""
        def grid(array):
            return [[None if v != v else v for v in row] for row in array.tolist()]

        return {"chaser": list(self.chaser), "target": list(self.target), "prograde": self.prograde,
                "max_revs": self.max_revs, "departures": self.departures.tolist(), "tofs": self.tofs.tolist(),
                **{name: grid(getattr(self, name)) for name in _FIELDS}}

    def to_json(self, path):
        """The grid as to_dict() gives it, as JSON (written whole or not at all, as to_csv)."""
        data = self.to_dict()
        _files.replace(path, lambda handle: json.dump(data, handle))


def _time_unit(seconds):
    """Hours for spans up to three days, days beyond."""
    span = float(np.max(seconds) - np.min(seconds)) if seconds.size else 0.0
    return (86400.0, "days") if span > 3 * 86400.0 else (3600.0, "hours")


def porkchop(chaser, target, departures, tofs, *, prograde=True, max_revs=0, threads=None, progress=None,
             client=None, chunks=None):
    """The porkchop grid between two states (ECI or 7-tuples): departures are offsets after chaser.time and
    tofs times of flight, in seconds, 1-D. Returns a Porkchop. threads: None for every core. progress: True
    for a progress bar on long grids (tqdm), or a callable that receives the fraction done. client: a
    dask.distributed Client to spread the departure axis over, cut into `chunks` (a count, or a sequence of
    chunk sizes; default four per worker thread), each chunk on one thread unless `threads` is given."""
    if client is not None:
        from vextal.astro import _distributed

        return _distributed.porkchop_on_cluster(chaser, target, departures, tofs, prograde=prograde,
                                                max_revs=max_revs, threads=threads, progress=progress,
                                                client=client, chunks=chunks)
    from vextal.astro._distributed import check_arguments

    chaser, target = state_tuple(chaser, "chaser"), state_tuple(target, "target")
    check_arguments(chaser, [target], departures, tofs, prograde, max_revs, threads)  # all refusals come first
    departures = np.asarray(departures, dtype=np.float64)
    tofs = np.asarray(tofs, dtype=np.float64)
    if not progress:
        arrays = _porkchop.grid(chaser, target, departures, tofs, prograde, max_revs, threads)
    else:
        arrays = _with_progress(chaser, target, departures, tofs, prograde, max_revs, threads, progress)
    return Porkchop(chaser, target, departures, tofs, prograde, max_revs, *arrays)


def _with_progress(chaser, target, departures, tofs, prograde, max_revs, threads, progress):
    """The grid in blocks of departure rows, reporting after each; rows do not depend on the split, so the
    result is the same as one call's."""
    rows = max(1, min(departures.size, 2 ** 16 // max(1, tofs.size)))
    rows = max(rows, -(-departures.size // 200))  # at most about 200 blocks
    per_row = max(tofs.size, 1)  # cells, counted so that an empty grid still ends its count
    parts = []
    with Progress(progress, max(departures.size, 1) * per_row, unit="cell", unit_scale=True, delay=0.5) as bar:
        for start in range(0, max(departures.size, 1), rows):
            block = departures[start:start + rows]
            parts.append(_porkchop.grid(chaser, target, block, tofs, prograde, max_revs, threads))
            bar.advance(block.size * per_row)
    return tuple(np.concatenate([p[k] for p in parts]) for k in range(5))


# Surveys (many targets, locally or on a Dask cluster) live beside the grid's cluster code.
from vextal.astro._survey import Survey, survey  # noqa: E402

__all__ += ["survey", "Survey"]
