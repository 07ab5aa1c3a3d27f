"""plan_lambert and the burn records used natively: from a C++ client built against the published header,
and from a Cython client that cimports the package's classes and plan_lambert from .pxd declarations."""
import importlib.util
import os
import tempfile

import pytest

from conftest import build_cython_module, build_native_module
from test_planner_import import PLAN_SIGNATURE
from test_transfer_planner import flat
import vextal
from vextal.astro import transfer_planner as tp
from vextal.astro.orbitvector import ECI, LLH
from vextal.matrix4 import Matrix4
from vextal.vector3 import Vector3

A = ECI(10.0, Vector3(7000.0, 0.0, 0.0), Vector3(0.0, 7.546, 0.0))
B = ECI(10.0, Vector3(0.0, 7200.0, 0.0), Vector3(-7.44, 0.0, 0.0))
TOF = 16000.0  # about three LEO periods: two revolution counts feasible


@pytest.fixture(scope="module")
def client():
    module = build_native_module("planner_client")
    assert module.import_planner() == PLAN_SIGNATURE
    return module


@pytest.mark.parametrize("native, python", [
    ((), ()),                      # null options record: is_prograde true, max_revs 10
    ((0, 0, 0), ()),               # count 0: both defaults, whatever the record holds
    ((-5, 0, 0), ()),
    ((1, 0, 0), (False,)),         # count 1: is_prograde from the record, max_revs 10
    ((1, 1, 0), (True,)),
    ((2, 0, 1), (False, 1)),       # count 2: both from the record
    ((2, 1, 0), (True, 0)),
    ((3, 1, 1), (True, 1)),        # more than 2 counts as 2
    ((2, 1, 1, 1), (True, 1)),     # skip_dispatch is ignored
])
def test_native_entry_and_its_options(client, native, python):
    result = client.plan(A, B, TOF, *native)
    assert type(result) is tp.LambertMultiRevResult
    assert flat(result) == flat(tp.plan_lambert(A, B, TOF, *python))
    assert len(result.burns) > 1 or python[1:] == (0,)


def test_records_read_natively(client):
    result = client.plan(A, B, TOF, 2, 1, 2)
    assert client.fields(result) == (result.burns,)
    for departure, arrival in result.burns:
        assert client.fields(departure) == (10.0, departure.delta_v)
        assert client.fields(arrival) == (arrival.time, arrival.delta_v)
        assert client.fields(arrival)[1] is arrival.delta_v
    assert client.fields(tp.SatBurn(2, None)) == (2.0, None)


def test_native_failures_are_exceptions(client):
    with pytest.raises(AttributeError, match="time"):
        client.plan(None, B, TOF)
    with pytest.raises(TypeError, match="Cannot convert NoneType to vextal.vector3.Vector3"):
        client.plan(A, ECI(10.0 + TOF, B.position, None), TOF)


@pytest.mark.parametrize("func, values, kwnames, message", [
    (tp.plan_lambert, (A, B, 1.0, 3), (7,), "plan_lambert() keywords must be strings"),
    (tp.plan_lambert, (A, B, 1.0, 3), ("max_revs\0",), "plan_lambert() got an unexpected keyword argument 'max_revs\0'"),
    (tp.SatBurn, (1.0, 2.0), (b"time",), "__cinit__() keywords must be strings"),
])
def test_keyword_names_that_are_not_strings(client, func, values, kwnames, message):
    with pytest.raises(TypeError) as info:
        client.vectorcall(func, values, kwnames)
    assert str(info.value) == message


def test_keyword_found_by_equality_not_identity(client):
    name = "".join(["max_", "revs"])  # a str equal to, but not the interned, parameter name
    assert flat(client.vectorcall(tp.plan_lambert, (A, B, TOF, 0), (name,))) == flat(tp.plan_lambert(A, B, TOF, True, 0))


def test_executing_on_a_second_module_object_is_refused(client):
    with pytest.raises(RuntimeError) as info:
        client.exec_again(tp)
    assert str(info.value) == ("Module 'transfer_planner' has already been imported. Re-initialisation is not "
                               "supported.")
    assert tp.plan_lambert(A, B, TOF, True, 0).burns  # the module is unharmed


# ---- a Cython client ------------------------------------------------------------------------------------

CLIENT_DIR = os.path.join(os.path.dirname(__file__), "cython_client")


@pytest.fixture(scope="module")
def cython_client():
    pytest.importorskip("Cython")
    out = tempfile.mkdtemp(prefix="vextal-cython-client-")
    package_parent = os.path.dirname(os.path.dirname(os.path.abspath(vextal.__file__)))
    pythonpath = os.pathsep.join(filter(None, [package_parent, os.environ.get("PYTHONPATH")]))
    target = build_cython_module(os.path.join(CLIENT_DIR, "planner_cy.pyx"), out, pythonpath)
    spec = importlib.util.spec_from_file_location("planner_cy", target)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


@pytest.mark.parametrize("options", [(), (False,), (True, 0), (False, 1), (True, 10)])
def test_cython_client_plans(cython_client, options):
    result = cython_client.plan(A, B, TOF, *options)
    assert flat(result) == flat(tp.plan_lambert(A, B, TOF, *options))
    costs = cython_client.arc_costs(result)
    assert costs == [d.delta_v.magnitude() + a.delta_v.magnitude() for d, a in result.burns]
    for departure, arrival in result.burns:
        assert cython_client.burn_fields(arrival) == (arrival.time, arrival.delta_v)


def test_cython_client_uses_the_classes(cython_client):
    a, b = Vector3(1.0, 2.0, 3.0), Vector3(-2.0, 0.5, 4.0)
    m = Matrix4(0, -1, 0, 5, 1, 0, 0, 6, 0, 0, 1, 7, 0, 0, 0, 1)
    got = cython_client.vector_calls(a, b, m)
    expected = (a.magnitude_squared(), a.dot(b), a.cross(b), a.subtract(b), a.transform(m), a.lerp(b, 0.25),
                a.is_close(b, 1e-9), a.to_tuple(), m.determinant(), m.inverse())
    assert got == expected
    state = ECI(3.0, Vector3(7000.0, 10.0, 20.0), Vector3(0.1, 7.5, 0.3))
    assert cython_client.state_fields(state) == (3.0, state.position, state.velocity)
    sma, period, rotation, relative = cython_client.eci_calls(state, A)
    assert (sma, period) == (state.compute_sma(), state.compute_period())
    assert rotation == state.eci_to_ric()
    assert type(relative).__name__ == "RIC" and relative.position == state.to_ric(A).position
    efg, length = cython_client.llh_calls(LLH(10.0, 20.0, 0.5))
    assert efg == LLH(10.0, 20.0, 0.5).to_efg() and length == LLH(10.0, 20.0, 0.5).magnitude()
    with pytest.raises(TypeError):
        cython_client.plan(A, tp.SatBurn(), TOF)  # Cython checks the declared class
