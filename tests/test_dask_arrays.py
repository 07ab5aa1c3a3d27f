"""The README's recipes for the array functions on Dask arrays: lazy, block by block, same results."""
import numpy as np
import pytest

da = pytest.importorskip("dask.array")

from vextal.astro.arrays import efg_to_llh, llh_to_efg, propagate  # noqa: E402

RNG = np.random.default_rng(12)
POINTS, VELOCITIES = RNG.normal(size=(30, 3)) * 7000.0, RNG.normal(size=(30, 3)) * 5.0
LLH = np.column_stack([RNG.uniform(-90, 90, 30), RNG.uniform(0, 360, 30), RNG.uniform(-10, 900, 30)])


@pytest.mark.parametrize("function, data", [(efg_to_llh, POINTS), (llh_to_efg, LLH)])
@pytest.mark.parametrize("rows", [7, 8, 30])  # 7 and 8 do not divide 30: the last block is shorter
def test_single_output_recipe(function, data, rows):
    seen = []  # rows of each call on data (dask also probes the function with empty arrays)

    def block_function(block, **kw):
        seen.extend([len(block)] if block.size else [])
        return function(block, **kw)

    lazy = da.from_array(data, chunks=(rows, 3)).map_blocks(block_function, threads=1, dtype=np.float64)
    assert isinstance(lazy, da.Array) and lazy.shape == data.shape and not seen
    out, expected = lazy.compute(scheduler="threads"), function(data)
    assert sorted(seen) == sorted([rows] * (30 // rows) + [30 % rows] * (30 % rows > 0))
    assert out.tobytes() == expected.tobytes()  # any split gives the same bits


def test_several_outputs_recipe():
    r, v = da.from_array(POINTS, chunks=(8, 3)), da.from_array(VELOCITIES, chunks=(8, 3))
    rv = da.map_blocks(lambda r, v: np.concatenate(propagate(r, v, 3600.0, threads=1), axis=-1), r, v,
                       chunks=r.chunks[:-1] + ((6,),), dtype=np.float64)
    got_r, got_v = da.compute(rv[:, :3], rv[:, 3:], scheduler="threads")
    expected_r, expected_v = propagate(POINTS, VELOCITIES, 3600.0)
    assert got_r.tobytes() == expected_r.tobytes() and got_v.tobytes() == expected_v.tobytes()
