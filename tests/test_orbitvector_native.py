"""The native method tables of ECI, EFG, RIC and LLH, called from another extension module the way a third
party would (tests/native/orbit_client.cpp): skip_dispatch, Python overrides and the override cache."""
import math
import sys

import pytest

from conftest import build_native_module
from vextal.astro.orbitvector import ECI, EFG, LLH, RIC
from vextal.matrix4 import Matrix4
from vextal.vector3 import Vector3


@pytest.fixture(scope="module")
def client():
    return build_native_module("orbit_client")


@pytest.fixture
def reports(monkeypatch):
    seen = []
    monkeypatch.setattr(sys, "excepthook", lambda t, v, tb: seen.append(v))
    monkeypatch.setattr(sys, "unraisablehook", lambda args: seen.append((args.exc_value, args.object)))
    return seen


def chief():
    return ECI(0.0, Vector3(7000, 0, 0), Vector3(0, 7.5, 0))


# entry: (class, Python method, arguments after self, declared result class)
ENTRIES = {
    "ECI.to_ric": (ECI, "to_ric", (chief(),), RIC),
    "ECI.eci_to_ric": (ECI, "eci_to_ric", (), Matrix4),
    "ECI.compute_sma": (ECI, "compute_sma", (), float),
    "ECI.compute_mean_motion": (ECI, "compute_mean_motion", (), float),
    "ECI.compute_energy": (ECI, "compute_energy", (), float),
    "ECI.compute_period": (ECI, "compute_period", (), float),
    "EFG.to_eci": (EFG, "to_eci", (), ECI),
    "EFG.to_llh": (EFG, "to_llh", (), LLH),
    "RIC.to_eci": (RIC, "to_eci", (chief(),), ECI),
    "LLH.to_efg": (LLH, "to_efg", (), Vector3),
}
OBJECT_ENTRIES = [e for e, spec in ENTRIES.items() if spec[3] is not float]
DOUBLE_ENTRIES = [e for e, spec in ENTRIES.items() if spec[3] is float]


def make(cls):
    if issubclass(cls, LLH):
        return cls(45.0, 10.0, 0.5)
    return cls(12.0, Vector3(7010.0, 15.0, -4.0), Vector3(0.05, 7.45, 0.3))


def key(value):
    """A comparable picture of an entry's result."""
    if isinstance(value, float):
        return "nan" if math.isnan(value) else value
    if isinstance(value, Vector3):
        return type(value), value.x, value.y, value.z
    if isinstance(value, Matrix4):
        return type(value), value.tolist()
    if value is None:
        return None
    return type(value), value.time, key(value.position), key(value.velocity)


def native(client, entry, self, skip):
    return client.call(entry, self, skip, *ENTRIES[entry][2])


def python(entry, self):
    return getattr(self, ENTRIES[entry][1])(*ENTRIES[entry][2])


def sentinel(entry):
    declared = ENTRIES[entry][3]
    return {float: -1234.5, Vector3: LLH(-1, -2, -3), Matrix4: Matrix4(*range(16)), RIC: RIC(-1.0),
            ECI: ECI(-2.0), LLH: LLH(-4, -5, -6)}[declared]


# ---- each entry -----------------------------------------------------------------------------------------------

@pytest.mark.parametrize("entry", ENTRIES)
@pytest.mark.parametrize("skip", [0, 1])
@pytest.mark.parametrize("subclass", [False, True])
def test_entry_matches_the_python_method(client, entry, skip, subclass):
    cls = ENTRIES[entry][0]
    if subclass:
        cls = type("Plain" + cls.__name__, (cls,), {})
    self = make(cls)
    for _ in range(3):  # the first call looks the method up, the later ones may skip the lookup
        assert key(native(client, entry, self, skip)) == key(python(entry, self))


@pytest.mark.parametrize("entry", ENTRIES)
def test_override_runs_natively_unless_skipped(client, entry):
    received = []
    result = sentinel(entry)

    def override(self, *args):
        received.append(args)
        return result
    base, name = ENTRIES[entry][0], ENTRIES[entry][1]
    self = make(type("Over", (base,), {name: override}))
    assert key(native(client, entry, self, 0)) == key(result)
    assert received == [ENTRIES[entry][2]]
    received.clear()
    assert key(native(client, entry, self, 1)) == key(getattr(base, name)(self, *ENTRIES[entry][2]))
    assert received == []


@pytest.mark.parametrize("entry", OBJECT_ENTRIES)
@pytest.mark.parametrize("result, type_name", [(3, "int"), ("x", "str"), ([1], "list")])
def test_override_with_a_wrong_result_type(client, entry, result, type_name):
    base, name, _, declared = ENTRIES[entry]
    self = make(type("Wrong", (base,), {name: lambda self, *args: result}))
    with pytest.raises(TypeError) as excinfo:
        native(client, entry, self, 0)
    declared_name = declared.__module__ + "." + declared.__qualname__
    assert str(excinfo.value) == "Cannot convert %s to %s" % (type_name, declared_name)


@pytest.mark.parametrize("entry", OBJECT_ENTRIES)
def test_override_may_return_none_or_a_subclass(client, entry):
    base, name, _, declared = ENTRIES[entry]
    self = make(type("NoneResult", (base,), {name: lambda self, *args: None}))
    assert native(client, entry, self, 0) is None
    special = type("Special", (declared,), {})
    value = special() if declared is not Matrix4 else special(*range(16))
    self = make(type("SubResult", (base,), {name: lambda self, *args: value}))
    assert native(client, entry, self, 0) is value


@pytest.mark.parametrize("entry", DOUBLE_ENTRIES)
def test_double_override_failure_is_reported(client, entry, reports):
    base, name, _, _ = ENTRIES[entry]
    self = make(type("Broken", (base,), {name: lambda self: "nope"}))
    assert native(client, entry, self, 0) == 0.0
    assert [type(r).__name__ if not isinstance(r, tuple) else r[1] for r in reports] == [
        "TypeError", "vextal.astro.orbitvector.ECI." + name]


def test_override_result_error_propagates(client):
    class Raising(EFG):
        def to_llh(self):
            raise ValueError("no geodesy today")
    with pytest.raises(ValueError, match="no geodesy today"):
        client.call("EFG.to_llh", make(Raising), 0)


def test_llh_carries_its_own_table_with_vector3_entries_first(client):
    assert client.llh_table_copies_vector3()
    point = LLH(3, 4, 12)
    assert client.vtab_of(point) == client.table_of(LLH) != client.table_of(Vector3)
    assert client.call("LLH.magnitude", point, 0) == 13.0


@pytest.mark.parametrize("cls", [ECI, EFG, RIC, LLH])
def test_subclass_instances_carry_their_frame_table(client, cls):
    sub = type("Sub", (cls,), {})
    assert client.vtab_of(make(sub)) == client.vtab_of(make(cls)) == client.table_of(cls)


def test_non_string_keyword_is_refused(client):
    with pytest.raises(TypeError) as excinfo:
        client.call_with_kwargs(ECI, (), {1: 2})
    assert str(excinfo.value) == "__cinit__() keywords must be strings"


def test_wrong_chief_natively(client):
    with pytest.raises(TypeError, match="got vextal.astro.orbitvector.EFG"):
        client.call("ECI.to_ric", make(ECI), 0, EFG())
    with pytest.raises(TypeError, match="got NoneType"):
        client.call("RIC.to_eci", make(RIC), 1, None)


# ---- the override cache -------------------------------------------------------------------------------------

class CountingLookup:
    """A class attribute that hands out the base class's own method and counts how often it is looked up."""

    def __init__(self, base, name):
        self.method, self.lookups = getattr(base, name), 0

    def __get__(self, instance, owner):
        self.lookups += 1
        return self.method if instance is None else self.method.__get__(instance, owner)


@pytest.mark.parametrize("entry", ENTRIES)
def test_lookup_is_skipped_after_the_first_call(client, entry):
    base, name = ENTRIES[entry][0], ENTRIES[entry][1]
    counter = CountingLookup(base, name)
    self = make(type("Counted", (base,), {name: counter}))
    expected = key(python(entry, self))
    counter.lookups = 0
    results = {repr(key(native(client, entry, self, 0))) for _ in range(20)}
    assert results == {repr(expected)}
    assert counter.lookups == 1
    native(client, entry, self, 1)
    assert counter.lookups == 1


@pytest.mark.parametrize("entry", ["ECI.compute_energy", "ECI.eci_to_ric", "EFG.to_llh", "LLH.to_efg"])
def test_method_added_later_to_a_base_class_is_honoured(client, entry):
    base, name = ENTRIES[entry][0], ENTRIES[entry][1]
    middle = type("Middle", (base,), {})
    leaf = type("Leaf", (middle,), {})
    self = make(leaf)
    plain = key(native(client, entry, self, 0))
    assert key(native(client, entry, self, 0)) == plain  # cached "no override" now
    result = sentinel(entry)
    setattr(middle, name, lambda self, *args: result)
    assert key(native(client, entry, self, 0)) == key(result)
    delattr(middle, name)
    assert key(native(client, entry, self, 0)) == plain
    setattr(leaf, name, lambda self, *args: result)
    assert key(native(client, entry, self, 0)) == key(result)


def test_instance_attribute_shadows_a_cached_class(client):
    cls = type("Open", (ECI,), {})
    self = make(cls)
    plain = client.call("ECI.compute_energy", self, 0)
    assert client.call("ECI.compute_energy", self, 0) == plain
    self.compute_energy = lambda: 5.0
    assert client.call("ECI.compute_energy", self, 0) == 5.0
    assert client.call("ECI.compute_energy", make(cls), 0) == plain


def test_cache_is_not_confused_between_classes(client):
    quiet = make(type("Quiet", (ECI,), {}))
    loud = make(type("Loud", (ECI,), {"compute_energy": lambda self: 99.0}))
    plain = client.call("ECI.compute_energy", make(ECI), 0)
    for _ in range(5):
        assert client.call("ECI.compute_energy", quiet, 0) == plain
        assert client.call("ECI.compute_energy", loud, 0) == 99.0


def test_subclass_without_dict_and_with_getattribute(client):
    slotted = type("Slotted", (ECI,), {"__slots__": (), "compute_energy": lambda self: 1.5})
    assert client.call("ECI.compute_energy", make(slotted), 0) == 1.5
    lookups = []

    class Watched(ECI):
        def __getattribute__(self, name):
            lookups.append(name)
            return super().__getattribute__(name)
    watched = make(Watched)
    for _ in range(3):
        client.call("ECI.compute_energy", watched, 0)
    # A class with its own attribute lookup may answer differently each time: it is asked every time.
    assert lookups.count("compute_energy") == 3

