"""Import of vextal.astro.transfer_planner, and plan_lambert against a stand-in solver and propagator.

Each case runs in a fresh interpreter. A case may break a sibling before the planner is imported (drop a
capsule, replace a class) to see the import refuse it. STANDINS replaces the Lambert solver and the Kepler
propagator by Python stand-ins: a class of LambertProblem's instance size whose record fields hold what the
case wants, and a ctypes callback published as the native propagate_lagrangian_u; both log their calls.
"""
import textwrap

import pytest

from conftest import run_python

SIGNATURES = {
    "CreateKeplerEquationBinding": "struct __pyx_obj_6vextal_5astro_4root_KeplerEquationBinding *"
    "(__pyx_t_6vextal_5astro_4root_KeplerEquation, double, double, double, double, double)",
    "bracket_and_solve_root": "PyObject *(struct __pyx_obj_6vextal_5astro_4root_RootFunctionBinding *, double, "
    "double, int, int)",
    "propagate_lagrangian": "PyObject *(struct __pyx_obj_6vextal_7vector3_Vector3 *, struct "
    "__pyx_obj_6vextal_7vector3_Vector3 *, double, double, int __pyx_skip_dispatch)",
    "propagate_lagrangian_u": "struct __pyx_obj_6vextal_5astro_11orbitvector_ECI *(struct "
    "__pyx_obj_6vextal_5astro_11orbitvector_ECI *, double, int __pyx_skip_dispatch)",
}
PLAN_SIGNATURE = (
    "struct __pyx_obj_6vextal_5astro_16transfer_planner_LambertMultiRevResult *(struct "
    "__pyx_obj_6vextal_5astro_11orbitvector_ECI *, struct __pyx_obj_6vextal_5astro_11orbitvector_ECI *, double, "
    "int __pyx_skip_dispatch, struct __pyx_opt_args_6vextal_5astro_16transfer_planner_plan_lambert "
    "*__pyx_optional_args)"
)

PRELUDE = r'''
import ctypes, sys, types, warnings
import vextal.astro.kepler, vextal.astro.multirev_arcs, vextal.astro.orbitvector, vextal.astro.root
from vextal.vector3 import Vector3 as V

SIGNATURES = %(signatures)r
_names = []
_capsule_new = ctypes.pythonapi.PyCapsule_New
_capsule_new.restype = ctypes.py_object
_capsule_new.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_void_p]


def capsule(pointer=1, name=None):
    if name is not None:
        name = name.encode()
        _names.append(name)
    return _capsule_new(pointer, name, None)


def record_class(name, size, table=True, slots=()):
    # Slots are laid out one pointer each after the header, in sorted order of their names.
    slots = tuple(slots) + tuple("z%%02d" %% i for i in range((size - 16) // 8 - len(slots)))
    cls = type(name, (), {"__slots__": slots})
    if table:
        cls.__pyx_vtable__ = capsule()
    return cls


def module(name, **attrs):
    m = types.ModuleType(name)
    m.__dict__.update(attrs)
    sys.modules[name] = m
''' % {"signatures": SIGNATURES}

STANDINS = r'''
LOG = []
SOLUTIONS = [lambda: ([V(1, 2, 3), V(4, 5, 6)], [V(7, 8, 9), V(1, 1, 1)])]

# departure_velocities and arrival_velocities are the 3rd and 4th fields after the table pointer.
LambertProblem = record_class("LambertProblem", 128, slots=("a_vtab", "b_r1", "c_r2", "d_departure", "e_arrival"))


def solve(self, *args):
    LOG.append(("solve",) + args)
    self.d_departure, self.e_arrival = SOLUTIONS[0]()


LambertProblem.__init__ = solve
module("vextal.astro.multirev_arcs", LambertProblem=LambertProblem)


@ctypes.CFUNCTYPE(ctypes.py_object, ctypes.py_object, ctypes.c_double, ctypes.c_int)
def propagate(state, dt, skip_dispatch):
    LOG.append(("propagate", state, dt, skip_dispatch))
    return vextal.astro.orbitvector.ECI(state.time + dt, V(-1.0, -2.0, -3.0), V(0.5, 0.25, 0.125))


capi = dict(vextal.astro.kepler.__pyx_capi__)
capi["propagate_lagrangian_u"] = capsule(ctypes.cast(propagate, ctypes.c_void_p).value,
                                         SIGNATURES["propagate_lagrangian_u"])
module("vextal.astro.kepler", __pyx_capi__=capi)
'''


def run_case(code, *args, check=True):
    return run_python(PRELUDE + textwrap.dedent(code), *args, check=check)


def test_module_contents_and_export():
    proc = run_case("""
        import vextal.astro.transfer_planner as tp
        capi = tp.__pyx_capi__
        assert list(capi) == ["plan_lambert"], capi
        name = ctypes.pythonapi.PyCapsule_GetName
        name.restype, name.argtypes = ctypes.c_char_p, [ctypes.py_object]
        print(name(capi["plan_lambert"]).decode())
        assert tp.__test__ == {} and tp.__doc__ is None and tp.plan_lambert.__doc__ is None
        for hidden in ("MU_EARTH", "_default_delta_v", "Vector3", "ECI", "LambertProblem"):
            assert not hasattr(tp, hidden), hidden
        assert tp.SatBurn.__module__ == "vextal.astro.transfer_planner"
    """)
    assert proc.stdout.strip() == PLAN_SIGNATURE


def test_import_twice_gives_the_same_module():
    run_case("""
        import importlib
        first = importlib.import_module("vextal.astro.transfer_planner")
        del sys.modules["vextal.astro.transfer_planner"]
        second = importlib.import_module("vextal.astro.transfer_planner")
        assert first is second
        assert second.SatBurn is first.SatBurn and second.__pyx_capi__ is first.__pyx_capi__
    """)


BROKEN = [
    # (how the sibling is broken, exception, message)
    ("del sys.modules['vextal.astro.kepler'].__pyx_capi__['propagate_lagrangian']", "ImportError",
     "vextal.astro.kepler does not export expected C function propagate_lagrangian"),
    ("del sys.modules['vextal.astro.root'].__pyx_capi__['bracket_and_solve_root']", "ImportError",
     "vextal.astro.root does not export expected C function bracket_and_solve_root"),
    ("sys.modules['vextal.astro.kepler'].__pyx_capi__['propagate_lagrangian_u'] = capsule(1, 'PyObject *(void)')",
     "TypeError", "C function vextal.astro.kepler.propagate_lagrangian_u has wrong signature (expected %s, got "
     "PyObject *(void))" % SIGNATURES["propagate_lagrangian_u"]),
    ("del sys.modules['vextal.astro.kepler'].__pyx_capi__", "AttributeError",
     "module 'vextal.astro.kepler' has no attribute '__pyx_capi__'"),
    ("sys.modules['vextal.astro.root'].TestEquationBinding = 3", "TypeError",
     "vextal.astro.root.TestEquationBinding is not a type object"),
    ("sys.modules['vextal.vector4'].Vector4 = record_class('Vector4', 48)", "ValueError",
     "vextal.vector4.Vector4 size changed, may indicate binary incompatibility. Expected 56 from C header, got 48 "
     "from PyObject"),
    ("sys.modules['vextal.quaternion'].Quaternion = record_class('Quaternion', 56, table=False)", "KeyError",
     "'__pyx_vtable__'"),
    ("m = sys.modules['vextal.matrix4f']; m.Matrix4f = record_class('Matrix4f', 120); m.Matrix4f.__pyx_vtable__ = 1",
     "RuntimeError",
     "invalid vtable found for imported type"),
    ("del sys.modules['vextal.astro.multirev_arcs'].LambertProblem", "AttributeError",
     "module 'vextal.astro.multirev_arcs' has no attribute 'LambertProblem'"),
    # Classes are imported in table order, and all of them before the functions.
    ("sys.modules['vextal.vector2'].Vector2 = 0; sys.modules['vextal.astro.root'].RootFunctionBinding = 0",
     "TypeError", "vextal.vector2.Vector2 is not a type object"),
    ("sys.modules['vextal.astro.root'].KeplerEquationBinding = 0; "
     "del sys.modules['vextal.astro.root'].__pyx_capi__['CreateKeplerEquationBinding']",
     "TypeError", "vextal.astro.root.KeplerEquationBinding is not a type object"),
    ("del sys.modules['vextal.astro.root'].__pyx_capi__['CreateKeplerEquationBinding']; "
     "del sys.modules['vextal.astro.kepler'].__pyx_capi__['propagate_lagrangian_u']",
     "ImportError", "vextal.astro.root does not export expected C function CreateKeplerEquationBinding"),
]


@pytest.mark.parametrize("breakage, exception, message", BROKEN)
def test_import_refuses_a_broken_sibling(breakage, exception, message):
    proc = run_case("""
        %s
        try:
            import vextal.astro.transfer_planner
        except %s as exc:
            print(str(exc))
            names = []
            tb = exc.__traceback__
            while tb:
                names.append(tb.tb_frame.f_code.co_name)
                tb = tb.tb_next
            assert "init vextal.astro.transfer_planner" in names, names
            assert "vextal.astro.transfer_planner" not in sys.modules
        else:
            raise AssertionError("imported")
    """ % (breakage, exception))
    assert proc.stdout.strip() == message


@pytest.mark.parametrize("size, outcome", [(40, "ValueError"), (56, "RuntimeWarning")])
def test_vector3_size_check(size, outcome):
    proc = run_case("""
        sys.modules["vextal.vector3"].Vector3 = record_class("Vector3", %d)
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            try:
                import vextal.astro.transfer_planner
                print("imported")
            except ValueError as exc:
                print("ValueError", exc)
        for w in caught:
            print(w.category.__name__, w.message)
    """ % size)
    expected = ("{} vextal.vector3.Vector3 size changed, may indicate binary incompatibility. Expected 48 from C "
                "header, got {} from PyObject").format(outcome, size)
    assert expected in proc.stdout.splitlines()
    assert ("imported" in proc.stdout) == (size == 56)


def test_size_warning_as_error_fails_the_import():
    proc = run_case("""
        sys.modules["vextal.vector3"].Vector3 = record_class("Vector3", 56)
        import vextal.astro.transfer_planner
    """, "-W", "error::RuntimeWarning", check=False)
    assert proc.returncode != 0
    assert "RuntimeWarning: vextal.vector3.Vector3 size changed" in proc.stderr


def test_failed_import_can_be_retried():
    run_case("""
        capi = sys.modules["vextal.astro.kepler"].__pyx_capi__
        saved = capi.pop("propagate_lagrangian")
        try:
            import vextal.astro.transfer_planner
        except ImportError:
            pass
        else:
            raise AssertionError("imported")
        capi["propagate_lagrangian"] = saved
        import vextal.astro.transfer_planner as tp
        import pickle
        try:
            pickle.dumps(tp.SatBurn())
        except TypeError as exc:
            assert str(exc) == "no default __reduce__ due to non-trivial __cinit__"
        else:
            raise AssertionError("pickled")
    """)


def test_second_interpreter_is_refused():
    proc = run_case("""
        import vextal.astro.transfer_planner
        try:
            import _testcapi
        except ImportError:
            print("SKIP")
            raise SystemExit
        code = "import sys\\ntry:\\n import vextal.astro.transfer_planner\\nexcept ImportError as e:\\n print('refused:', e)"
        sys.stdout.flush()
        _testcapi.run_in_subinterp(code)
    """)
    if proc.stdout.strip() == "SKIP":
        pytest.skip("_testcapi is not available")
    assert ("refused: Interpreter change detected - this module can only be loaded into one interpreter per "
            "process.") in proc.stdout


# ---- plan_lambert against the stand-in solver and propagator --------------------------------------------

PLAN = """
    nan = float("nan")
    import vextal.astro.transfer_planner as tp
    from vextal.astro.orbitvector import ECI

    class Loose(ECI):
        # An ECI whose attributes the case may set to anything.
        time = position = velocity = None

        def __init__(self, time, position, velocity):
            self.__dict__.update(time=time, position=position, velocity=velocity)

    a = Loose(%(t0)r, V(7000.0, 0.0, 0.0), V(0.0, 7.5, 0.0))
    b = Loose(%(t1)r, V(0.0, 7100.0, 0.0), V(-7.4, 0.0, 0.0))
"""


def plan_case(code, t0=0.0, t1=100.0):
    return run_case(STANDINS + textwrap.dedent(PLAN % {"t0": t0, "t1": t1}) + textwrap.dedent(code))


@pytest.mark.parametrize("t0, deltat, t1, propagated", [
    (0.0, 100.0, 100.0, None),            # target at the arrival epoch
    (-5.0, 5.0, -1e-7, None),             # exactly 1e-7 short (epoch 0.0 - (-1e-7) is 1e-7 exactly)
    (-5.0, 5.0, -1.0000000000000002e-7, 1.0000000000000002e-7),  # the next double short: propagated
    (0.0, 100.0, 99.0, 1.0),              # a second short
    (0.0, 100.0, 250.0, None),            # target after the arrival epoch: never backwards
    (10.0, 60.0, 10.0, 60.0),             # same epoch: moved on by the whole time of flight
    (0.0, 100.0, float("nan"), None),     # a NaN gap does not pass the test
])
def test_propagation_rule(t0, deltat, t1, propagated):
    proc = plan_case("""
        result = tp.plan_lambert(a, b, %r)
        props = [e for e in LOG if e[0] == "propagate"]
        solve = [e for e in LOG if e[0] == "solve"]
        assert len(solve) == 1
        if %r is None:
            assert props == []
            assert solve[0][2] is b.position
            target = b
        else:
            (_, state, gap, skip), = props
            assert state is b and gap == %r and skip == 0
            assert solve[0][2] == V(-1.0, -2.0, -3.0)
            target = None
        for departure, arrival in result.burns:
            assert departure.time == a.time
            print(repr(arrival.time))
    """ % (deltat, propagated, propagated), t0=t0, t1=t1)
    expected = repr(t1 if propagated is None else t1 + propagated)
    assert proc.stdout.split() == [expected, expected]


def test_solver_receives_the_callers_values():
    plan_case("""
        class Seconds(float):
            pass
        tp.plan_lambert(a, b, 100, None, 2.9)
        tp.plan_lambert(a, b, Seconds(-3.5), 1, 0)
        tp.plan_lambert(a, b, 1e-300)
        tp.plan_lambert(deltat_sec=7.25, state_target=b, state_initial=a, max_revs=-4, is_prograde=[])
        solves = [e[3:] for e in LOG if e[0] == "solve"]
        expected = [(100.0, 398600.5, False, 2), (-3.5, 398600.5, True, 0), (1e-300, 398600.5, True, 10),
                    (7.25, 398600.5, False, -4)]
        assert solves == expected, solves
        for tof, mu, prograde, revs in (e[3:] for e in LOG if e[0] == "solve"):
            assert type(tof) is float and type(mu) is float and type(prograde) is bool and type(revs) is int
    """)


def test_burns_follow_the_solver_arcs():
    plan_case("""
        result = tp.plan_lambert(a, b, 100.0)
        assert type(result) is tp.LambertMultiRevResult and type(result.burns) is list
        assert len(result.burns) == 2
        (d1, a1), (d2, a2) = result.burns
        # departure velocity (0, 7.5, 0), target velocity (-7.4, 0, 0)
        assert d1.delta_v == V(1, 2 - 7.5, 3) and a1.delta_v == V(-7.4 - 7, -8, -9)
        assert d2.delta_v == V(4, 5 - 7.5, 6) and a2.delta_v == V(-7.4 - 1, -1, -1)
        assert (d1.time, a1.time, d2.time, a2.time) == (0.0, 100.0, 0.0, 100.0)
        SOLUTIONS[0] = lambda: ([], [])
        assert tp.plan_lambert(a, b, 100.0).burns == []
        SOLUTIONS[0] = lambda: ((V(1, 1, 1),), [V(2, 2, 2), V(3, 3, 3)])
        (pair,), = [tp.plan_lambert(a, b, 100.0).burns]
        assert pair[0].delta_v == V(1, -6.5, 1)
    """)


SOLVER_FAULTS = [
    ("([V(1, 1, 1), V(2, 2, 2)], [V(0, 0, 0)])", "IndexError", "list index out of range"),
    ("(3, [])", "TypeError", "object of type 'int' has no len()"),
    ("([V(1, 1, 1)], ['x'])", "TypeError", "Cannot convert str to vextal.vector3.Vector3"),
    ("([(1, 2, 3)], [V(0, 0, 0)])", "TypeError", "Cannot convert tuple to vextal.vector3.Vector3"),
    ("([None], [V(0, 0, 0)])", "TypeError", "Cannot convert NoneType to vextal.vector3.Vector3"),
    ("([V(0, 0, 0)], [None])", "TypeError", "Cannot convert NoneType to vextal.vector3.Vector3"),
    ("(None, None)", "TypeError", "object of type 'NoneType' has no len()"),
]


@pytest.mark.parametrize("solutions, exception, message", SOLVER_FAULTS)
def test_solver_faults_are_reported(solutions, exception, message):
    proc = plan_case("""
        import traceback
        SOLUTIONS[0] = lambda: %s
        try:
            tp.plan_lambert(a, b, 100.0)
        except %s as exc:
            print(exc)
            frames = traceback.extract_tb(exc.__traceback__)
            assert frames[-1].name == "vextal.astro.transfer_planner.plan_lambert", frames
            assert frames[-1].filename == "astro/transfer_planner.cpp", frames
        else:
            raise AssertionError("no error")
    """ % (solutions, exception))
    assert proc.stdout.strip() == message


@pytest.mark.parametrize("setup, message", [
    ("a.velocity = None", "Cannot convert NoneType to vextal.vector3.Vector3"),
    ("b.velocity = None", "Cannot convert NoneType to vextal.vector3.Vector3"),
    ("a.position = 'here'", "Cannot convert str to vextal.vector3.Vector3"),
    ("b.velocity = 7", "Cannot convert int to vextal.vector3.Vector3"),
    ("a.time = 'noon'", 'can only concatenate str (not "float") to str'),
    ("b.time = None", "unsupported operand type(s) for -: 'float' and 'NoneType'"),
])
def test_bad_state_values(setup, message):
    proc = plan_case("""
        %s
        try:
            tp.plan_lambert(a, b, 100.0)
        except TypeError as exc:
            print(exc)
        else:
            raise AssertionError("no error")
    """ % setup)
    assert proc.stdout.strip() == message


def test_none_states_and_empty_velocities():
    plan_case("""
        for args in [(None, b), (a, None)]:
            try:
                tp.plan_lambert(*args, 100.0)
            except AttributeError as exc:
                assert "time" in str(exc)
            else:
                raise AssertionError("no error")
        # None velocities pass as long as no arc needs them
        SOLUTIONS[0] = lambda: ([], [])
        a.velocity = None
        assert tp.plan_lambert(a, b, 100.0).burns == []
    """)
