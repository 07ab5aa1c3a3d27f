"""Objects that Python code can reach while a native call is still working: records and lists under
construction (found through gc.get_objects() by a collection callback), keyword values whose dict is cleared
by a conversion, null arguments to the native entries. Each case runs in a child process, so that a crash
fails its test instead of the run."""
import textwrap

import pytest

from conftest import run_python


def run(code):
    proc = run_python(textwrap.dedent(code), check=False)
    assert proc.returncode == 0, "child failed (%d):\n%s\n%s" % (proc.returncode, proc.stdout, proc.stderr)
    return proc.stdout


# ---- records and lists are whole whenever a collection can see them --------------------------------------

# With the threshold at 1 nearly every allocation of a tracked object starts a collection (up to 3.11; 3.12
# and later collect only between bytecodes), and the callback reads everything it is told to watch. The list
# free list is emptied first, so that the lists a call makes come from the allocator and can trigger one.
WATCH = """
    import gc
    from vextal.vector3 import Vector3
    from vextal.matrix4 import Matrix4
    from vextal.astro.multirev_arcs import LambertProblem
    from vextal.astro.orbitvector import ECI
    from vextal.astro.transfer_planner import LambertMultiRevResult, plan_lambert

    seen = {}  # (class, id) -> what the callback read of the object, each time it saw it
    def read(obj):
        if type(obj) is LambertProblem:
            lists = (obj.departure_velocities, obj.arrival_velocities)
            return tuple(None if vs is None else len([v.x for v in vs]) for vs in lists)
        if type(obj) is LambertMultiRevResult:
            return len([a.time + b.time for a, b in obj.burns])
        return len([row[0] for row in obj])  # rows of a Matrix4.tolist result

    def callback(phase, info):
        if phase == "start":
            for obj in gc.get_objects(0):
                if type(obj) in WATCHED and (type(obj) is not list or all(type(row) is list for row in obj)):
                    seen.setdefault((type(obj), id(obj)), []).append(read(obj))

    r1, r2 = Vector3(7000.0, 0.0, 0.0), Vector3(0.0, 7000.0, 100.0)
    A = ECI(0.0, Vector3(7000.0, 0.0, 0.0), Vector3(0.0, 7.5, 0.0))
    B = ECI(0.0, Vector3(0.0, 7000.0, 100.0), Vector3(-7.5, 0.0, 0.0))
    m = Matrix4()
    results = []
    gc.callbacks.append(callback)
    gc.set_threshold(1)
    for i in range(30):
        keep = [[] for _ in range(100 + i % 3)]  # and shifts where in the call the collections fall
        results.append(CALL)
    gc.set_threshold(700)
    gc.callbacks.remove(callback)
    # Records must be seen whole; a plain list may be seen growing, as long as reading it is safe.
    final = {(type(r), id(r)): read(r) for r in results if type(r) is not list}
    partial = [(k, v) for k, v in seen.items() if k in final and any(x != final[k] for x in v)]
    assert not partial, partial
    print(len(seen))
"""


@pytest.mark.parametrize("call, watched", [
    ("LambertProblem(r1, r2, 20000.0, 398600.0, True, 3)", "LambertProblem"),
    ("plan_lambert(A, B, 20000.0, True, 3)", "LambertProblem, LambertMultiRevResult"),
    ("m.tolist()", "list"),
])
def test_no_half_filled_object_meets_a_collection(call, watched):
    run(WATCH.replace("CALL", call).replace("seen = {}", "WATCHED = (%s,)\n    seen = {}" % watched))


# ---- keyword values outlive a conversion that clears the caller's dict ------------------------------------

# Clearing(v) converts to v by __float__, __int__ and __bool__, and first clears every dict that holds it
# (the keyword dict the call received, reached through gc.get_referrers), then allocates vectors and lists
# that take over freed memory. The other keyword values are fresh objects the dict alone holds.
CLEAR = """
    import gc
    from vextal.vector3 import Vector3
    from vextal.vector2 import Vector2
    from vextal.astro.multirev_arcs import LambertProblem
    from vextal.astro.orbitvector import ECI, _geocentric_to_geodetic
    from vextal.astro.root import KeplerEquationBinding
    from vextal.astro.transfer_planner import SatBurn, plan_lambert

    class Clearing:
        def __init__(self, value):
            self.value = value
        def clear(self):
            self.clear_dict(self)
        def clear_dict(self, member):
            for holder in gc.get_referrers(member):
                if type(holder) is dict and any(x is member for x in [*holder, *holder.values()]):
                    holder.clear()
            Clearing.litter = [Vector3(-1.0, -1.0, -1.0) for _ in range(16)] + [iter(range(3)) for _ in range(16)]
        def __float__(self):
            self.clear()
            return float(self.value)
        def __int__(self):
            self.clear()
            return int(self.value)
        def __bool__(self):
            self.clear()
            return bool(self.value)

    class Key(str):  # a keyword whose comparison, run by the dict lookup itself, clears the dict
        __hash__ = str.__hash__
        def __eq__(self, other):
            Clearing(0).clear_dict(self)
            return str.__eq__(self, other)

    class Problem(LambertProblem):  # a subclass is made through tp_new, with the keyword dict
        pass

    def v(*xyz):
        return Vector3(*map(float, xyz))  # a new object each time

    def eci(*rv):
        return ECI(float(rv[0]), v(*rv[1:4]), v(*rv[4:]))

    def state(s):
        return (s.time, s.position.to_tuple(), s.velocity.to_tuple())

    def burn(b):
        return (b.time, b.delta_v.to_tuple())

    def flat(result):
        return [burn(b) for pair in result.burns for b in pair]

    def problem(p):
        return (p.r1.to_tuple(), p.r2.to_tuple(), p.tof)

    def after(obj, init):
        init(obj)
        return tuple(obj)

    for _ in range(20):
        got, expected = CALL, EXPECTED
        assert got == expected, (got, expected)
"""

A = "eci(0, 7000, 0, 0, 0, 7.5, 0)"
B = "eci(0, 0, 7000, 100, -7.5, 0, 0)"
PLAN = "flat(plan_lambert(%s, %s, 20000.0, True, 2))" % (A, B)


# (call, expected): each dict literal is written at the call, so that the callee's dict alone holds its values.
@pytest.mark.parametrize("call, expected", [
    pytest.param('state(ECI(**{"time": Clearing(2), "position": v(1, 2, 3), "velocity": v(4, 5, 6)}))',
                 "(2.0, (1.0, 2.0, 3.0), (4.0, 5.0, 6.0))", id="ECI"),
    pytest.param('state(ECI(**{"time": float("1"), "position": v(1, 2, 3), Key("velocity"): v(4, 5, 6)}))',
                 "(1.0, (1.0, 2.0, 3.0), ECI().velocity.to_tuple())", id="ECI-key-eq"),
    pytest.param('flat(plan_lambert(**{"state_initial": %s, "state_target": %s, "deltat_sec": Clearing(20000), '
                 '"is_prograde": True, "max_revs": 2}))' % (A, B), PLAN, id="plan_lambert-float"),
    pytest.param('flat(plan_lambert(**{"state_initial": %s, "state_target": %s, "deltat_sec": 20000.0, '
                 '"is_prograde": Clearing(True), "max_revs": 2}))' % (A, B), PLAN, id="plan_lambert-bool"),
    pytest.param('flat(plan_lambert(%s, **{"state_target": %s, "deltat_sec": 20000.0, "max_revs": Clearing(2)}))'
                 % (A, B), PLAN, id="plan_lambert-int"),
    pytest.param('burn(SatBurn(**{"time": Clearing(3), "delta_v": v(1, 2, 3)}))', "(3.0, (1.0, 2.0, 3.0))",
                 id="SatBurn"),
    pytest.param('KeplerEquationBinding(**{"form": "elliptic", "p1": Clearing(0.5), "p2": Clearing(2.0)}).parameters',
                 "(0.5, 2.0, 0.0, 0.0, 0.0)", id="KeplerEquationBinding"),
    pytest.param('after(v(0, 0, 0), lambda u: u.__init__(**{"x": Clearing(1), "y": float("2"), "z": float("3")}))',
                 "(1.0, 2.0, 3.0)", id="Vector3.__init__"),
    pytest.param('after(Vector2(), lambda u: u.__init__(**{"x": Clearing(1), "y": float("2")}))', "(1.0, 2.0)",
                 id="Vector2.__init__"),
    pytest.param('_geocentric_to_geodetic(**{"latitude_gc": Clearing(0.5), "altitude": float("7000")})',
                 "_geocentric_to_geodetic(0.5, 7000.0)", id="_geocentric_to_geodetic"),
    pytest.param('problem(Problem(**{"r1": v(7000, 0, 0), "r2": v(0, 7000, 100), "tof": Clearing(20000), '
                 '"mu": 398600.0}))', "((7000.0, 0.0, 0.0), (0.0, 7000.0, 100.0), 20000.0)",
                 id="LambertProblem-subclass"),
])
def test_keyword_values_survive_a_clearing_conversion(call, expected):
    run(CLEAR.replace("CALL", call).replace("EXPECTED", expected))


# ---- null arguments to the native entries -----------------------------------------------------------------

NULLS = """
    import ctypes
    from vextal.astro import kepler, root, transfer_planner
    from vextal.astro.orbitvector import ECI
    from vextal.vector3 import Vector3

    get_name = ctypes.pythonapi.PyCapsule_GetName
    get_name.restype, get_name.argtypes = ctypes.c_char_p, [ctypes.py_object]
    get_pointer = ctypes.pythonapi.PyCapsule_GetPointer
    get_pointer.restype, get_pointer.argtypes = ctypes.c_void_p, [ctypes.py_object, ctypes.c_char_p]
    def entry(module, name, *argtypes):
        capsule = module.__pyx_capi__[name]
        return ctypes.PYFUNCTYPE(ctypes.py_object, *argtypes)(get_pointer(capsule, get_name(capsule)))

    obj, ptr, d, i = ctypes.py_object, ctypes.c_void_p, ctypes.c_double, ctypes.c_int
    state = ECI(0.0, Vector3(7000.0, 0.0, 0.0), Vector3(0.0, 7.5, 0.0))
    try:
        CALL
    except SystemError as e:
        print(e)
    else:
        raise AssertionError("no error")
"""


@pytest.mark.parametrize("call, source", [
    ("entry(kepler, 'propagate_lagrangian', ptr, obj, d, d, i)(None, Vector3(1.0, 0.0, 0.0), 1.0, 1.0, 0)",
     "astro/kepler.cpp"),
    ("entry(kepler, 'propagate_lagrangian', obj, ptr, d, d, i)(Vector3(1.0, 0.0, 0.0), None, 1.0, 1.0, 0)",
     "astro/kepler.cpp"),
    ("entry(kepler, 'propagate_lagrangian_u', ptr, d, i)(None, 1.0, 0)", "astro/kepler.cpp"),
    ("entry(transfer_planner, 'plan_lambert', ptr, obj, d, i, ptr)(None, state, 1.0, 0, None)",
     "astro/transfer_planner.cpp"),
    ("entry(transfer_planner, 'plan_lambert', obj, ptr, d, i, ptr)(state, None, 1.0, 0, None)",
     "astro/transfer_planner.cpp"),
    ("entry(root, 'bracket_and_solve_root', ptr, d, d, i, i)(None, 0.0, 1.0, 10, 53)", "astro/root.cpp"),
])
def test_null_arguments_are_refused(call, source):
    message = run(NULLS.replace("CALL", call)).strip()
    assert message.startswith(source + ":") and message.endswith(": bad argument to internal function")
