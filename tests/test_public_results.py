"""Public results stay bit for bit what tests/data/public_results.npz recorded (made by
tests/data/make_public_results.py): grids, array functions, plan_lambert and LambertProblem. The recording was
made on x86-64 Linux with glibc's libm; re-record (and say why in the commit) only after a deliberate change of
results or for a platform whose libm rounds differently."""
import importlib.util
import os

import numpy as np
import pytest

DATA = os.path.join(os.path.dirname(os.path.abspath(__file__)), "data")


def _recorder():
    spec = importlib.util.spec_from_file_location("make_public_results", os.path.join(DATA, "make_public_results.py"))
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


@pytest.fixture(scope="module")
def results():
    with np.load(os.path.join(DATA, "public_results.npz")) as recorded:
        expected = {name: recorded[name] for name in recorded.files}
    return expected, _recorder().record()


GROUPS = ["grid_leo", "grid_multirev", "grid_backward", "propagate", "lambert0", "lambert2", "efg_to_llh",
          "llh_to_efg", "plan_lambert", "lambert_problem"]


@pytest.mark.parametrize("group", GROUPS)
def test_bit_identical(results, group):
    expected, actual = results
    names = sorted(n for n in expected if n.startswith(group))
    assert names and names == sorted(n for n in actual if n.startswith(group))
    for name in names:
        assert actual[name].dtype == expected[name].dtype, name
        assert actual[name].shape == expected[name].shape, name
        # Bytes compare NaN with NaN and tell -0.0 from 0.0.
        assert actual[name].tobytes() == expected[name].tobytes(), name
