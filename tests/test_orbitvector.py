"""The state classes of vextal.astro.orbitvector from Python: layout, construction, properties, pickling,
garbage collection and memory."""
import copy
import gc
import pickle
import sys
import traceback
import weakref

import pytest

from conftest import build_native_module, leaked_blocks, run_python
from vextal.astro import orbitvector as ov
from vextal.astro.orbitvector import ECI, EFG, LLH, RIC, _OrbitVector
from vextal.vector3 import Vector3

STATES = [_OrbitVector, ECI, EFG, RIC]
ARG_TYPE = "Argument '{}' has incorrect type (expected {}, got {})"
NO_REDUCE = "no default __reduce__ due to non-trivial __cinit__"
STRUCT_PICKLING = ("Pickling of struct members such as self._vector must be explicitly requested with "
                   "@auto_pickle(True)")

# The base class's docstring, line by line.
ORBIT_VECTOR_DOC_LINES = [
    "A base class for different satellite state data.",
    " " * 4,
    "    Constructor Parameters: (:cy:type:`double` time = 0,",
    "                             :cy:type:`Vector3` position = Vector3(),",
    "                             :cy:type:`Vector3` velocity = Vector3())",
    " " * 4,
    "    * *time* :cy:type:`double`",
    " " * 5,
    "      * The time in DS1950 UTC to associate with the state vectors. Optional  ",
    " " * 6,
    "    * *position* :cy:type:`Vector3`",
    " " * 5,
    "      * The position in km of the satellite within a coordinate frame. Optional",
    " " * 6,
    "    * *velocity* :cy:type:`Vector3`",
    " " * 5,
    "      * The velocity in km of the satellite within a coordinate frame. Optional       ",
    " " * 4,
]


def last_frame(excinfo):
    frame = traceback.extract_tb(excinfo.tb)[-1]
    return frame.name, frame.filename


# ---- classes ------------------------------------------------------------------------------------------------

@pytest.mark.parametrize("cls, name, size, base", [
    (_OrbitVector, "vextal.astro.orbitvector._OrbitVector", 40, object),
    (ECI, "vextal.astro.orbitvector.ECI", 48, _OrbitVector),
    (EFG, "vextal.astro.orbitvector.EFG", 48, _OrbitVector),
    (RIC, "vextal.astro.orbitvector.RIC", 48, _OrbitVector),
    (LLH, "vextal.astro.orbitvector.LLH", 48, Vector3),
])
def test_class_layout(cls, name, size, base):
    assert cls.__module__ + "." + cls.__qualname__ == name
    assert cls.__basicsize__ == size
    assert cls.__bases__ == (base,)
    assert ("__pyx_vtable__" in cls.__dict__) == (cls is not _OrbitVector)
    assert type(cls.__dict__.get("__pyx_vtable__", None)).__name__ in ("PyCapsule", "NoneType")


@pytest.mark.parametrize("cls, doc", [
    (_OrbitVector, "\n".join(ORBIT_VECTOR_DOC_LINES)),
    (ECI, "A satellite state in the ECI coordinate frame of J2K\n    "),
    (EFG, "A satellite state in the EFG coordinate frame\n    "),
    (RIC, None),
    (LLH, None),
])
def test_class_docstrings(cls, doc):
    assert cls.__doc__ == doc


def test_methods_have_no_docstrings_and_properties_do():
    for cls, names in [(ECI, ["to_ric", "eci_to_ric", "compute_sma", "compute_mean_motion", "compute_energy",
                              "compute_period"]), (EFG, ["to_eci", "to_llh"]), (RIC, ["to_eci"]), (LLH, ["to_efg"])]:
        for name in names:
            assert cls.__dict__[name].__doc__ is None
    assert _OrbitVector.time.__doc__ == "Satellite state epoch time in DS1950 UTC."
    assert _OrbitVector.position.__doc__ == "Satellite state position in km"
    assert _OrbitVector.velocity.__doc__ == "Satellite state velocity in km/s"


def test_module_attributes():
    assert list(k for k in vars(ov) if k in ("_OrbitVector", "ECI", "EFG", "RIC", "LLH")) == [
        "_OrbitVector", "ECI", "EFG", "RIC", "LLH"]
    assert ov.__test__ == {} and ov.__doc__ is None
    assert ov.__builtins__ is sys.modules["builtins"]
    assert ov.__file__ == ov.__spec__.origin and ov.__loader__ is ov.__spec__.loader
    assert ov.__package__ == "vextal.astro"
    hidden = ["MAGNITUDE_EPSILON", "MU_EARTH", "DEG_TO_RAD", "RAD_TO_DEG", "EARTH_ECCENTRICITY_SQ",
              "EARTH_EQUATORIAL_RADIUS", "_default_position", "_default_velocity", "Vector3", "Matrix4"]
    assert not [name for name in hidden if hasattr(ov, name)]


def test_base_class_offers_only_the_state():
    state = _OrbitVector()
    public = {n for n in dir(state) if not n.startswith("__")}
    assert public == {"time", "position", "velocity"}


# ---- construction -------------------------------------------------------------------------------------------

def test_defaults_are_shared_across_classes():
    states = [cls() for cls in STATES]
    assert all(s.time == 0.0 and type(s.time) is float for s in states)
    assert len({id(s.position) for s in states}) == 1
    assert len({id(s.velocity) for s in states}) == 1
    assert states[0].position is not states[0].velocity
    assert type(states[0].position) is Vector3
    # A state built with only a position still shares the default velocity.
    assert ECI(1.0, Vector3()).velocity is states[1].velocity


@pytest.mark.parametrize("cls", STATES)
def test_vectors_are_stored_not_copied(cls):
    p, v = Vector3(1, 2, 3), Vector3(4, 5, 6)
    state = cls(2.5, p, v)
    assert state.position is p and state.velocity is v and state.time == 2.5
    p.x = 10.0
    assert state.position.x == 10.0
    assert cls(velocity=v, time=1).velocity is v


@pytest.mark.parametrize("args, kwargs, time, position, velocity", [
    ((), {"position": None}, 0.0, None, "default"),
    ((3,), {"velocity": None}, 3.0, "default", None),
    ((True,), {}, 1.0, "default", "default"),
    ((7,), {}, 7.0, "default", "default"),
])
def test_construction_values(args, kwargs, time, position, velocity):
    defaults = ECI()
    state = ECI(*args, **kwargs)
    assert state.time == time
    assert state.position is (defaults.position if position == "default" else position)
    assert state.velocity is (defaults.velocity if velocity == "default" else velocity)


def test_vector_subclasses_are_accepted():
    llh = LLH(1, 2, 3)
    state = ECI(0, llh)
    assert state.position is llh

    class Number:
        def __float__(self):
            return 4.25
    assert ECI(Number()).time == 4.25


@pytest.mark.parametrize("args, kwargs, message", [
    ((1, 2), {}, ARG_TYPE.format("position", "vextal.vector3.Vector3", "int")),
    ((0, None, 3.0), {}, ARG_TYPE.format("velocity", "vextal.vector3.Vector3", "float")),
    ((0, ECI()), {}, ARG_TYPE.format("position", "vextal.vector3.Vector3", "vextal.astro.orbitvector.ECI")),
    ((1, 2, 3, 4), {}, "__cinit__() takes at most 3 positional arguments (4 given)"),
    ((), {"foo": 1}, "__cinit__() got an unexpected keyword argument 'foo'"),
    ((1,), {"time": 2}, "__cinit__() got multiple values for keyword argument 'time'"),
    # order of the checks: count, keywords, time, position, velocity
    ((1, 2, 3, 4), {"foo": 1}, "__cinit__() takes at most 3 positional arguments (4 given)"),
    (("x",), {"foo": 1}, "__cinit__() got an unexpected keyword argument 'foo'"),
    (("x", 1), {}, "must be real number, not str"),
    ((0, 1), {"velocity": 2}, ARG_TYPE.format("position", "vextal.vector3.Vector3", "int")),
])
def test_construction_errors(args, kwargs, message):
    for cls in STATES:
        with pytest.raises(TypeError) as excinfo:
            cls(*args, **kwargs)
        assert str(excinfo.value) == message
        assert last_frame(excinfo) == ("vextal.astro.orbitvector._OrbitVector.__cinit__", "astro/orbitvector.cpp")


def test_time_conversion_error_is_passed_on():
    class Bad:
        def __float__(self):
            raise ZeroDivisionError("no float")
    with pytest.raises(ZeroDivisionError, match="no float"):
        ECI(Bad())


HALF_BUILT = """
import gc
from vextal.astro.orbitvector import ECI, RIC
from vextal.vector3 import Vector3
seen = []
class Stealing:
    # reaches the state under construction (already tracked by the collector) and uses its native table
    def __float__(self):
        for o in gc.get_objects():
            if type(o) is ECI and o.position is None:
                seen.append(o.compute_sma())
                try:
                    RIC(0, Vector3(), Vector3()).to_eci(o)
                except AttributeError as exc:  # the chief's position is still None
                    seen.append(str(exc))
        return 1.0
state = ECI(Stealing(), Vector3(7000.0, 0.0, 0.0), Vector3(0.0, 7.5, 0.0))
print(seen, state.time, state.compute_sma() > 0)
"""


def test_state_under_construction_already_has_its_table():
    out = run_python(HALF_BUILT).stdout
    assert out.strip() == "[0.0, \"'NoneType' object has no attribute 'normalize'\"] 1.0 True"


def test_arguments_reach_the_constructor_through_a_subclass_init():
    seen = []

    class Labelled(ECI):
        def __init__(self, time, position=None, velocity=None):
            seen.append((time, position))

    p = Vector3(1, 1, 1)
    state = Labelled(5.0, p)
    assert state.time == 5.0 and state.position is p and seen == [(5.0, p)]
    assert type(state.time) is float

    class Tagged(EFG):
        def __init__(self, *args, tag=None):
            self.tag = tag

    with pytest.raises(TypeError, match="unexpected keyword argument 'tag'"):
        Tagged(1.0, tag="x")


# ---- properties ---------------------------------------------------------------------------------------------

@pytest.mark.parametrize("cls", STATES)
@pytest.mark.parametrize("name", ["time", "position", "velocity", "foo"])
def test_attributes_are_read_only(cls, name):
    state = cls()
    with pytest.raises(AttributeError):
        setattr(state, name, Vector3())
    with pytest.raises(AttributeError):
        delattr(state, name)


def test_no_new_attributes_on_llh_and_classes_are_closed():
    with pytest.raises(AttributeError):
        LLH().foo = 1
    with pytest.raises(TypeError):
        ECI.foo = 1


def test_python_subclass_instances_have_a_dict():
    class Mine(RIC):
        pass
    state = Mine()
    state.label = "chief"
    assert state.label == "chief" and state.position is RIC().position


def test_identity_comparison_and_hash():
    a, b = ECI(), ECI()
    assert a != b and a == a
    assert hash(a) != hash(b)
    assert repr(a).startswith("<vextal.astro.orbitvector.ECI object at")


# ---- pickling -----------------------------------------------------------------------------------------------

def _subclass_of_eci():
    class Sub(ECI):
        pass
    return Sub


@pytest.mark.parametrize("make", [_OrbitVector, ECI, EFG, RIC, lambda: _subclass_of_eci()()])
@pytest.mark.parametrize("operation", [
    pickle.dumps,
    lambda s: pickle.dumps(s, protocol=0),
    lambda s: pickle.dumps(s, protocol=pickle.HIGHEST_PROTOCOL),
    copy.copy,
    copy.deepcopy,
    lambda s: s.__reduce__(),
    lambda s: s.__reduce_ex__(2),
    lambda s: s.__setstate__({}),
])
def test_pickling_and_copying_refused(make, operation):
    with pytest.raises(TypeError) as excinfo:
        operation(make())
    assert str(excinfo.value) == NO_REDUCE


@pytest.mark.parametrize("cls", STATES)
def test_refusal_is_installed_under_the_pickling_names(cls):
    assert "__reduce__" in cls.__dict__ and "__setstate__" in cls.__dict__
    assert "__reduce_cython__" not in cls.__dict__ and "__setstate_cython__" not in cls.__dict__


def test_llh_keeps_vector3_pickling():
    point = LLH(45.0, 10.0, 0.25)
    for again in (pickle.loads(pickle.dumps(point)), copy.copy(point), copy.deepcopy(point)):
        assert type(again) is LLH and again == point and again is not point
    # Its own refusal stays under the internal names and plays no part in pickling.
    assert "__reduce__" not in LLH.__dict__
    for call in (lambda: point.__reduce_cython__(), lambda: point.__setstate_cython__(None)):
        with pytest.raises(TypeError) as excinfo:
            call()
        assert str(excinfo.value) == STRUCT_PICKLING


def test_llh_is_a_vector():
    point = LLH(1, 2, 3)
    assert (point.x, point.y, point.z) == (1.0, 2.0, 3.0)
    assert type(point + Vector3(1, 1, 1)) is Vector3
    assert point.magnitude_squared() == 14.0


# ---- garbage collection and memory ------------------------------------------------------------------------

def test_cycle_through_subclass_dict_is_collected():
    class Node(ECI):
        pass
    node = Node()
    node.me = node
    ref = weakref.ref(node)
    del node
    gc.collect()
    assert ref() is None


def test_cycle_through_stored_vector_is_collected():
    class Tagged(Vector3):
        pass
    finalized = []

    class Owner(EFG):
        def __del__(self):
            finalized.append(True)

    vector = Tagged(1, 2, 3)
    state = Owner(0, vector, vector)
    vector.owner = state  # state -> vector (its position) -> vector.__dict__ -> state
    ref = weakref.ref(vector)
    del vector, state
    gc.collect()
    assert ref() is None and finalized == [True]


def test_finalizer_may_resurrect():
    kept = []

    class Phoenix(ECI):
        def __del__(self):
            kept.append(self)

    p = Vector3(1, 2, 3)
    Phoenix(2.0, p)
    gc.collect()
    assert kept and kept[0].position is p and kept[0].time == 2.0


def _blocks_leaked(action, rounds=3000):
    def run(count):
        for _ in range(count):
            action()

    return leaked_blocks(run, rounds, warmup=50)


class _Sub(ECI):
    pass


_P, _V = Vector3(7000, 10, 20), Vector3(0.1, 7.5, 0.2)
_STATE = _Sub(1.0, _P, _V)
_CHIEF = ECI(0.0, Vector3(7100, 0, 0), Vector3(0, 7.4, 0.1))


def _failing_construction():
    try:
        ECI(0, 1)
    except TypeError:
        pass


def _failing_conversion():
    try:
        _STATE.to_ric(3.0)
    except TypeError:
        pass


@pytest.mark.parametrize("action", [
    lambda: ECI(1.0, _P, _V),
    lambda: _Sub(1.0, _P, _V),
    lambda: (_STATE.time, _STATE.position, _STATE.velocity),
    lambda: _STATE.compute_period(),
    lambda: _STATE.to_ric(_CHIEF).to_eci(_CHIEF),
    _failing_construction,
    _failing_conversion,
], ids=["construct", "construct-subclass", "properties", "compute_period", "to_ric-to_eci", "bad-construct",
        "bad-chief"])
def test_long_loops_leave_allocated_blocks_flat(action):
    assert _blocks_leaked(action) < 100


@pytest.mark.parametrize("cls, name, body, chief", [
    (ECI, "compute_energy", None, ()),                        # cached "no override"
    (ECI, "compute_energy", lambda self: -3.0, ()),           # override called
    (ECI, "compute_energy", lambda self: "x", ()),            # override result refused, reported, 0.0
    (ECI, "to_ric", lambda self, chief: 4, (_CHIEF,)),         # override result refused, error raised
    (ECI, "to_ric", None, (_CHIEF,)),                         # the conversion itself
    (RIC, "to_eci", None, (_CHIEF,)),
])
def test_native_dispatch_in_a_long_loop_leaves_allocated_blocks_flat(monkeypatch, cls, name, body, chief):
    client = build_native_module("orbit_client")
    monkeypatch.setattr(sys, "excepthook", lambda *args: None)
    monkeypatch.setattr(sys, "unraisablehook", lambda args: None)
    self = type("Looped", (cls,), {} if body is None else {name: body})(1.0, _P, _V)
    entry = cls.__name__ + "." + name

    def action():
        try:
            client.repeat(entry, self, 5, 0, *chief)
        except TypeError:
            pass
    assert _blocks_leaked(action, 2000) < 100
