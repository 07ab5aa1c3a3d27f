"""Force models: the accelerations that move a satellite, as objects, summed into models.

A force has an acceleration a(t, r, v) and its partials da/dr and da/dv (for the state transition matrix),
computed natively (cpp/core/forces). The forces:

- ``J2(mu=398600.5, j2=1.08262668e-3, radius=6378.1374)``: the central field and the oblateness term J2.
- ``Zonal(degree=6, coefficients=None, mu=398600.5, radius=6378.1374)``: the central field and the zonal
  harmonics J2..Jn, n = degree from 2 to 6. The default coefficients are EGM96's unnormalised ones,
  J2..J6 = 1.08262668e-3, -2.53265649e-6, -1.61962159e-6, -2.27296083e-7, 5.40681239e-7
  (``EGM96_ZONAL``).

A ``Model`` is a sum of forces: ``Model([J2()])``, or ``J2() + other`` for any force. A model holds at most one
field with the central attraction (J2 and Zonal both include it). Fields act about the Earth's pole of date
at the propagation's ``epoch`` (seconds since 1950-01-01 UTC, or a date; the pole from pyerfa's IAU 2006/2000A
precession-nutation, fixed over the arc), or about the frame's z axis with ``epoch=None``.

``propagate``, ``sample`` and ``acceleration`` move states under a model (DOP853, rtol 1e-13 by default: within
1 mm of a far tighter integration after a day in LEO); vextal.astro.trajectory.Numerical is a trajectory
under a model.
"""
from typing import Any, Iterable, List, Optional, SupportsFloat, Tuple, Union

import numpy as np
import numpy.typing as npt

from vextal.astro import _pole, arrays

__all__ = ["Force", "J2", "Zonal", "Model", "EGM96_ZONAL", "MU_EARTH", "EARTH_RADIUS", "as_model", "propagate",
           "sample", "acceleration", "DEFAULT_RTOL"]

MU_EARTH = 398600.5
"""The package's gravitational parameter of the Earth (km^3/s^2)."""
EARTH_RADIUS = 6378.1374
"""The reference (equatorial) radius of the package's fields (km)."""
EGM96_ZONAL: Tuple[float, ...] = (1.08262668e-3, -2.53265649e-6, -1.61962159e-6, -2.27296083e-7, 5.40681239e-7)
"""EGM96's unnormalised zonal coefficients J2..J6."""
DEFAULT_RTOL = 1e-13
"""The step control's default relative tolerance."""

Packed = List[Tuple[str, Tuple[float, ...], Optional[Tuple[float, ...]]]]
Arrays = Tuple[npt.NDArray[np.float64], ...]


def _positive(name: str, value: SupportsFloat) -> float:
    x = float(value)
    if not (x > 0 and np.isfinite(x)):
        raise ValueError("%s must be a positive finite number, not %r" % (name, value))
    return x


class Force:
    """A force of the native registry: `kind` its registered name, `parameters` its numbers in the native
    order. `central` when it includes the central attraction; `polar` when it acts about a pole (the pole
    of date given an epoch)."""

    kind: str = ""
    central: bool = False
    polar: bool = False

    @property
    def parameters(self) -> Tuple[float, ...]:
        raise NotImplementedError

    def __add__(self, other: Union["Force", "Model"]) -> "Model":
        return Model([self]) + other

    def __eq__(self, other: object) -> bool:
        return isinstance(other, Force) and type(other) is type(self) and other.parameters == self.parameters

    def __hash__(self) -> int:
        return hash((self.kind, self.parameters))


class J2(Force):
    """The Earth's central field and its oblateness term J2: `mu` (km^3/s^2, default 398600.5), `j2`
    (unnormalised, default 1.08262668e-3, EGM96's) and `radius` (the reference radius, km, default
    6378.1374)."""

    kind, central, polar = "j2", True, True
    __slots__ = ("mu", "j2", "radius")

    def __init__(self, mu: SupportsFloat = MU_EARTH, j2: SupportsFloat = EGM96_ZONAL[0],
                 radius: SupportsFloat = EARTH_RADIUS) -> None:
        self.mu, self.radius = _positive("mu", mu), _positive("radius", radius)
        self.j2 = float(j2)
        if not np.isfinite(self.j2):
            raise ValueError("j2 must be a finite number, not %r" % (j2,))

    @property
    def parameters(self) -> Tuple[float, ...]:
        return (self.mu, self.j2, self.radius)

    def __repr__(self) -> str:
        return "J2(mu=%r, j2=%r, radius=%r)" % self.parameters


class Zonal(Force):
    """The Earth's central field and its zonal harmonics J2..Jn, n = `degree` from 2 to 6 (default 6):
    `coefficients` J2..Jn unnormalised (default EGM96's: J2..J6 = 1.08262668e-3, -2.53265649e-6,
    -1.61962159e-6, -2.27296083e-7, 5.40681239e-7), `mu` (km^3/s^2, default 398600.5), `radius` (the
    reference radius, km, default 6378.1374)."""

    kind, central, polar = "zonal", True, True
    __slots__ = ("degree", "coefficients", "mu", "radius")

    def __init__(self, degree: int = 6, coefficients: Optional[Iterable[SupportsFloat]] = None, *,
                 mu: SupportsFloat = MU_EARTH, radius: SupportsFloat = EARTH_RADIUS) -> None:
        if isinstance(degree, bool) or not isinstance(degree, (int, np.integer)) or not 2 <= degree <= 6:
            raise ValueError("degree must be an int from 2 to 6, not %r" % (degree,))
        self.degree = int(degree)
        values = EGM96_ZONAL[: self.degree - 1] if coefficients is None else tuple(map(float, coefficients))
        if len(values) != self.degree - 1 or not np.isfinite(values).all():
            raise ValueError("coefficients must be %d finite numbers J2..J%d" % (self.degree - 1, self.degree))
        self.coefficients: Tuple[float, ...] = values
        self.mu, self.radius = _positive("mu", mu), _positive("radius", radius)

    @property
    def parameters(self) -> Tuple[float, ...]:
        return (self.mu, self.radius) + self.coefficients

    def __repr__(self) -> str:
        return "Zonal(%d, coefficients=%r, mu=%r, radius=%r)" % (self.degree, self.coefficients, self.mu, self.radius)


class Model:
    """A sum of forces (at least one; at most one with the central attraction). `mu` is its central field's
    (the package's without one). ``model + force`` and ``model + model`` make new models."""

    __slots__ = ("forces", "_last")

    def __init__(self, forces: Iterable[Force]) -> None:
        items = tuple(forces)
        if not items:
            raise ValueError("a model needs at least one force")
        for f in items:
            if not isinstance(f, Force):
                raise TypeError("a model is made of forces (vextal.astro.forces), not %r" % (f,))
        if sum(f.central for f in items) > 1:
            raise ValueError("a model holds one central field; %r has %d"
                             % (items, sum(f.central for f in items)))
        self.forces: Tuple[Force, ...] = items
        self._last: Tuple[Any, Packed] = (None, self._pack(None))

    @property
    def mu(self) -> float:
        """The central field's gravitational parameter (km^3/s^2)."""
        return next((float(getattr(f, "mu")) for f in self.forces if f.central), MU_EARTH)

    def __add__(self, other: Union[Force, "Model"]) -> "Model":
        if isinstance(other, Force):
            return Model(self.forces + (other,))
        if isinstance(other, Model):
            return Model(self.forces + other.forces)
        return NotImplemented

    def packed(self, epoch: Any = None) -> Packed:
        """The forces as the native door reads them: (kind, parameters, pole) with the rotation to the pole of
        date at `epoch` for the forces that act about a pole, None without one. The last epoch's is kept, so
        that a trajectory or a shooting loop computes its pole once."""
        key = None if epoch is None else _pole.one_epoch(epoch)
        if self._last[0] != key:
            self._last = (key, self._pack(key))
        return self._last[1]

    def _pack(self, epoch: Optional[float]) -> Packed:
        pole = None if epoch is None else tuple(map(float, _pole.pole_rotation(epoch).ravel()))
        return [(f.kind, f.parameters, pole if f.polar else None) for f in self.forces]

    def __reduce__(self) -> Tuple[Any, ...]:
        return Model, (self.forces,)

    def __eq__(self, other: object) -> bool:
        return isinstance(other, Model) and other.forces == self.forces

    def __hash__(self) -> int:
        return hash(self.forces)

    def __repr__(self) -> str:
        return "Model(%r)" % (list(self.forces),)


def as_model(model: Union[Force, Model]) -> Model:
    """A model of a force or a model; TypeError for anything else."""
    if isinstance(model, Model):
        return model
    if isinstance(model, Force):
        return Model([model])
    raise TypeError("a force model must be a vextal.astro.forces Force or Model, not %r" % (model,))


def propagate(r: npt.ArrayLike, v: npt.ArrayLike, dt: npt.ArrayLike, model: Union[Force, Model], *,
              epoch: Any = None, rtol: SupportsFloat = DEFAULT_RTOL, stm: bool = False, errors: str = "nan",
              threads: Optional[int] = None) -> Arrays:
    """States moved under `model`: positions r (..., 3) km and velocities v (..., 3) km/s by dt (...) s
    (either sign), broadcast together. Returns (r, v), or with stm=True (r, v, phi), phi (..., 6, 6) the
    state transition matrices d(r, v)/d(r0, v0) (r and v the same bits as without). `epoch` (s since 1950
    UTC, or a date): fields act about the pole of date then, else about the frame's z axis. `rtol` the step
    control's relative tolerance (1e-15 to 1e-3). A state that cannot be propagated gets NaN rows, or with
    errors='raise' an exception naming it. Ctrl-C stops a long call (KeyboardInterrupt)."""
    return tuple(arrays._propagate_model(r, v, dt, as_model(model).packed(epoch), errors=errors, threads=threads,
                                         rtol=rtol, stm=stm))


def sample(r: npt.ArrayLike, v: npt.ArrayLike, offsets: npt.ArrayLike, model: Union[Force, Model], *,
           epoch: Any = None, rtol: SupportsFloat = DEFAULT_RTOL) -> Arrays:
    """The states (r, v), each offsets.shape + (3,), of the one state r (3,), v (3,) at `offsets` seconds from
    it (any order, either side) under `model`, from one integration each way read by the dense output. The
    state at the farthest offset each way is propagate's, bit for bit. `epoch` and `rtol` as propagate's."""
    return tuple(arrays._sample_model(r, v, offsets, as_model(model).packed(epoch), rtol=rtol))


def acceleration(r: npt.ArrayLike, v: npt.ArrayLike, model: Union[Force, Model], *, epoch: Any = None,
                 t: SupportsFloat = 0.0) -> Arrays:
    """The model's acceleration (..., 3) km/s^2 at positions r and velocities v (broadcast), with its
    partials da/dr (..., 3, 3) 1/s^2 and da/dv (..., 3, 3) 1/s, at `t` seconds from `epoch`."""
    return tuple(arrays._model_partials(r, v, as_model(model).packed(epoch), t=t))
