"""Import edge cases of vextal.astro.orbitvector, each in a fresh interpreter."""
import textwrap

import pytest

from conftest import build_native_module, run_python

# Puts a stand-in `vextal.vector3` (or another sibling) into sys.modules: a class whose instance size is set
# through __slots__ (16 bytes of header plus 8 per slot) and, optionally, a __pyx_vtable__ capsule over a
# table of 32 null entries.
FAKE = textwrap.dedent("""
    import ctypes, sys, types
    _new = ctypes.pythonapi.PyCapsule_New
    _new.restype = ctypes.py_object
    _new.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_void_p]
    _tables = []

    def fake(module, cls, size, vtable=True):
        mod = types.ModuleType(module)
        klass = type(cls, (), {"__slots__": tuple("s%d" % i for i in range((size - 16) // 8))})
        assert klass.__basicsize__ == size
        if vtable:
            _tables.append((ctypes.c_void_p * 32)())
            klass.__pyx_vtable__ = _new(ctypes.addressof(_tables[-1]), None, None)
        setattr(mod, cls, klass)
        sys.modules[module] = mod
        return mod
    """)


def run(code, *args, check=True):
    return run_python(FAKE + textwrap.dedent(code), *args, check=check)


def test_reimport_after_removal_gives_the_same_module():
    proc = run("""
        import importlib, importlib.util, sys
        import vextal.astro.orbitvector as first
        cls = first.ECI
        del sys.modules["vextal.astro.orbitvector"]
        second = importlib.import_module("vextal.astro.orbitvector")
        assert second is first and second.ECI is cls and sys.modules["vextal.astro.orbitvector"] is first
        spec = importlib.util.find_spec("vextal.astro.orbitvector")
        assert importlib.util.module_from_spec(spec) is first
        print("same")
        """)
    assert proc.stdout.strip() == "same"


def test_second_interpreter_is_refused():
    proc = run("""
        import os
        try:
            import _testcapi
        except ImportError:
            print("skip")
            raise SystemExit
        import vextal.astro.orbitvector
        _testcapi.run_in_subinterp('''if 1:
            import os
            try:
                import vextal.astro.orbitvector
                os.write(1, b"imported")
            except ImportError as e:
                os.write(1, ("ImportError: %s" % e).encode())
        ''')
        """)
    if proc.stdout.strip() == "skip":
        pytest.skip("no _testcapi")
    assert proc.stdout.strip() == ("ImportError: Interpreter change detected - this module can only be loaded "
                                   "into one interpreter per process.")


def test_second_module_object_is_refused():
    proc = run("""
        import importlib.util, sys
        import vextal.astro
        spec = importlib.util.find_spec("vextal.astro.orbitvector")
        a = importlib.util.module_from_spec(spec)
        b = importlib.util.module_from_spec(spec)
        assert a is not b
        spec.loader.exec_module(a)
        spec.loader.exec_module(a)  # the same module again: nothing to do
        assert sys.modules["vextal.astro.orbitvector"] is a and a.ECI().time == 0.0
        try:
            spec.loader.exec_module(b)
        except RuntimeError as e:
            print(e)
        """)
    assert proc.stdout.strip() == ("Module 'orbitvector' has already been imported. Re-initialisation is not "
                                   "supported.")


SIZE_CHANGED = ("vextal.vector3.Vector3 size changed, may indicate binary incompatibility. Expected 48 from C "
                "header, got %d from PyObject")


@pytest.mark.parametrize("size", [40, 24])
def test_smaller_vector3_is_refused(size):
    proc = run("""
        fake("vextal.vector3", "Vector3", %d)
        try:
            import vextal.astro.orbitvector
        except ValueError as e:
            print(e)
        """ % size)
    assert proc.stdout.strip() == SIZE_CHANGED % size


def test_larger_vector3_warns_and_is_kept_whole():
    # LLH, a native class, can only stand on a native Vector3: the stand-in is a small test extension.
    path = build_native_module("fake_vector3").__file__
    proc = run("""
        import importlib.util, warnings
        spec = importlib.util.spec_from_file_location("fake_vector3", %r)
        sys.modules["vextal.vector3"] = importlib.util.module_from_spec(spec)
        spec.loader.exec_module(sys.modules["vextal.vector3"])
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            import vextal.astro.orbitvector as ov
        print([str(w.message) for w in caught if w.category is RuntimeWarning][0])
        # LLH is never smaller than its base, so the base's own fields have their room.
        print(ov.LLH.__basicsize__, ov.LLH.__bases__[0].__basicsize__, type(ov.LLH()).__name__)
        """ % path)
    assert proc.stdout.strip().splitlines() == [SIZE_CHANGED % 56, "56 56 LLH"]


def test_larger_vector3_fails_when_warnings_are_errors():
    proc = run("""
        fake("vextal.vector3", "Vector3", 56)
        try:
            import vextal.astro.orbitvector
        except RuntimeWarning as e:
            print("RuntimeWarning:", e)
        """, "-W", "error::RuntimeWarning")
    assert proc.stdout.strip() == ("RuntimeWarning: vextal.vector3.Vector3 size changed, may indicate binary "
                                   "incompatibility. Expected 48 from C header, got 56 from PyObject")


@pytest.mark.parametrize("setup, expected", [
    ('fake("vextal.vector3", "Vector3", 48, vtable=False)', "KeyError: '__pyx_vtable__'"),
    ('fake("vextal.matrix4", "Matrix4", 184, vtable=False)', "KeyError: '__pyx_vtable__'"),
    ('fake("vextal.vector3", "Vector3", 48).Vector3 = 3', "TypeError: vextal.vector3.Vector3 is not a type object"),
    ('fake("vextal.vector2", "Vector2", 40, vtable=False).Vector2.__pyx_vtable__ = 5',
     "RuntimeError: invalid vtable found for imported type"),
    ('fake("vextal.quaternion", "Quaternion", 48)',
     "ValueError: vextal.quaternion.Quaternion size changed, may indicate binary incompatibility. Expected 56 from "
     "C header, got 48 from PyObject"),
    ('sys.modules["vextal.vector4f"] = None', "ModuleNotFoundError: import of vextal.vector4f halted; None in "
                                               "sys.modules"),
])
def test_sibling_import_failures(setup, expected):
    proc = run("""
        import traceback
        %s
        try:
            import vextal.astro.orbitvector
        except Exception as e:
            print("%%s: %%s" %% (type(e).__name__, e))
            print([f.name for f in traceback.extract_tb(e.__traceback__)][-1])
        """ % setup)
    lines = proc.stdout.strip().splitlines()
    assert lines == [expected, "init vextal.astro.orbitvector"]


def test_failed_import_can_be_retried():
    proc = run("""
        import gc, sys
        sys.modules["vextal.vector2"] = None
        try:
            import vextal.astro.orbitvector
        except ImportError as e:
            print("first:", type(e).__name__)
        # The classes made ready by the failed attempt refuse to work until an import succeeds.
        base = [c for c in object.__subclasses__() if c.__name__ == "_OrbitVector"][0]
        try:
            base()
        except ImportError as e:
            print("early:", e)
        del sys.modules["vextal.vector2"]
        import vextal.astro.orbitvector as ov
        from vextal.vector3 import Vector3
        state = ov.ECI(1.0, Vector3(7000, 0, 0), Vector3(0, 7.5, 0))
        print("then:", type(base()).__name__, ov._OrbitVector is base, round(state.compute_period(), 4))
        print("llh:", ov.LLH.__bases__[0] is Vector3, ov.LLH(1, 2, 3).to_efg().__class__.__name__)
        """)
    assert proc.stdout.strip().splitlines() == [
        "first: ModuleNotFoundError",
        "early: vextal.astro.orbitvector is not initialised: its import failed",
        "then: _OrbitVector True 5723.7225",
        "llh: True Vector3",
    ]


def test_retry_after_a_wrong_vector3():
    proc = run("""
        import sys
        fake("vextal.vector3", "Vector3", 40)
        try:
            import vextal.astro.orbitvector
        except ValueError:
            print("refused")
        del sys.modules["vextal.vector3"]
        import vextal.astro.orbitvector as ov
        from vextal.vector3 import Vector3
        print(ov.LLH.__bases__[0] is Vector3, ov.LLH(0, 0, 0).magnitude())
        """)
    assert proc.stdout.strip().splitlines() == ["refused", "True 0.0"]


def test_sibling_classes_are_taken_in_order():
    proc = run("""
        import importlib
        names = ["vector3", "vector2", "quaternionf", "matrix4f", "vector3f", "vector4f", "vector4", "quaternion",
                 "matrix4"]
        taken = []

        class Logged(types.ModuleType):
            def __getattribute__(self, name):
                if name[:1].isupper():
                    taken.append(name)
                return super().__getattribute__(name)

        for name in names:  # the real modules, loaded first so that their own imports are done
            real = importlib.import_module("vextal." + name)
            logged = Logged(real.__name__)
            logged.__dict__.update(real.__dict__)
            sys.modules[real.__name__] = logged
        del taken[:]  # the siblings' own imports read some of them too
        import vextal.astro.orbitvector as ov
        assert ov.LLH.__bases__[0] is sys.modules["vextal.vector3"].Vector3
        print(" ".join(taken[:-1]))
        """)
    assert proc.stdout.split() == ["Vector3", "Vector2", "Quaternionf", "Matrix4f", "Vector3f", "Vector4f", "Vector4",
                                   "Quaternion", "Matrix4"]
